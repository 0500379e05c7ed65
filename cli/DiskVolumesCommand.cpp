// "vqmp-cli disk volumes": every volume the machine shows, with its file system, label,
// size, free space and the disk it lies on.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/Format.h"
#include "cli/DiskCommand.h"
#include "platform/ScsiPassThrough.h"
#include "platform/VolumeService.h"

namespace vq::cli {

namespace {

const char* TypeName(DriveType t) {
    switch (t) {
        case DriveType::Removable:
            return "removable";
        case DriveType::Fixed:
            return "fixed";
        case DriveType::Remote:
            return "remote";
        case DriveType::CdRom:
            return "cdrom";
        case DriveType::RamDisk:
            return "ramdisk";
        default:
            return "unknown";
    }
}

struct Row {
    char letter = 0;
    DriveType type = DriveType::Unknown;
    std::optional<VolumeInformation> info;
    std::optional<std::uint64_t> total, free;
    std::optional<std::uint32_t> disk;
    std::optional<PartitionInfo> partition;
    std::string root;
};

int RunVolumes(CliContext& ctx) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    if (!p->volumes) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no volume service\n";
        return kExitPlatform;
    }
    VolumeService& vs = *p->volumes;
    std::vector<Row> rows;
    const std::uint32_t mask = vs.logicalDriveMask();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i)))
            continue;
        Row r;
        r.letter = static_cast<char>('A' + i);
        r.type = vs.driveType(r.letter);
        r.info = vs.volumeInformation(r.letter);
        r.total = vs.totalBytes(r.letter);
        r.free = vs.freeBytes(r.letter);
        r.root = vs.rootPath(r.letter).string();
        if (auto v = vs.openVolume(r.letter)) {
            if (auto n = v->deviceNumber())
                r.disk = n->deviceNumber;
            r.partition = v->partitionInfo();
        } else if (p->scsi) {
            if (auto d = p->scsi->open(vs.volumeDevicePath(r.letter))) {
                if (auto n = d->deviceNumber())
                    r.disk = n->deviceNumber;
            }
        }
        rows.push_back(std::move(r));
    }
    const char system = vs.systemDriveLetter();
    if (ctx.options().json) {
        using Json = nlohmann::ordered_json;
        Json list = Json::array();
        for (const Row& r : rows) {
            list.push_back(
                Json{{"letter", std::string(1, r.letter)},
                     {"type", TypeName(r.type)},
                     {"system", r.letter == system},
                     {"fileSystem", r.info ? r.info->fileSystem : std::string()},
                     {"label", r.info ? r.info->label : std::string()},
                     {"serial", r.info ? Format("%04X-%04X", r.info->serialNumber >> 16,
                                                r.info->serialNumber & 0xFFFF)
                                       : std::string()},
                     {"totalBytes", r.total ? Json(*r.total) : Json()},
                     {"freeBytes", r.free ? Json(*r.free) : Json()},
                     {"disk", r.disk ? Json(*r.disk) : Json()},
                     {"partitionStart", r.partition ? Json(r.partition->startingOffset) : Json()},
                     {"root", r.root}});
        }
        std::cout << list.dump(2) << "\n";
        return kExitOk;
    }
    std::cout << "DRIVE  TYPE       FS     LABEL                             SERIAL     "
                 "TOTAL(MiB)  FREE(MiB)  DISK  START(bytes)  ROOT\n";
    for (const Row& r : rows) {
        std::cout << Format(
            "%c:%s    %-9s  %-5s  %-32s  %-9s  %10s  %9s  %4s  %12s  %s\n", r.letter,
            r.letter == system ? "*" : " ", TypeName(r.type),
            r.info && !r.info->fileSystem.empty() ? r.info->fileSystem : std::string("-"),
            r.info ? r.info->label : std::string(),
            r.info ? Format("%04X-%04X", r.info->serialNumber >> 16, r.info->serialNumber & 0xFFFF)
                   : std::string("-"),
            r.total ? Format("%I64u", *r.total >> 20) : std::string("-"),
            r.free ? Format("%I64u", *r.free >> 20) : std::string("-"),
            r.disk ? Format("%u", *r.disk) : std::string("-"),
            r.partition ? Format("%I64u", r.partition->startingOffset) : std::string("-"), r.root);
    }
    return kExitOk;
}

}  // namespace

void AddDiskVolumesCommand(CLI::App& disk, CliContext& ctx, int& exitCode) {
    auto* sub = disk.add_subcommand(
        "volumes", "Every volume the machine shows: file system, label, size, free space, disk");
    sub->callback([&ctx, &exitCode] { exitCode = RunVolumes(ctx); });
}

}  // namespace vq::cli
