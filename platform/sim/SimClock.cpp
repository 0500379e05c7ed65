#include "platform/sim/SimClock.h"

#include <algorithm>
#include <thread>

namespace vq::sim {

namespace {
std::atomic<std::uint64_t> g_nextId{1};

struct ThreadLine {
    std::uint64_t clockId = 0;
    std::int64_t ns = 0;
};
thread_local ThreadLine t_line;
thread_local ThreadLine t_host;  // host work left out of the performance counter
}  // namespace

SimClock::SimClock(double scale)
    : scale_(scale < 0 ? 0 : scale),
      id_(g_nextId.fetch_add(1)),
      start_(std::chrono::steady_clock::now()) {}

std::int64_t& SimClock::threadLine() {
    if (t_line.clockId != id_) {
        t_line.clockId = id_;
        t_line.ns = highWater_.load();
    }
    return t_line.ns;
}

std::int64_t& SimClock::hostNs() {
    if (t_host.clockId != id_) {
        t_host.clockId = id_;
        t_host.ns = 0;
    }
    return t_host.ns;
}

void SimClock::excludeHostNs(std::int64_t ns) {
    if (scale_ > 0 && ns > 0)
        hostNs() += ns;
}

std::int64_t SimClock::nowNs() {
    if (scale_ > 0) {
        const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - start_)
                              .count();
        return static_cast<std::int64_t>(static_cast<double>(real) / scale_);
    }
    return threadLine();
}

void SimClock::advanceNs(std::int64_t ns) {
    if (ns <= 0)
        return;
    if (scale_ > 0) {
        std::this_thread::sleep_for(
            std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(ns) * scale_)));
        return;
    }
    std::int64_t& line = threadLine();
    line += ns;
    std::int64_t seen = highWater_.load();
    while (seen < line && !highWater_.compare_exchange_weak(seen, line)) {
    }
    std::this_thread::yield();  // polling loops must still let other threads run
}

std::int64_t SimClock::latestNs() {
    const std::int64_t now = nowNs();
    return scale_ > 0 ? now : std::max(now, highWater_.load());
}

void SimClock::continueFrom(std::int64_t ns) {
    if (scale_ > 0)
        return;
    if (t_line.clockId != id_) {
        t_line.clockId = id_;
        t_line.ns = ns;
    } else {
        t_line.ns = std::max(t_line.ns, ns);
    }
    std::int64_t seen = highWater_.load();
    while (seen < t_line.ns && !highWater_.compare_exchange_weak(seen, t_line.ns)) {
    }
}

std::uint64_t SimClock::tickMs() {
    return static_cast<std::uint64_t>(nowNs() / 1'000'000);
}

std::int64_t SimClock::perfCounter() {
    return (nowNs() - (scale_ > 0 ? hostNs() : 0)) / 100;
}

void SimClock::sleepMs(std::uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    advanceNs(static_cast<std::int64_t>(ms) * 1'000'000);
}

}  // namespace vq::sim
