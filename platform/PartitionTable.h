// Master boot records and GUID partition tables as the system writes them, over any
// BlockDevice: what a platform without the system's layout requests (Linux, a disk image,
// the emulator) uses to carry out CREATE_DISK and GET/SET_DRIVE_LAYOUT_EX.
//
// MBR: boot code kept, disk signature at 440, four 16-byte entries at 446, 0x55 0xAA.
// GPT: a protective MBR (one entry of type 0xEE over the disk), the header at sector 1
// with 128 entries of 128 bytes from sector 2, the backup entries and header at the end
// of the disk; both headers carry the CRC-32 of themselves and of the entries.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/DiskService.h"

namespace vq {

// Partition type GUIDs, in on-disk byte order.
extern const Guid kGptBasicDataType;  // EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
extern const Guid kGptReservedType;   // E3C9E316-0B5C-4DB8-817D-F92DF00215AE (MSR)

// CRC-32 (IEEE 802.3, reflected, as GPT headers use it).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// A fresh random GUID (version 4).
Guid NewGuid();

// The geometry the system reports for a disk of `sectors` sectors: 255 tracks per
// cylinder, 63 sectors per track, whole cylinders.
DiskGeometry GeometryForSectors(std::uint64_t sectors, std::uint32_t bytesPerSector);

// Whether the system mounts a file system on an MBR partition of this type.
bool IsRecognizedMbrType(std::uint8_t type);

// The layout on the disk: RAW when sector 0 carries no boot signature; GPT when the MBR
// is protective and a header (the primary, else the backup) checks out. Nullopt when
// the disk cannot be read.
std::optional<DriveLayout> ReadDriveLayout(BlockDevice& disk, const DiskGeometry& geometry,
                                           std::uint32_t* error = nullptr);

// CREATE_DISK: an empty MBR (signature given) or an empty GPT (fresh disk GUID when
// `gptDiskId` is all zero). Either style wipes the other's structures.
bool CreateEmptyTable(BlockDevice& disk, const DiskGeometry& geometry, PartitionStyle style,
                      std::uint32_t mbrSignature, Guid gptDiskId, std::uint32_t* error = nullptr);

// SET_DRIVE_LAYOUT_EX. MBR: at most four entries, type 0 for an empty one; GPT: the
// partitions listed, each with a type GUID (a zero id gets a fresh one). Partitions must
// lie on the disk (for GPT inside the usable sectors), start and end on sector
// boundaries and not overlap: kInvalidParameter otherwise.
bool WriteDriveLayout(BlockDevice& disk, const DiskGeometry& geometry, const DriveLayout& layout,
                      std::uint32_t* error = nullptr);

// The first and last sector a GPT partition may use on a disk of `sectors` sectors.
std::uint64_t GptFirstUsable(std::uint32_t bytesPerSector);
std::uint64_t GptLastUsable(std::uint64_t sectors, std::uint32_t bytesPerSector);

}  // namespace vq
