// START: the checks before a run, the repetitions (loop test, the type-C three-phase
// sequence), and one run: rescan, shared preparation, one worker thread per usable
// device with its own serial number, the wait, the test log and the result. All of it
// runs on the calling (user-interface) thread; the workers report through the station's
// notifier, which the driver drains into the port status display while it waits.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/FirmwareImage.h"
#include "devices/PortRecord.h"
#include "platform/Operator.h"
#include "run/PortDisplay.h"
#include "run/TestLog.h"
#include "run/Worker.h"

namespace vq {

struct Platform;

class Station;

// "Port status changed": counts notifications from any thread and wakes the waiter.
class PortStatusNotifier {
  public:
    void notify();
    // Waits until a notification is pending or `done` holds (checked under the lock);
    // returns the notifications taken.
    int waitAndTake(const std::function<bool()>& done);
    int take();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int pending_ = 0;
};

// What the driver shows besides the port display; the front ends draw it.
struct RunFrontEnd {
    virtual ~RunFrontEnd() = default;
    // The port display was redrawn.
    virtual void redrawn(const PortDisplay&) {}
    // The result window (MPPassLabel 0).
    virtual void showResult(bool /*passed*/) {}
    // START began (true) or ended (false); called on the driver's thread.
    virtual void runStateChanged(bool /*running*/) {}
};

// Where a run's time went, on the station's clock (the emulated time of each thread on an
// emulated station): the whole run, the driver's own work before the workers start and
// after they end (the scan, the preparation, the log), and how long the port lock and the
// R/W test lock were held, which the workers take one at a time.
struct RunTimes {
    std::int64_t totalNs = 0;
    std::int64_t driverNs = 0;
    std::int64_t portLockNs = 0;
    std::int64_t rwTestLockNs = 0;
    // What the run serializes on purpose, and the rest, which the workers do side by side.
    std::int64_t serialNs() const { return driverNs + portLockNs + rwTestLockNs; }
    std::int64_t parallelNs() const { return totalNs - serialNs(); }
};

// The outcome of one run, for reports.
struct RunOutcome {
    int devices = 0;
    bool passed = false;
    bool logWritten = false;
    PortTable ports{};  // the records as the run left them
    std::array<std::string, kPortSlots> notes{};
    RunTimes times;
};

// The run's preparation that other parts of the station implement.
struct RunProcedures {
    // Applies the EEPROM type and builds the working ConfigImage from the panel values.
    std::function<void(RunSettings&, std::uint16_t firstChip)> buildWorkingConfig;
    // The R/W test pattern (loaded once per program run); null when it cannot be read.
    std::function<std::shared_ptr<const PatternBlock>(const RunSettings&, Platform&)>
        preparePatterns;
    // The compare's expected counts, from the copy source.
    std::function<FolderCounts(const RunSettings&, const std::string& copySource, Platform&)>
        prepareCompare;
};

class RunDriver {
  public:
    static constexpr const char* kNoPowerDevice = "No control EPP power device!!";
    static constexpr const char* kFlashNull =
        "Flash is NULL, must be update EEPROM and Firmware together!";
    static constexpr const char* kSerialBlank = "S/N String field can not be blank.";
    static constexpr const char* kSourceInvalid = "Please make sure the software image path valid!";
    static constexpr const char* kNoFirmwareName =
        "Please make sure the correct firmware filename!";
    static constexpr const char* kMaxSerial = "Serial number reach the max setting number ";
    static constexpr const char* kSerialRepeats =
        "The serial number %s would be given to two devices. Please choose another start "
        "serial number.";

    RunDriver(Station& station, TestLog& log, PortDisplay& display,
              LocalTimeSource now = SystemLocalTime);
    ~RunDriver();

    void setStepProcedures(StepProcedures p) { steps_ = std::move(p); }
    void setRunProcedures(RunProcedures p) { prep_ = std::move(p); }
    void setFrontEnd(RunFrontEnd* f) { frontEnd_ = f; }
    // How many repetitions START makes at most when the loop count field is empty.
    static constexpr int kDefaultLoops = 1000;

    // START ("Start Test" of the loop test too).
    void ExecuteBtnClick();
    // "Stop Test": no further repetition starts. Any thread.
    void BtnStopTestClick() { stop_ = true; }
    // Program close: running workers stop at their next step boundary; START returns.
    // Only sets flags, so a signal handler may call it.
    void RequestClose();
    // "Refresh" with the display redrawn.
    void RefreshBtnClick();
    // Safe Remove of every usable device, then a refresh; false when devices remain.
    bool SafeRmBtnClick();

    // Redraws the display when notifications are pending.
    void Pump();
    PortStatusNotifier& notifier() { return notifier_; }
    DisplayInputs displayInputs() const;

    const std::vector<RunOutcome>& runs() const { return runs_; }
    bool runFailed() const { return runFailed_; }
    // StatusLabel and the CC label: text and colour ("" when hidden).
    const std::string& statusLabel() const { return statusLabel_; }
    CellColour statusColour() const { return statusColour_; }
    const std::string& ccLabel() const { return ccLabel_; }
    int phase() const { return phase_; }
    // The type-C phase lines of the last sequence.
    const std::array<std::string, 3>& phaseLines() const { return phaseLines_; }

    // One run (normal mode, or one attempt of a type-C phase); returns the devices counted.
    int OneRun();

  private:
    bool ChecksBeforeRun();
    void TypeCSequence();
    bool LoadFirmware();
    void WaitForWorkers(std::vector<std::thread>& threads);
    void WriteLog(const LocalDateTime& stamp, int count);
    void ShowOverall(bool passed);
    void message(const std::string& text, const char* title, MessageIcon icon);
    void setStatus(const std::string& text, CellColour colour);
    StepGates gates() const;

    Station& st_;
    TestLog& log_;
    PortDisplay& display_;
    LocalTimeSource now_;
    StepProcedures steps_;
    RunProcedures prep_;
    RunFrontEnd* frontEnd_ = nullptr;
    PortStatusNotifier notifier_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closing_{false};
    std::atomic<int> cc1Port_{0};
    bool runFailed_ = false;
    int phase_ = 0;
    int lastCount_ = 0;
    bool logOk_ = true;
    std::array<std::string, 3> phaseLines_{};
    bridge::FirmwareImage firmware_;
    std::string statusLabel_;
    CellColour statusColour_ = CellColour::Black;
    std::string ccLabel_;
    std::vector<RunOutcome> runs_;
};

}  // namespace vq
