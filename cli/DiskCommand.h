// "vqmp-cli disk ...": what the machine sees of the disks and volumes behind the bridges.
// Each subcommand lives in its own file and is added to the group in AddDiskCommand.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cli/CliContext.h"

namespace vq::cli {

// Human-readable GUID "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" from on-disk bytes.
std::string GuidText(const std::array<std::uint8_t, 16>& g);

void AddDiskLayoutCommand(CLI::App& disk, CliContext& ctx, int& exitCode);
void AddDiskVolumesCommand(CLI::App& disk, CliContext& ctx, int& exitCode);

}  // namespace vq::cli
