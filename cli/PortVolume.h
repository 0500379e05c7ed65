// What the disk subcommands (rwtest, copy) need of one port: the settings, a device
// refresh of the station, and the port's volume, drive path and speed.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "cli/CliContext.h"
#include "run/Station.h"

namespace vq::cli {

class PortSession {
  public:
    // Loads the settings file (none: the built-in defaults). Null with a message on
    // stderr and `*exit` set when the platform or the settings cannot be had.
    static std::unique_ptr<PortSession> Open(CliContext& ctx, bool needStation,
                                             const std::string& settingsFile, int* exit);

    Platform& platform() { return *platform_; }
    RunSettings& settings() { return settings_; }

    // Refreshes the station and describes slot `slot` (1 to 16): its volume root, drive
    // path and USB speed. Nullopt with a message on stderr when the port has no device or
    // no volume.
    struct Port {
        char letter = 0;
        std::filesystem::path root;
        std::string diskPath;
        std::int32_t usbSpeed = 0;
        std::string fileSystem;
    };
    std::optional<Port> port(int slot);
    // Sends one ATA FLUSH CACHE EXT to the port's drive.
    void flushCache(const Port& port);

  private:
    explicit PortSession(Platform& p);

    Platform* platform_;
    RunSettings settings_;
    PanelModel panel_;
    RecordingOperator recorder_;
    std::unique_ptr<SettingsPanel> rules_;
    std::unique_ptr<Station> station_;
};

}  // namespace vq::cli
