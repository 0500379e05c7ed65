#include "app/shell/StationShell.h"

#include <chrono>

#include "platform/Clock.h"
#include "platform/Operator.h"
#include "run/RunDriver.h"
#include "run/Station.h"

namespace vq {

DeviceChangeTimer::Effect DeviceChangeTimer::OnDeviceChange(const DeviceEvent& e,
                                                            std::uint64_t nowMs, bool runInProgress,
                                                            bool safeRemoveOn) {
    Effect fx;
    const bool arrival = e.kind == DeviceEvent::Kind::Arrival;
    fx.hideResultWindow = arrival || !safeRemoveOn;
    if (runInProgress)
        return fx;
    fx.disableStart = true;
    fx.armed = true;
    dueAt_ = nowMs + (arrival ? kArrivalDelayMs : kRemovalDelayMs);
    return fx;
}

bool EppReminder::Tick(std::uint64_t nowMs, bool typeC, bool powerReady, Operator* op,
                       const std::function<std::uint64_t()>& now) {
    if (!next_ || nowMs < *next_)
        return false;
    next_ = nowMs + kIntervalMs;
    if (!typeC || powerReady)
        return false;
    Stop();
    if (op)
        op->showMessage({kText, "Error", MessageIcon::Error});
    Start(now ? now() : nowMs);
    return true;
}

StationShell::StationShell(Station& station, RunDriver& driver, Clock& clock)
    : st_(station), driver_(driver), clock_(clock) {
    if (st_.platform().hotplug)
        st_.platform().hotplug->setListener([this](const DeviceEvent& e) { Queue(e); });
    reminder_.Start(clock_.tickMs());
}

StationShell::~StationShell() {
    if (st_.platform().hotplug)
        st_.platform().hotplug->setListener({});
}

void StationShell::Queue(const DeviceEvent& e) {
    {
        std::lock_guard lock(m_);
        events_.push_back(e);
    }
    cv_.notify_one();
}

bool StationShell::Poll() {
    std::deque<DeviceEvent> events;
    {
        std::lock_guard lock(m_);
        events.swap(events_);
    }
    SettingsPanel& panel = st_.panel();
    for (const DeviceEvent& e : events) {
        const auto fx = timer_.OnDeviceChange(e, clock_.tickMs(), panel.inputs().runInProgress,
                                              panel.settings().MPSafeRemove != 0);
        if (fx.hideResultWindow)
            panel.inputs().resultWindowVisible = false;
        if (fx.disableStart)
            panel.panel()["ExecuteBtn"].enabled = false;
    }
    const std::uint64_t now = clock_.tickMs();
    reminder_.Tick(now, panel.settings().EnEPPTypeC != 0, st_.powerControl().ready,
                   st_.platform().op, [this] { return clock_.tickMs(); });
    if (timer_.Due(now)) {
        OnTimer17();
        return true;
    }
    return false;
}

void StationShell::startRun() {
    ++starts_;
    driver_.ExecuteBtnClick();
}

void StationShell::OnTimer17() {
    timer_.Kill();
    st_.DeviceRefresh();
    driver_.Pump();
    SettingsPanel& panel = st_.panel();
    if (panel.settings().EnBarcodeMode != 0) {
        panel.setText("String3Edit", "");
        panel.panel().focus = "String3Edit";
        return;
    }
    if (!panel.inputs().resultWindowVisible) {
        const Control& start = panel.panel()["ExecuteBtn"];
        panel.panel().focus = (start.visible && start.enabled) ? "ExecuteBtn" : "RefreshBtn";
    }
    if (panel.settings().MPAutorun != 0 && st_.autoStartPermission())
        startRun();
}

void StationShell::StartUp() {
    st_.DeviceRefresh();
    driver_.Pump();
    if (st_.panel().settings().MPAutorun != 0 && st_.autoStartPermission())
        startRun();
}

int StationShell::RunAuto(const std::function<bool()>& keepGoing, int maxRuns) {
    const int before = starts_;
    StartUp();
    while (keepGoing() && (maxRuns == 0 || starts_ - before < maxRuns)) {
        if (Poll())
            continue;
        if (timer_.Armed()) {
            clock_.sleepMs(50);  // emulated or real time runs towards the timer
            continue;
        }
        // Idle: wait (in real time) for the next event.
        std::unique_lock lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return !events_.empty(); });
    }
    return starts_ - before;
}

}  // namespace vq
