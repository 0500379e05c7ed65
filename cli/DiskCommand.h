// "vqmp-cli disk ...": what the machine sees of the disks and volumes behind the bridges.
// Each subcommand lives in its own file and is added to the group in AddDiskCommand.
#pragma once

#include <optional>
#include <string>

#include "cli/CliContext.h"

namespace vq::cli {

// How a disk subcommand names its disk: `--slot N` (the slot scan prints) or `--path P`.
struct DiskTarget {
    int slot = 0;
    std::string path;
};

// Adds --slot and --path (one of them required) to a disk subcommand.
void AddDiskTargetOptions(CLI::App& sub, DiskTarget& target);

// The device path of the disk a target names; for a slot after one device refresh.
// Nullopt, with the reason on stderr, when there is none.
std::optional<std::string> ResolveDiskPath(CliContext& ctx, Platform& p, const DiskTarget& target);

// Human-readable GUID "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" from on-disk bytes.
std::string GuidText(const std::array<std::uint8_t, 16>& g);

void AddDiskLayoutCommand(CLI::App& disk, CliContext& ctx, int& exitCode);
void AddDiskVolumesCommand(CLI::App& disk, CliContext& ctx, int& exitCode);

}  // namespace vq::cli
