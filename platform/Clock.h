// Time as the station sees it. All waiting, polling and measuring goes through a Clock
// so the emulator can run a production run in a fraction of real time.
#pragma once

#include <cstdint>

namespace vq {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds of steady time since an arbitrary start (like GetTickCount64).
    virtual std::uint64_t tickMs() = 0;
    // High-resolution counter and its frequency in counts per second.
    virtual std::int64_t perfCounter() = 0;
    virtual std::int64_t perfFrequency() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;

    // Nanoseconds of the calling thread's time, from the performance counter.
    virtual std::int64_t threadNs();
    // A thread that another one started, or that waited for others to end, continues no
    // earlier than `ns` (their threadNs): it takes up the time of the work it follows. Real
    // time is one line for every thread, so only a clock that keeps a line per thread
    // does anything here.
    virtual void continueFrom(std::int64_t /*ns*/) {}
};

// Real steady time from the standard library; used by the hardware platforms. A wait scale
// below 1 shortens every sleep by that factor while measured time stays real: a test rig
// whose devices come back in a fraction of a bench's time need not sit out a bench's waits.
class SteadyClock final : public Clock {
  public:
    explicit SteadyClock(double waitScale = 1.0) : waitScale_(waitScale) {}
    std::uint64_t tickMs() override;
    std::int64_t perfCounter() override;
    std::int64_t perfFrequency() override;
    void sleepMs(std::uint32_t ms) override;

  private:
    double waitScale_;
};

}  // namespace vq
