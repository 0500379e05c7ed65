// "vqmp-cli disk": the group of disk subcommands and what they share.
#include "cli/DiskCommand.h"

#include <CLI/CLI.hpp>

#include "base/Format.h"

namespace vq::cli {

void AddDiskCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* disk = app.add_subcommand(
        "disk",
        "The disks and volumes behind the bridges: what the machine sees, partition, format");
    disk->require_subcommand(1);
    AddDiskLayoutCommand(*disk, ctx, exitCode);
    AddDiskVolumesCommand(*disk, ctx, exitCode);
    AddDiskPrepareCommands(*disk, ctx, exitCode);
}

std::string GuidText(const std::array<std::uint8_t, 16>& g) {
    return Format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
}

}  // namespace vq::cli
