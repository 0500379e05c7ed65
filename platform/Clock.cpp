#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace vq {

namespace {
const auto kStart = std::chrono::steady_clock::now();
}

std::int64_t Clock::threadNs() {
    const std::int64_t count = perfCounter();
    const std::int64_t frequency = perfFrequency();
    if (frequency <= 0)
        return 0;
    constexpr std::int64_t kNsPerSecond = 1'000'000'000;
    return count / frequency * kNsPerSecond + count % frequency * kNsPerSecond / frequency;
}

std::uint64_t SteadyClock::tickMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - kStart)
                                          .count());
}

std::int64_t SteadyClock::perfCounter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                kStart)
        .count();
}

std::int64_t SteadyClock::perfFrequency() {
    return 1'000'000'000;
}

void SteadyClock::sleepMs(std::uint32_t ms) {
    if (waitScale_ == 1.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms * waitScale_));
}

}  // namespace vq
