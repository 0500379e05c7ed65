// Emulated time. The scale is real seconds per emulated second:
//   scale 1      real time, for demonstrations;
//   scale 0.001  a 1000 ms wait takes 1 ms; emulated time is real time divided by the
//                scale, so every thread sees one common time line;
//   scale 0      no real waiting at all: each thread has its own time line that moves
//                only when that thread sleeps (deterministic, for tests and benchmarks);
//                a thread's line starts at the latest time any thread has reached.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/Clock.h"

namespace vq::sim {

class SimClock final : public Clock {
  public:
    explicit SimClock(double scale = 0.0);

    double scale() const { return scale_; }

    std::uint64_t tickMs() override;
    std::int64_t perfCounter() override;  // 100 ns units
    std::int64_t perfFrequency() override { return 10'000'000; }
    void sleepMs(std::uint32_t ms) override;
    // At scale 0 the calling thread's own line (not its performance counter, which leaves
    // host work out at other scales); now otherwise.
    std::int64_t threadNs() override { return nowNs(); }
    // At scale 0: a thread that has not used this clock yet starts its line at `ns`
    // instead of at the latest time any thread has reached (a worker begins when its
    // creator started it, not when the busiest of its siblings already is); a thread
    // with a line moves it on to `ns` when that is later. Nothing at other scales.
    void continueFrom(std::int64_t ns) override;

    // Emulated nanoseconds since the clock was made.
    std::int64_t nowNs();
    // The latest emulated time any thread has reached (at scale 0; now otherwise). The
    // devices decide by it whether something that happens at a set time has happened, so
    // a thread whose own line lags behind sees what another thread already waited for.
    std::int64_t latestNs();
    // Moves the calling thread's time on without a real wait (same as sleepMs at scale 0;
    // a real scaled wait otherwise).
    void advanceNs(std::int64_t ns);
    // At a nonzero scale: the calling thread spent `ns` of emulated time (real time over
    // the scale) on host work the emulated machine does not do, such as writing a volume's
    // host folder; the thread's performance counter leaves it out, so a transfer it times
    // shows the emulated device's rate rather than the host's. Nothing at scale 0, where
    // host work takes no emulated time anyway.
    void excludeHostNs(std::int64_t ns);

  private:
    std::int64_t& threadLine();
    std::int64_t& hostNs();

    double scale_;
    std::uint64_t id_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<std::int64_t> highWater_{0};
};

}  // namespace vq::sim
