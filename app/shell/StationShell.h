// The station's shell around a run, shared by both front ends: the device-change timer
// that turns a burst of arrivals and removals into one refresh, the auto-start that
// follows it, and the reminder of the missing power-control board.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/Hotplug.h"

namespace vq {

class Clock;
class Station;
class RunDriver;
class Operator;

// Timer 17: armed 1500 ms after the last arrival or 200 ms after the last removal of a
// disk interface or a volume; one-shot.
class DeviceChangeTimer {
  public:
    static constexpr std::uint64_t kArrivalDelayMs = 1500;
    static constexpr std::uint64_t kRemovalDelayMs = 200;
    // What one device-change event does to the window.
    struct Effect {
        bool hideResultWindow = false;
        bool disableStart = false;
        bool armed = false;
    };
    Effect OnDeviceChange(const DeviceEvent& e, std::uint64_t nowMs, bool runInProgress,
                          bool safeRemoveOn);
    bool Due(std::uint64_t nowMs) const { return dueAt_ && nowMs >= *dueAt_; }
    bool Armed() const { return dueAt_.has_value(); }
    void Kill() { dueAt_.reset(); }
    std::optional<std::uint64_t> dueAt() const { return dueAt_; }

  private:
    std::optional<std::uint64_t> dueAt_;
};

// The 10-second reminder while the type-C mode has no ready power-control board.
class EppReminder {
  public:
    static constexpr std::uint64_t kIntervalMs = 10000;
    static constexpr const char* kText = "Please plus Control EPP Device !!";
    void Start(std::uint64_t nowMs) { next_ = nowMs + kIntervalMs; }
    void Stop() { next_.reset(); }
    bool Running() const { return next_.has_value(); }
    // The timer's handler when due: stops the timer, shows the message (which blocks until
    // the operator closes it) and starts the timer again. Returns whether it showed it.
    bool Tick(std::uint64_t nowMs, bool typeC, bool powerReady, Operator* op,
              const std::function<std::uint64_t()>& now);

  private:
    std::optional<std::uint64_t> next_;
};

class StationShell {
  public:
    StationShell(Station& station, RunDriver& driver, Clock& clock);
    ~StationShell();

    // Events come from any thread; they are queued and handled by Poll.
    void Queue(const DeviceEvent& e);
    // Handles the queued events and the timers on the calling (user-interface) thread.
    // Returns true when it ran a refresh.
    bool Poll();
    // Timer 17: the refresh, the focus, and in auto mode the run.
    void OnTimer17();
    // Start-up: the first refresh (and in auto mode the run it permits).
    void StartUp();

    // Headless auto mode: runs whenever the station is ready, waits for the next set of
    // boards, until `keepGoing` says no or `maxRuns` STARTs were made (0: no limit).
    // Returns the number of STARTs made.
    int RunAuto(const std::function<bool()>& keepGoing, int maxRuns);

    const DeviceChangeTimer& timer() const { return timer_; }
    int starts() const { return starts_; }

  private:
    void startRun();

    Station& st_;
    RunDriver& driver_;
    Clock& clock_;
    DeviceChangeTimer timer_;
    EppReminder reminder_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<DeviceEvent> events_;
    int starts_ = 0;
};

}  // namespace vq
