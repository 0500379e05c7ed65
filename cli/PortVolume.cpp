#include "cli/PortVolume.h"

#include <iostream>

#include "bridge/VendorCommands.h"
#include "platform/VolumeService.h"

namespace vq::cli {

PortSession::PortSession(Platform& p) : platform_(&p) {}

std::unique_ptr<PortSession> PortSession::Open(CliContext& ctx, bool needStation,
                                               const std::string& settingsFile, int* exit) {
    Platform* p = needStation ? ctx.bridgePlatform() : ctx.platform();
    if (!p) {
        *exit = kExitPlatform;
        return nullptr;
    }
    if (!p->files || !p->clock || (needStation && !p->volumes)) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no file service\n";
        *exit = kExitPlatform;
        return nullptr;
    }
    std::unique_ptr<PortSession> s(new PortSession(*p));
    s->rules_ = std::make_unique<SettingsPanel>(s->settings_, s->panel_, s->recorder_, p->home);
    if (!settingsFile.empty()) {
        try {
            s->rules_->LoadSettings(std::filesystem::absolute(settingsFile));
        } catch (const LogDirectoryError& e) {
            std::cerr << "vqmp-cli: " << e.what() << "\n";
            *exit = kExitFailed;
            return nullptr;
        }
        if (s->rules_->lastLoadOutcome() != LoadOutcome::Loaded) {
            for (const auto& m : s->recorder_.messages())
                std::cerr << "vqmp-cli: " << m.title << "|" << m.text << "\n";
            *exit = kExitFailed;
            return nullptr;
        }
    } else {
        // The settings a file without keys gives.
        s->settings_.RWDataSize = 2;
        s->settings_.PerfShift = 1.0f;
    }
    s->recorder_.clear();
    return s;
}

std::optional<PortSession::Port> PortSession::port(int slot) {
    if (slot < 1 || slot > static_cast<int>(kPortSlots)) {
        std::cerr << "vqmp-cli: --slot must be 1 to " << kPortSlots << "\n";
        return std::nullopt;
    }
    if (!station_) {
        // The refresh's own messages are not what the caller asked about.
        Operator* const console = platform_->op;
        platform_->op = &recorder_;
        station_ = std::make_unique<Station>(*platform_, *rules_);
        station_->DeviceRefresh();
        platform_->op = console;
    }
    const auto i = static_cast<std::size_t>(slot - 1);
    const PortRecord& r = station_->ports()[i];
    if (!r.present) {
        std::cerr << "vqmp-cli: slot " << slot << " has no device\n";
        return std::nullopt;
    }
    Port port;
    port.letter = station_->firstDriveLetter(i);
    if (!port.letter) {
        std::cerr << "vqmp-cli: slot " << slot << " has no drive letter\n";
        return std::nullopt;
    }
    port.root = platform_->volumes->rootPath(port.letter);
    port.diskPath = r.diskPath;
    port.usbSpeed = r.usbSpeed;
    if (auto info = platform_->volumes->volumeInformation(port.letter))
        port.fileSystem = info->fileSystem;
    return port;
}

void PortSession::flushCache(const Port& port) {
    if (station_ && !port.diskPath.empty())
        bridge::AtaFlushCache({station_->transport(), port.diskPath});
}

}  // namespace vq::cli
