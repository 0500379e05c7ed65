// "vqmp-cli format-image": the station's FAT32 formatter on a disk image file or a block
// device, the whole of it or a window (a partition), with the formatter's report.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Format.h"
#include "base/Text.h"
#include "bridge/Transport.h"
#include "cli/CliContext.h"
#include "disk/DiskContext.h"
#include "disk/Fat32Format.h"
#include "disk/ImageVolume.h"
#include "platform/DiskService.h"

namespace vq::cli {

namespace {

struct FormatImageOptions {
    std::string image;
    std::string fileSystem = "fat32";
    std::uint32_t clusterBytes = 0;
    std::string label;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t sectorSize = 512;
    bool json = false;
};

int RunFormatImage(CliContext& ctx, const FormatImageOptions& o) {
    if (!EqualsNoCase(o.fileSystem, "fat32")) {
        std::cerr << "vqmp-cli: format-image makes FAT32 only (--fs fat32)\n";
        return kExitUsage;
    }
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    if (!p->disks) {
        std::cerr << "vqmp-cli: the platform " << p->name << " has no disk service\n";
        return kExitPlatform;
    }
    std::uint32_t error = 0;
    auto disk = p->disks->openImage(o.image, o.sectorSize, &error);
    if (!disk) {
        std::cerr << Format("vqmp-cli: %s cannot be opened (system error %u)\n", o.image, error);
        return kExitFailed;
    }
    disk::ImageVolume volume(std::move(disk), o.offset, o.length);
    if (!volume.valid()) {
        std::cerr << Format(
            "vqmp-cli: offset %llu and length %llu do not make a window of whole %u-byte "
            "sectors inside %s\n",
            o.offset, o.length, o.sectorSize, o.image);
        return kExitUsage;
    }

    const bridge::Transport transport(*p->scsi, *p->clock);
    std::mutex noOtherPorts;
    disk::DiskContext dc(*p, transport, noOtherPorts, 5);
    const bool json = o.json || ctx.options().json;
    std::string report;
    dc.console = [&](std::string_view text) {
        if (json) {
            report += text;
        } else {
            std::cout << text;
            std::cout.flush();
        }
    };
    const int result = disk::FormatFat32Volume(dc, volume, '?', o.clusterBytes, o.label, true);
    if (json) {
        std::cout << nlohmann::json{{"image", o.image},          {"offset", volume.offset()},
                                    {"length", volume.length()}, {"bytesPerSector", o.sectorSize},
                                    {"fileSystem", "FAT32"},     {"label", o.label},
                                    {"formatted", result == 1},  {"report", report}}
                         .dump(2)
                  << "\n";
    } else {
        std::cout << "\n";
        if (result != 1)
            std::cerr << "vqmp-cli: the image was not formatted\n";
    }
    return result == 1 ? kExitOk : kExitFailed;
}

}  // namespace

void AddFormatImageCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<FormatImageOptions>();
    auto* sub = app.add_subcommand(
        "format-image",
        "Format a disk image file or a block device as FAT32 with the station's formatter");
    sub->add_option("IMAGE", o->image, "Image file or block device")->required();
    sub->add_option("--fs", o->fileSystem, "File system (fat32)");
    sub->add_option("--cluster", o->clusterBytes, "Cluster size in bytes (default: by size)");
    sub->add_option("--label", o->label, "Volume label");
    auto* offset =
        sub->add_option("--offset", o->offset, "Start of the volume in bytes (default 0)");
    auto* length = sub->add_option("--length", o->length,
                                   "Length of the volume in bytes (default: to the end)");
    offset->needs(length);
    length->needs(offset);
    sub->add_option("--sector-size", o->sectorSize, "Bytes per sector of the image")
        ->check(CLI::IsMember({512u, 4096u}));
    sub->add_flag("--json", o->json, "Print the outcome and the report as JSON");
    sub->callback([&ctx, &exitCode, o] { exitCode = RunFormatImage(ctx, *o); });
}

}  // namespace vq::cli
