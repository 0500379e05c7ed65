#include "run/RunDriver.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "app/PanelMessages.h"
#include "base/Format.h"
#include "base/Text.h"
#include "devices/Discovery.h"
#include "devices/SafeRemoval.h"
#include "disk/SoftwareCopy.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "run/Serials.h"
#include "run/Station.h"

namespace vq {

namespace fs = std::filesystem;

// ---- the notifier ----------------------------------------------------------------------

void PortStatusNotifier::notify() {
    {
        std::lock_guard lock(m_);
        ++pending_;
    }
    cv_.notify_one();
}

int PortStatusNotifier::waitAndTake(const std::function<bool()>& done) {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return pending_ > 0 || done(); });
    const int n = pending_;
    pending_ = 0;
    return n;
}

int PortStatusNotifier::take() {
    std::lock_guard lock(m_);
    const int n = pending_;
    pending_ = 0;
    return n;
}

// ---- the driver -------------------------------------------------------------------------

RunDriver::RunDriver(Station& station, TestLog& log, PortDisplay& display, LocalTimeSource now)
    : st_(station), log_(log), display_(display), now_(std::move(now)) {
    st_.setPortStatusListener([this] { notifier_.notify(); });
}

RunDriver::~RunDriver() {
    st_.setPortStatusListener({});
}

void RunDriver::message(const std::string& text, const char* title, MessageIcon icon) {
    if (st_.platform().op)
        st_.platform().op->showMessage({text, title, icon});
}

void RunDriver::setStatus(const std::string& text, CellColour colour) {
    statusLabel_ = text;
    statusColour_ = colour;
}

DisplayInputs RunDriver::displayInputs() const {
    const RunSettings& s = st_.panel().settings();
    DisplayInputs in;
    in.deviceCount = st_.runDeviceCount();
    in.typeC = s.EnEPPTypeC != 0;
    in.phase = phase_;
    in.showRwPerf = s.ShowRWPerf != 0;
    in.freeSpaceCheck = s.EnFreeSpaceCheck != 0;
    in.firmwareCheckEnabled = st_.panel().panel()["FWCheckBox"].enabled;
    return in;
}

void RunDriver::Pump() {
    const int n = notifier_.take();
    if (n == 0)
        return;
    display_.Redraw(st_.ports(), st_.recordsLock(), st_.panel().settings(), displayInputs(), n);
    if (frontEnd_)
        frontEnd_->redrawn(display_);
}

StepGates RunDriver::gates() const {
    const PanelModel& p = st_.panel().panel();
    auto shown = [&](const char* n) { return p[n].visible && p[n].enabled; };
    StepGates g;
    g.partition = shown("PartitionCheckBox");
    g.format = shown("FormatCheckBox");
    g.rwTest = shown("RWTestCheckBox");
    g.softwareCopy = shown("SWCopyChkBox");
    g.folderCompare = shown("enFolderCPChk");
    g.volumeLabelCheck = shown("vfVolLabelChk");
    g.hddFirmwareCheck = shown("vfHDDFWRevChk");
    g.eraseFlash = p["cbEraseFlash"].checked;
    return g;
}

void RunDriver::RefreshBtnClick() {
    statusLabel_.clear();
    display_.SetProgress(0);
    st_.RefreshBtnClick();
    Pump();
}

void RunDriver::RequestClose() {
    closing_ = true;
    stop_ = true;
}

// ---- START -------------------------------------------------------------------------------

