// The locks a run holds on purpose so that one port at a time does something (the port
// lock, the R/W test lock). Each keeps, on the station's clock, how long it was held in
// all, for the run's parallel-efficiency figures, and hands its time on: the next holder
// continues from the moment the last one let go, so on a clock with a time line per
// thread the sections follow one another as they do on the real station.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace vq {

class Clock;

class SerialSection {
  public:
    explicit SerialSection(Clock& clock) : clock_(clock) {}
    SerialSection(const SerialSection&) = delete;
    SerialSection& operator=(const SerialSection&) = delete;

    void lock();
    void unlock();

    // Nanoseconds held since the clock was made (on the holders' time lines).
    std::int64_t heldNs() const { return held_.load(std::memory_order_relaxed); }

  private:
    std::mutex m_;
    Clock& clock_;
    // Both under m_: when the current holder took the lock, when the last one let go.
    std::int64_t since_ = 0;
    std::int64_t released_ = 0;
    std::atomic<std::int64_t> held_{0};
};

}  // namespace vq
