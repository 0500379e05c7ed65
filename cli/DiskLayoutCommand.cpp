// "vqmp-cli disk layout": the geometry and partition table of one disk, with the drive
// letter of each partition the machine shows as a volume.
#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/Format.h"
#include "cli/DiskCommand.h"
#include "platform/DiskService.h"
#include "platform/VolumeService.h"

namespace vq::cli {

namespace {

struct LayoutOptions {
    DeviceChoice device;
};

const char* StyleName(PartitionStyle s) {
    switch (s) {
        case PartitionStyle::Mbr:
            return "MBR";
        case PartitionStyle::Gpt:
            return "GPT";
        default:
            return "RAW";
    }
}

// Drive letters of the volumes on a disk, by partition start.
std::map<std::uint64_t, char> Letters(Platform& p, std::uint32_t diskNumber) {
    std::map<std::uint64_t, char> out;
    const std::uint32_t mask = p.volumes->logicalDriveMask();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i)))
            continue;
        const char letter = static_cast<char>('A' + i);
        auto v = p.volumes->openVolume(letter);
        if (!v)
            continue;
        const auto n = v->deviceNumber();
        const auto part = v->partitionInfo();
        if (n && part && n->deviceNumber == diskNumber)
            out.emplace(part->startingOffset, letter);
    }
    return out;
}

int RunLayout(CliContext& ctx, const LayoutOptions& o) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    if (!p->disks || !p->volumes) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no disk service\n";
        return kExitPlatform;
    }
    std::string found;
    if (int rc = ctx.resolveDevice("disk layout", o.device, found); rc != kExitOk)
        return rc;
    const std::optional<std::string> path = found;
    std::uint32_t error = 0;
    auto disk = p->disks->openDisk(*path, &error);
    if (!disk) {
        std::cerr << "vqmp-cli: cannot open " << *path << " (error " << error << ")\n";
        return kExitFailed;
    }
    const auto g = disk->geometry();
    const auto l = disk->layout();
    if (!g || !l) {
        std::cerr << "vqmp-cli: cannot read the geometry or layout of " << *path << "\n";
        return kExitFailed;
    }
    const auto number = disk->deviceNumber();
    const auto letters =
        number ? Letters(*p, number->deviceNumber) : std::map<std::uint64_t, char>{};
    auto letterOf = [&](const PartitionInfo& e) {
        auto it = letters.find(e.startingOffset);
        return it == letters.end() ? std::string() : std::string(1, it->second);
    };

    if (ctx.options().json) {
        using Json = nlohmann::ordered_json;
        Json parts = Json::array();
        for (const auto& e : l->partitions) {
            if (l->style == PartitionStyle::Mbr && e.mbrType == 0)
                continue;
            Json j{
                {"number", e.partitionNumber}, {"start", e.startingOffset}, {"length", e.length}};
            if (l->style == PartitionStyle::Mbr) {
                j["type"] = Format("%02X", e.mbrType);
                j["active"] = e.bootIndicator;
            } else {
                j["type"] = GuidText(e.gptType);
                j["id"] = GuidText(e.gptId);
                j["name"] = e.gptName;
            }
            j["volume"] = letterOf(e);
            parts.push_back(j);
        }
        Json out{{"path", *path},
                 {"diskNumber", number ? Json(number->deviceNumber) : Json()},
                 {"geometry",
                  {{"cylinders", g->cylinders},
                   {"tracksPerCylinder", g->tracksPerCylinder},
                   {"sectorsPerTrack", g->sectorsPerTrack},
                   {"bytesPerSector", g->bytesPerSector},
                   {"totalBytes", g->totalBytes}}},
                 {"style", StyleName(l->style)}};
        if (l->style == PartitionStyle::Mbr)
            out["signature"] = Format("%08X", l->mbrSignature);
        if (l->style == PartitionStyle::Gpt)
            out["diskId"] = GuidText(l->gptDiskId);
        out["partitions"] = parts;
        std::cout << out.dump(2) << "\n";
        return kExitOk;
    }
    std::cout << "disk " << *path;
    if (number)
        std::cout << "  (disk " << number->deviceNumber << ")";
    std::cout << "\n";
    std::cout << Format(
        "geometry: %I64u cylinders, %u tracks/cylinder, %u sectors/track, "
        "%u bytes/sector, %I64u bytes\n",
        g->cylinders, g->tracksPerCylinder, g->sectorsPerTrack, g->bytesPerSector, g->totalBytes);
    std::cout << "style: " << StyleName(l->style);
    if (l->style == PartitionStyle::Mbr)
        std::cout << Format("  signature %08X", l->mbrSignature);
    if (l->style == PartitionStyle::Gpt)
        std::cout << "  disk id " << GuidText(l->gptDiskId);
    std::cout << "\n";
    if (l->style == PartitionStyle::Raw)
        return kExitOk;
    std::cout << " #  START(bytes)     LENGTH(bytes)     TYPE                                  "
                 "VOLUME\n";
    for (const auto& e : l->partitions) {
        if (l->style == PartitionStyle::Mbr && e.mbrType == 0)
            continue;
        const std::string type = l->style == PartitionStyle::Mbr
                                     ? Format("%02X%s", e.mbrType, e.bootIndicator ? " active" : "")
                                     : GuidText(e.gptType) + " " + e.gptName;
        const std::string vol = letterOf(e);
        std::cout << Format("%2u  %-16I64u  %-16I64u  %-36s  %s\n", e.partitionNumber,
                            e.startingOffset, e.length, type, vol.empty() ? "-" : vol);
    }
    return kExitOk;
}

}  // namespace

void AddDiskLayoutCommand(CLI::App& disk, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<LayoutOptions>();
    auto* sub = disk.add_subcommand(
        "layout", "The geometry and partition table of one disk and the volumes on it");
    AddDeviceOptions(*sub, o->device);
    sub->callback([&ctx, &exitCode, o] { exitCode = RunLayout(ctx, *o); });
}

}  // namespace vq::cli
