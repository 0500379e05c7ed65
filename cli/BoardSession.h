// What the commands that work on one board share: a station refreshed once with a settings
// file (or the built-in defaults), the board of a slot as `scan` numbers them, the job a
// production run would give that board, the reset and re-find after a write, and a progress
// display.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "bridge/BoardProgram.h"
#include "cli/CliContext.h"
#include "platform/Operator.h"
#include "run/Station.h"

namespace vq::cli {

class BoardSession {
  public:
    explicit BoardSession(CliContext& ctx) : ctx_(ctx) {}
    ~BoardSession();

    // Sets up the platform, loads the settings file (when one is named) and runs one device
    // refresh. kExitOk, or the exit code to end with (the reason printed).
    int open(const std::string& settingsFile, const char* command);

    Platform& platform() { return *platform_; }
    Station& station() { return *station_; }
    SettingsPanel& rules() { return *rules_; }
    RunSettings& settings() { return settings_; }
    RecordingOperator& recorder() { return recorder_; }

    // The port record of the board a --slot / --path choice names, and its slot (1 to 16);
    // null with a message naming `command` otherwise, and `exitCode` set (bad command line
    // when neither or both are given, failure for a device that is no usable bridge).
    const PortRecord* board(const DeviceChoice& choice, const char* command, int& exitCode,
                            int& slot);
    bridge::Target target(const PortRecord& r) const { return {station_->transport(), r.diskPath}; }

    // The job a production run gives the board in the EEPROM and firmware stage, built from
    // the settings as START builds the working configuration and the worker the device's.
    bridge::BoardJob job(const PortRecord& r, bool eepromUpdate, bool firmwareUpdate,
                         const bridge::FirmwareImage& firmware);

    // The worker's relink: reset the board, then look for it again every second (up to
    // MPResetWait times) until a bridge is back in its slot. True when it came back.
    bool resetAndRefind(int slot);

    // Prints the operator messages recorded so far to `out` and forgets them.
    void flushMessages(std::ostream& out);

  private:
    CliContext& ctx_;
    Platform* platform_ = nullptr;
    Operator* console_ = nullptr;
    RecordingOperator recorder_;
    RunSettings settings_;
    PanelModel panel_;
    std::unique_ptr<SettingsPanel> rules_;
    std::unique_ptr<Station> station_;
};

// A progress display: a bar redrawn in place on a terminal, otherwise one line at every
// tenth of the work.
class ProgressDisplay {
  public:
    explicit ProgressDisplay(std::string label);
    void operator()(std::size_t done, std::size_t total);
    void finish();

  private:
    std::string label_;
    bool terminal_;
    int shown_ = -1;
};

}  // namespace vq::cli