bool RunDriver::ChecksBeforeRun() {
    RunSettings& s = st_.panel().settings();
    PanelModel& p = st_.panel().panel();
    // 3. Something to do.
    const bool anything = p["cbEraseFlash"].checked || s.EnPartition || s.EnFormat || s.EnRWTest ||
                          s.EnEEPROMUpdate || s.EnFWUpdate || s.EnVenderCheck || s.EnUSB30Check ||
                          s.EnUSB31Gen2Check || s.EnSWCopy || s.EnFWCheck || s.EnFolderCompare;
    if (!anything)
        return false;
    // 4. Flashless bridges need both updates.
    for (const PortRecord& r : st_.ports()) {
        if (r.usable && r.chipKind >= 25 && r.chipKind <= 29 && r.firmwarePresent == 0 &&
            !(s.EnEEPROMUpdate && s.EnFWUpdate)) {
            message(kFlashNull, msg::kPlainTitle, MessageIcon::None);
            return false;
        }
    }
    // 5.
    if (s.EnEEPROMUpdate && s.String3.empty()) {
        message(kSerialBlank, msg::kWarning, MessageIcon::Warning);
        st_.panel().setText("String3Edit", "");
        return false;
    }
    // 6.
    if (s.EnSWCopy) {
        std::error_code ec;
        const fs::path src = s.SwImgPath.str();
        const fs::path folder = fs::is_directory(src, ec) ? src : src.parent_path();
        if (s.SwImgPath.empty() || !fs::is_directory(folder, ec)) {
            message(kSourceInvalid, msg::kPlainTitle, MessageIcon::None);
            return false;
        }
    }
    // 7.
    if ((s.EnFWUpdate || s.EnFWCheck) && s.FwFileName.empty()) {
        message(kNoFirmwareName, msg::kWarning, MessageIcon::Warning);
        return false;
    }
    // Serials that the increment would hand out twice are refused before anything runs.
    if (s.EnEEPROMUpdate && s.String3Inc && !s.EnBarcodeMode && !s.EnEPPTypeC) {
        const std::string& loops = p["lbTestLoopCnt"].text;
        const std::int32_t n = ParseDecimal32(loops);
        const long runs = s.EnLoopDebug ? (n >= 1 ? n : kDefaultLoops) : 1;
        const std::string twice =
            RepeatedSerial(s.String3.str(), runs * std::max(1, st_.runDeviceCount()));
        if (!twice.empty()) {
            message(Format(kSerialRepeats, twice), msg::kError, MessageIcon::Error);
            return false;
        }
    }
    return true;
}

void RunDriver::ExecuteBtnClick() {
    SettingsPanel& panel = st_.panel();
    PanelModel& p = panel.panel();
    RunSettings& s = panel.settings();
    // 1.
    panel.inputs().runInProgress = true;
    if (frontEnd_)
        frontEnd_->runStateChanged(true);
    p["ExecuteBtn"].enabled = false;
    p["btnStartTest2"].enabled = false;
    statusLabel_.clear();
    ccLabel_.clear();
    panel.CollectPanelSettings();
    phase_ = 0;
    const bool typeC = s.EnEPPTypeC != 0;
    bool go = true;
    // 2.
    if (typeC && !st_.powerControl().ready) {
        message(kNoPowerDevice, msg::kPlainTitle, MessageIcon::None);
        go = false;
    }
    // 3. to 7.
    if (go)
        go = ChecksBeforeRun();
    // 8. The repetitions.
    if (go) {
        runFailed_ = false;
        stop_ = closing_.load();
        if (!s.EnLoopDebug)
            p["lbTestLoopCnt"].text = "1";
        const std::int32_t n = ParseDecimal32(p["lbTestLoopCnt"].text);
        const int loops = n >= 1 ? n : kDefaultLoops;
        for (int i = 0; i < loops; ++i) {
            if (stop_ || (runFailed_ && p["cbStopOnFailure"].checked))
                break;
            if (typeC)
                TypeCSequence();
            else
                OneRun();
        }
    }
    // 9.
    panel.inputs().runInProgress = false;
    if (frontEnd_)
        frontEnd_->runStateChanged(false);
    p["ExecuteBtn"].enabled = true;
    p["btnStartTest2"].enabled = true;
    if (s.EnBarcodeMode) {
        panel.setText("String3Edit", "");
        p.focus = "String3Edit";
    } else if (!panel.inputs().resultWindowVisible) {
        p.focus =
            (p["ExecuteBtn"].visible && p["ExecuteBtn"].enabled) ? "ExecuteBtn" : "RefreshBtn";
    }
}

