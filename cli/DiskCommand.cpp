// "vqmp-cli disk": the group of disk subcommands and what they share.
#include "cli/DiskCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "run/Station.h"

namespace vq::cli {

void AddDiskCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* disk = app.add_subcommand(
        "disk", "What the machine sees of the disks and volumes behind the bridges");
    disk->require_subcommand(1);
    AddDiskLayoutCommand(*disk, ctx, exitCode);
    AddDiskVolumesCommand(*disk, ctx, exitCode);
}

void AddDiskTargetOptions(CLI::App& sub, DiskTarget& target) {
    auto* slot = sub.add_option("--slot", target.slot, "The port slot (as scan prints it)")
                     ->check(CLI::Range(1, 16));
    auto* path = sub.add_option("--path", target.path, "A device path that opens the disk");
    slot->excludes(path);
    path->excludes(slot);
}

std::optional<std::string> ResolveDiskPath(CliContext& ctx, Platform& p, const DiskTarget& target) {
    (void)ctx;
    if (!target.path.empty())
        return target.path;
    if (target.slot == 0) {
        std::cerr << "vqmp-cli: name the disk with --slot N or --path P\n";
        return std::nullopt;
    }
    // One device refresh pairs the slots with their disks; its messages are not shown.
    RecordingOperator recorder;
    Operator* const console = p.op;
    p.op = &recorder;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, recorder, p.home);
    std::string path;
    {
        Station station(p, rules);
        station.DeviceRefresh();
        const PortRecord& r = station.ports()[static_cast<std::size_t>(target.slot - 1)];
        if (r.present)
            path = r.diskPath;
    }
    p.op = console;
    if (path.empty()) {
        std::cerr << "vqmp-cli: slot " << target.slot << " has no disk\n";
        return std::nullopt;
    }
    return path;
}

std::string GuidText(const std::array<std::uint8_t, 16>& g) {
    return Format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
}

}  // namespace vq::cli
