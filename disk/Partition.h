// Partitioning: one partition spanning the disk, as MBR (the default and the legacy way of
// the oldest system) or as GPT through the system's partitioning tool; the re-enumeration
// script run after a firmware update; the drive letter of a disk and the disk's size.
// Every procedure takes the disk's device path and returns 1 for success, 0 for failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/DiskContext.h"
#include "platform/DiskService.h"

namespace vq::disk {

// The partition every procedure creates starts at sector 63.
inline constexpr std::uint64_t kPartitionStartSector = 63;
inline constexpr std::uint8_t kPartitionTypeNtfs = 0x07;

// The partitioning tool's scripts, one line an element (the tool's runner ends each line).
std::vector<std::string> RescanScript();
std::vector<std::string> GptCleanScript(std::int64_t diskNumber);    // script 1
std::vector<std::string> GptConvertScript(std::int64_t diskNumber);  // script 2
std::vector<std::string> GptAssignScript(std::int64_t diskNumber);   // script 3
// The script as the file the tool reads holds it: every line ended by CR LF.
std::string ScriptText(const std::vector<std::string>& script);

// The first partition of the layout the MBR procedures write: from sector 63 to the end of
// the last whole cylinder. False when the disk has no room after sector 63.
bool MbrPartitionEntry(const DiskGeometry& g, PartitionInfo& entry);

int PartitionMbr(const DiskContext& ctx, std::string_view diskPath);
int PartitionMbrLegacy(const DiskContext& ctx, std::string_view diskPath);
int PartitionGpt(const DiskContext& ctx, std::string_view diskPath);

// Runs one script with the partitioning tool and returns its exit code, -1 when the tool
// could not be started (*error: the system's reason). Inside the port lock unless
// `takePortLock` is false (the format fallback).
int RunDiskpartScript(const DiskContext& ctx, const std::vector<std::string>& script,
                      bool takePortLock = true, std::uint32_t* error = nullptr);
// The rescan script, and a second time when the first run exited with 0.
int RescanDisks(const DiskContext& ctx);

// The upper-case letter of the first volume (A..Z, the system drive left out) on the disk.
int FindDiskDriveLetter(const DiskContext& ctx, std::string_view diskPath, char& letter);
// Cylinders x tracks x sectors x bytes per sector in whole MiB; 0 without a geometry.
std::uint64_t DiskSizeMB(const DiskContext& ctx, std::string_view path);

// The worker's partition step.
enum class PartitionProcedure { Mbr, MbrLegacy, Gpt };
PartitionProcedure ChoosePartitionProcedure(bool windows2000, bool gpt);
int RunPartitionProcedure(const DiskContext& ctx, PartitionProcedure procedure,
                          std::string_view diskPath);
// Waits for the new volume: up to 101 attempts of FindDiskDriveLetter, each after a
// one-second pause; the port number is the one of the debug line.
bool WaitForDiskDriveLetter(const DiskContext& ctx, std::string_view diskPath, int port,
                            char& letter);
// The procedure, then the wait; true when the disk is partitioned and its volume has a
// letter.
bool PartitionStep(const DiskContext& ctx, PartitionProcedure procedure, std::string_view diskPath,
                   int port, char& letter);

}  // namespace vq::disk