void RunDriver::TypeCSequence() {
    RunSettings& s = st_.panel().settings();
    Clock& clock = *st_.platform().clock;
    display_.ResetPhaseProgress();
    phaseLines_ = {};
    bool completed = true;
    for (int phase = 0; phase < 3; ++phase) {
        phase_ = phase;
        runFailed_ = false;
        int count = 0;
        for (int waited = 0; waited < s.EPPPowerOnDelay; waited += 1000) {
            count = OneRun();
            if (count == 1)
                break;
            clock.sleepMs(1000);
        }
        if (count != 1) {
            ccLabel_ = phase == 2 ? "CC2" : "CC1";
            setStatus("Fail", CellColour::Red);
            completed = false;
            break;
        }
        if (runFailed_) {
            completed = false;
            break;
        }
    }
    if (!completed)
        runFailed_ = true;
    const std::string summary =
        PhaseSummary(completed, phaseLines_, s.TotalTestCount, now_ ? now_() : LocalDateTime{});
    if (!log_.AppendSummary(summary))
        message(test_log::kSummaryOpenFailed, msg::kPlainTitle, MessageIcon::None);
}

bool RunDriver::LoadFirmware() {
    RunSettings& s = st_.panel().settings();
    firmware_ = bridge::FirmwareImage{};
    if (bridge::LoadFirmwareImage(fs::path(s.FwFileName.str()), firmware_) !=
        bridge::FirmwareLoadError::None)
        return false;
    if (!bridge::CheckCloneMarker(firmware_, st_.panel().panel()["cbCloneProduct"].checked,
                                  st_.platform().op)) {
        firmware_ = bridge::FirmwareImage{};
        return false;
    }
    return true;
}

