// "vqmp-cli disk partition" and "vqmp-cli disk format": the worker's partition and format
// steps on one port (--slot, as scan numbers them) or one disk (--path).
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "base/Text.h"
#include "cli/CliContext.h"
#include "devices/Discovery.h"
#include "disk/DiskContext.h"
#include "disk/Format.h"
#include "disk/Partition.h"
#include "platform/Operator.h"
#include "run/Station.h"

namespace vq::cli {

namespace {

struct PrepareOptions {
    int slot = 0;
    std::string path;
    bool gpt = false;
    std::string fileSystem;
    std::string label;
    std::uint32_t clusterBytes = 0;
    bool json = false;
};

// The disk a command works on and its volume, as far as known.
struct PrepareTarget {
    std::string diskPath;
    char letter = 0;
    int port = 0;
};

// --slot: one device refresh and the slot's disk; --path: the disk itself.
std::optional<PrepareTarget> Resolve(Platform& p, const PrepareOptions& o,
                                     const disk::DiskContext& dc) {
    PrepareTarget t;
    if (!o.path.empty()) {
        t.diskPath = o.path;
        disk::FindDiskDriveLetter(dc, t.diskPath, t.letter);
        return t;
    }
    // The refresh's messages are not this command's business.
    RecordingOperator recorder;
    Operator* const console = p.op;
    p.op = &recorder;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, recorder, p.home);
    Station station(p, rules);
    station.DeviceRefresh();
    p.op = console;
    const std::size_t slot = static_cast<std::size_t>(o.slot - 1);
    const int entry = station.deviceEntryOf(slot);
    if (!station.ports()[slot].present || entry < 0) {
        std::cerr << Format("vqmp-cli: slot %d has no storage device\n", o.slot);
        return std::nullopt;
    }
    t.diskPath = station.devices()[static_cast<std::size_t>(entry)].interfacePath;
    t.letter = station.firstDriveLetter(slot);
    t.port = o.slot;
    return t;
}

std::string LetterText(char c) {
    return c ? std::string(1, c) + ":" : std::string();
}

// The common start of both subcommands: the platform, its context and the target.
template <typename Body>
int WithTarget(CliContext& ctx, const PrepareOptions& o, Body body) {
    if ((o.slot == 0) == o.path.empty()) {
        std::cerr << "vqmp-cli: name one port with --slot N or one disk with --path P\n";
        return kExitUsage;
    }
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    if (!p->disks || !p->volumes) {
        std::cerr << "vqmp-cli: the platform " << p->name << " has no disk and volume services\n";
        return kExitPlatform;
    }
    const bridge::Transport transport(*p->scsi, *p->clock);
    std::mutex portLock;
    disk::DiskContext dc(*p, transport, portLock, 5);
    const bool json = o.json || ctx.options().json;
    std::string report;
    dc.console = [&](std::string_view text) {
        if (json)
            report += text;
        else
            std::cout << text;
    };
    const auto target = Resolve(*p, o, dc);
    if (!target)
        return kExitFailed;
    return body(*p, dc, *target, json, report);
}

int RunPartition(CliContext& ctx, const PrepareOptions& o) {
    return WithTarget(
        ctx, o,
        [&](Platform& p, const disk::DiskContext& dc, PrepareTarget t, bool json,
            const std::string&) {
            const auto procedure =
                disk::ChoosePartitionProcedure(IsWindows2000(p.osVersion), o.gpt);
            const char* style = procedure == disk::PartitionProcedure::Gpt ? "GPT" : "MBR";
            t.letter = 0;
            const bool ok = disk::PartitionStep(dc, procedure, t.diskPath, t.port, t.letter);
            if (json) {
                std::cout << nlohmann::json{{"disk", t.diskPath},
                                            {"slot", o.slot},
                                            {"style", style},
                                            {"partitioned", ok},
                                            {"driveLetter", LetterText(t.letter)}}
                                 .dump(2)
                          << "\n";
            } else if (ok) {
                std::cout << Format("%s: partitioned (%s), volume %s\n", t.diskPath, style,
                                    LetterText(t.letter));
            } else {
                std::cerr << Format("vqmp-cli: %s was not partitioned (%s)%s\n", t.diskPath, style,
                                    t.letter ? "" : " or its volume did not appear");
            }
            return ok ? kExitOk : kExitFailed;
        });
}

int FileSystemIndex(const std::string& name) {
    for (int i : {disk::kFsNtfs, disk::kFsFat32, disk::kFsExFat}) {
        if (EqualsNoCase(name, disk::FileSystemName(i)))
            return i;
    }
    return -1;
}

int RunFormat(CliContext& ctx, const PrepareOptions& o) {
    const int fs = FileSystemIndex(o.fileSystem);
    if (fs < 0) {
        std::cerr << "vqmp-cli: --fs takes NTFS, FAT32 or exFAT\n";
        return kExitUsage;
    }
    return WithTarget(
        ctx, o,
        [&](Platform& p, const disk::DiskContext& dc, PrepareTarget t, bool json,
            const std::string& report) {
            bool ok = false;
            if (t.letter == 0) {
                std::cerr << Format("vqmp-cli: %s has no volume with a drive letter\n", t.diskPath);
            } else {
                ok = disk::FormatStep(dc, t.letter, t.diskPath, fs, o.label, o.clusterBytes);
                if (ok)
                    disk::CloseFormatPromptAfterFormat(dc, p.osVersion);
            }
            if (json) {
                std::cout << nlohmann::json{{"disk", t.diskPath},
                                            {"slot", o.slot},
                                            {"driveLetter", LetterText(t.letter)},
                                            {"fileSystem", disk::FileSystemName(fs)},
                                            {"label", o.label},
                                            {"formatted", ok},
                                            {"report", report}}
                                 .dump(2)
                          << "\n";
            } else if (ok) {
                std::cout << Format("\n%s: volume %s formatted (%s)\n", t.diskPath,
                                    LetterText(t.letter), disk::FileSystemName(fs));
            } else if (t.letter != 0) {
                std::cerr << Format("\nvqmp-cli: volume %s was not formatted\n",
                                    LetterText(t.letter));
            }
            return ok ? kExitOk : kExitFailed;
        });
}

void AddTargetOptions(CLI::App* sub, PrepareOptions& o) {
    sub->add_option("--slot", o.slot, "Port slot (as scan prints it)")
        ->check(CLI::Range(1, static_cast<int>(kPortSlots)));
    sub->add_option("--path", o.path, "Device path of the disk");
    sub->add_flag("--json", o.json, "Print the outcome as JSON");
}

}  // namespace

void AddDiskPrepareCommands(CLI::App& disk, CliContext& ctx, int& exitCode) {
    auto part = std::make_shared<PrepareOptions>();
    auto* partition = disk.add_subcommand(
        "partition", "Partition one disk: one partition over the whole disk, MBR or GPT");
    AddTargetOptions(partition, *part);
    partition->add_flag("--gpt", part->gpt, "GPT with the data partition 2 (default: MBR)");
    partition->callback([&ctx, &exitCode, part] { exitCode = RunPartition(ctx, *part); });

    auto fmt = std::make_shared<PrepareOptions>();
    auto* format = disk.add_subcommand(
        "format",
        "Format the volume of one disk: FAT32 with the station's formatter, NTFS or "
        "exFAT with the system's");
    AddTargetOptions(format, *fmt);
    format->add_option("--fs", fmt->fileSystem, "NTFS, FAT32 or exFAT")->required();
    format->add_option("--label", fmt->label, "Volume label");
    format->add_option("--cluster", fmt->clusterBytes, "Cluster size in bytes (default: 0)");
    format->callback([&ctx, &exitCode, fmt] { exitCode = RunFormat(ctx, *fmt); });
}

}  // namespace vq::cli
