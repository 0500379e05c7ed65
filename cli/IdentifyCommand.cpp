// "vqmp-cli identify": what each bridge of the station says about itself: chip model and
// revision, firmware version and presence, flash family and the capacity of its drive.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Format.h"
#include "bridge/ChipIdentity.h"
#include "bridge/FlashDetect.h"
#include "cli/CliContext.h"
#include "platform/ScsiPassThrough.h"
#include "platform/StorageEnumerator.h"

namespace vq::cli {

namespace {

struct IdentifyOptions {
    DeviceChoice device;  // neither: every device of the station
};

struct Identified {
    std::string path;
    bridge::ChipKind kind = 0;
    std::string chipCode;
    std::uint8_t revision = 0;
    std::string firmwareVersion;
    bool firmwarePresent = false;
    bridge::FlashType flashType = bridge::kNoFlash;
    std::uint64_t capacityMiB = 0;
};

// The station's storage devices: disk interfaces first, then optical ones.
std::vector<std::string> StationDevicePaths(Platform& p) {
    std::vector<std::string> paths;
    if (!p.storage)
        return paths;
    for (const auto& list : {p.storage->diskInterfaces(), p.storage->opticalInterfaces()}) {
        if (!list)
            continue;
        for (const auto& i : *list)
            paths.push_back(i.interfacePath);
    }
    return paths;
}

Identified IdentifyDevice(const bridge::Transport& transport, const std::string& path) {
    const bridge::Target t{transport, path};
    Identified d;
    d.path = path;
    d.kind = bridge::IdentifyChip(t);
    d.revision = bridge::RevisionOf(bridge::IdentifyChipWithRevision(t));
    d.capacityMiB = bridge::ReadDriveCapacity(t, d.kind);
    if (d.kind == 0)
        return d;
    d.chipCode = "v" + std::string(bridge::ChipNumber(d.kind));
    bridge::FormatFirmwareVersion(d.kind, t, d.firmwareVersion);
    d.firmwarePresent = bridge::HasValidFirmware(t, d.kind, d.firmwareVersion);
    d.flashType = bridge::DetectFlashType(d.kind, t);
    return d;
}

void PrintText(const std::vector<Identified>& devices) {
    if (devices.empty()) {
        std::cout << "no devices\n";
        return;
    }
    std::cout << "KIND  CODE  REV  FIRMWARE        PRESENT  FLASH  CAPACITY(MiB)  PATH\n";
    for (const auto& d : devices) {
        std::cout << Format("%4u  %-4s  %3u  %-14s  %-7s  %5u  %13llu  %s\n", d.kind,
                            d.chipCode.empty() ? "-" : d.chipCode, d.revision,
                            d.firmwareVersion.empty() ? "-" : d.firmwareVersion,
                            d.firmwarePresent ? "yes" : "no", d.flashType, d.capacityMiB, d.path);
    }
}

void PrintJson(const std::vector<Identified>& devices) {
    auto list = nlohmann::json::array();
    for (const auto& d : devices) {
        list.push_back({{"path", d.path},
                        {"chipKind", d.kind},
                        {"chipCode", d.chipCode},
                        {"revision", d.revision},
                        {"firmwareVersion", d.firmwareVersion},
                        {"firmwarePresent", d.firmwarePresent},
                        {"flashType", d.flashType},
                        {"capacityMiB", d.capacityMiB}});
    }
    std::cout << nlohmann::json{{"devices", list}}.dump(2) << "\n";
}

int RunIdentify(CliContext& ctx, const IdentifyOptions& options) {
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    const bridge::Transport transport(*p->scsi, *p->clock);
    const bool one = options.device.slot != 0 || !options.device.path.empty();
    std::vector<std::string> paths;
    if (one) {
        std::string path;
        if (const int rc = ctx.resolveDevice("identify", options.device, path); rc != kExitOk)
            return rc;
        paths.push_back(path);
    } else {
        paths = StationDevicePaths(*p);
    }
    std::vector<Identified> devices;
    for (const auto& path : paths)
        devices.push_back(IdentifyDevice(transport, path));
    if (ctx.options().json)
        PrintJson(devices);
    else
        PrintText(devices);
    // A device asked for by name must be a bridge the station knows.
    if (one && devices.front().kind == 0) {
        std::cerr << "vqmp-cli identify: " << paths.front()
                  << " is no bridge the station knows (no chip answered)\n";
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

void AddIdentifyCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto options = std::make_shared<IdentifyOptions>();
    auto* sub = app.add_subcommand(
        "identify",
        "Identify every bridge, or the one of --slot / --path: chip, revision, firmware, "
        "flash and drive capacity");
    AddDeviceOptions(*sub, options->device);
    sub->callback([&ctx, &exitCode, options] { exitCode = RunIdentify(ctx, *options); });
}

}  // namespace vq::cli