int RunDriver::OneRun() {
    SettingsPanel& panel = st_.panel();
    RunSettings& s = panel.settings();
    const bool typeC = s.EnEPPTypeC != 0;
    Clock& clock = *st_.platform().clock;
    const std::int64_t started = clock.threadNs();
    const std::int64_t portLockBefore = st_.portLock().heldNs();
    const std::int64_t rwTestLockBefore = st_.rwTestLock().heldNs();
    // 1.
    const int count = st_.RescanForRun(typeC && phase_ >= 1);
    lastCount_ = count;
    st_.notifyPortStatus();
    Pump();
    if (count == 0)
        return 0;
    // 2.
    st_.setDeviceCounts(count);
    st_.setHddAccessRetry(5 * count);
    display_.SetProgress(0);
    RunOutcome outcome;
    outcome.devices = count;
    // 3. to 6. What all devices share.
    if (s.EnEEPROMUpdate && prep_.buildWorkingConfig)
        prep_.buildWorkingConfig(s, st_.firstChip());
    std::shared_ptr<const PatternBlock> pattern;
    if (s.EnRWTest && prep_.preparePatterns)
        pattern = prep_.preparePatterns(s, st_.platform());
    if (s.EnFWUpdate && !LoadFirmware()) {
        // The run ends before any worker starts; the report says why.
        {
            std::lock_guard lock(st_.recordsLock());
            outcome.ports = st_.ports();
        }
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            if (outcome.ports[i].usable)
                outcome.notes[i] = "the firmware file could not be used: " + s.FwFileName.str();
        }
        RefreshBtnClick();
        runFailed_ = true;
        runs_.push_back(outcome);
        return count;
    }
    RunShared shared;
    shared.gates = gates();
    shared.typeC = typeC;
    shared.phase = phase_;
    shared.powerReady = st_.powerControl().ready;
    shared.powerPath = st_.powerControl().devicePath;
    shared.powerByte = st_.powerControl().controlByte;
    shared.cc1Port = &cc1Port_;
    shared.firmwareImage = &firmware_;
    shared.osClass = st_.osClass();
    shared.windows2000 = IsWindows2000(st_.platform().osVersion);
    shared.closing = &closing_;
    shared.procedures = steps_;
    shared.pattern = pattern;
    if ((s.EnSWCopy || s.EnFolderCompare) && st_.platform().files)
        shared.copySource = MakeCopySource(*st_.platform().files, s.SwImgPath.str());
    if (s.EnFolderCompare && prep_.prepareCompare)
        shared.compareCounts = prep_.prepareCompare(s, shared.copySource, st_.platform());

    // 7. One worker per usable device, each with its own serial.
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    std::atomic<int> running{0};
    // Each worker starts at the time it is started and the driver goes on from the time
    // the last one ended (the clock may keep a time line per thread).
    const std::int64_t spawned = clock.threadNs();
    std::vector<std::int64_t> ended(static_cast<std::size_t>(count), spawned);
    for (std::size_t i = 0; i < kPortSlots && static_cast<int>(workers.size()) < count; ++i) {
        if (!st_.ports()[i].usable)
            continue;
        if (s.CheckMaxSn && s.EnEEPROMUpdate &&
            SerialGreater(s.String3.str(), s.StringMaxSn.str())) {
            message(kMaxSerial, msg::kError, MessageIcon::Error);
            {
                std::lock_guard lock(st_.recordsLock());
                st_.ports()[i].eeprom = run_result::kFail;
                st_.ports()[i].finalResult = run_result::kFail;
            }
            st_.notifyPortStatus();
            break;
        }
        workers.push_back(std::make_unique<Worker>(st_, i, s, shared, st_.ports()[i].driveLetter));
        Worker* w = workers.back().get();
        std::int64_t* end = &ended[workers.size() - 1];
        ++running;
        threads.emplace_back([this, w, &running, &clock, spawned, end] {
            clock.continueFrom(spawned);
            w->Run();
            *end = clock.threadNs();
            --running;
            notifier_.notify();
        });
        if (s.EnEEPROMUpdate) {
            if (s.StringAInc)
                s.StringA = HexIncrement(s.StringA.str());
            if (s.StringBInc)
                s.StringB = HexIncrement(s.StringB.str());
            if (s.String3Inc && !s.EnBarcodeMode && !typeC)
                s.String3 = HexIncrement(s.String3.str());
        }
    }

    // 8. The wait, redrawing as the workers report.
    for (;;) {
        const int n = notifier_.waitAndTake([&] { return running.load() == 0; });
        if (n > 0) {
            display_.Redraw(st_.ports(), st_.recordsLock(), s, displayInputs(), n);
            if (frontEnd_)
                frontEnd_->redrawn(display_);
        }
        if (running.load() == 0)
            break;
    }
    for (auto& t : threads)
        t.join();
    const std::int64_t joined = *std::max_element(ended.begin(), ended.end());
    clock.continueFrom(joined);
    // Every finish notice is in the records now: count what is left before the log.
    display_.Redraw(st_.ports(), st_.recordsLock(), s, displayInputs(), notifier_.take());
    if (frontEnd_)
        frontEnd_->redrawn(display_);

    // 9.
    if (s.EnEEPROMUpdate) {
        panel.setText("StringAEdit", s.StringA.str());
        panel.setText("StringBEdit", s.StringB.str());
        panel.setText("String3Edit", s.String3.str());
    }
    firmware_ = bridge::FirmwareImage{};
    for (std::size_t k = 0; k < workers.size(); ++k)
        outcome.notes[workers[k]->slot()] = workers[k]->note();

    // 10. The log; the counters are kept on disk after every run as well.
    const LocalDateTime stamp = now_ ? now_() : LocalDateTime{};
    WriteLog(stamp, count);
    outcome.logWritten = logOk_;
    panel.WriteCounters();

    // 11.
    bool passed = true;
    for (const PortRecord& r : st_.ports()) {
        if (r.usable && r.finalResult == run_result::kFail)
            passed = false;
    }
    runFailed_ = !passed;
    outcome.passed = passed;
    outcome.times.totalNs = clock.threadNs() - started;
    outcome.times.driverNs = (spawned - started) + (clock.threadNs() - joined);
    outcome.times.portLockNs = st_.portLock().heldNs() - portLockBefore;
    outcome.times.rwTestLockNs = st_.rwTestLock().heldNs() - rwTestLockBefore;
    {
        std::lock_guard lock(st_.recordsLock());
        outcome.ports = st_.ports();
    }
    runs_.push_back(outcome);
    if (!outcome.logWritten)
        return count;
    // 12.
    ShowOverall(passed);
    return count;
}

void RunDriver::WriteLog(const LocalDateTime& stamp, int count) {
    RunSettings& s = st_.panel().settings();
    test_log::LineOptions o;
    o.typeC = s.EnEPPTypeC != 0;
    const PanelModel& p = st_.panel().panel();
    o.volumeLabelCheckShown = p["vfVolLabelChk"].visible && p["vfVolLabelChk"].enabled;
    o.hddFirmwareCheckShown = p["vfHDDFWRevChk"].visible && p["vfHDDFWRevChk"].enabled;
    Diagnostics* diag = st_.platform().diagnostics;
    const auto readBack = test_log::ReadBackThrough(st_.transport(), [diag](const std::string& t) {
        if (diag)
            diag->debugOutput(t);
    });
    std::string lines;
    int k = 0;
    for (const PortRecord& r : st_.ports()) {
        if (!r.usable)
            continue;
        ++k;
        const int number = s.TotalTestCount - count + k;
        if (o.typeC) {
            std::string line = test_log::DeviceLine(number, stamp, r, s, o, readBack, phase_);
            phaseLines_[static_cast<std::size_t>(phase_)] = line.substr(0, test_log::kPhaseLineMax);
        } else {
            lines += test_log::DeviceLine(number, stamp, r, s, o, readBack);
        }
    }
    // The file is opened (and made with its header) in type-C mode too; the phase lines
    // wait for the summary.
    logOk_ = log_.AppendRun(lines);
    if (!logOk_)
        message(test_log::kOpenFailed, msg::kError, MessageIcon::Error);
}

void RunDriver::ShowOverall(bool passed) {
    RunSettings& s = st_.panel().settings();
    if (s.EnEPPTypeC) {
        ccLabel_ = phase_ == 2 ? "CC2" : "CC1";
        if (phase_ < 2 && passed)
            return;
        setStatus(passed ? "Pass" : "Fail", passed ? CellColour::Blue : CellColour::Red);
        if (passed)
            ccLabel_ = "Pass";
        return;
    }
    if (s.MPPassLabel == 0) {
        st_.panel().inputs().resultWindowVisible = true;
        if (frontEnd_)
            frontEnd_->showResult(passed);
    } else if (s.MPPassLabel > 0) {
        setStatus(passed ? "Pass" : "Fail", passed ? CellColour::Blue : CellColour::Red);
    }
    if (s.MPSafeRemove)
        SafeRmBtnClick();
}

bool RunDriver::SafeRmBtnClick() {
    if (st_.runDeviceCount() == 0)
        return true;
    std::vector<DevNode> nodes;
    for (const PortRecord& r : st_.ports()) {
        if (r.usable && static_cast<int>(nodes.size()) < st_.runDeviceCount())
            nodes.push_back(r.usbNode);
    }
    if (st_.platform().removal)
        RemoveDevices(*st_.platform().removal, *st_.platform().clock, nodes);
    RefreshBtnClick();
    if (st_.runDeviceCount() >= 1) {
        message("Unable to remove all device!", msg::kWarning, MessageIcon::Warning);
        return false;
    }
    return true;
}

}  // namespace vq
