#include "platform/sim/SimClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vq::sim {
namespace {

using std::chrono::steady_clock;

TEST(SimClock, ScaleZeroAdvancesOnlyBySleepsWithoutRealWaiting) {
    SimClock c(0);
    const auto real0 = steady_clock::now();
    EXPECT_EQ(c.tickMs(), 0u);
    c.sleepMs(1000);
    c.sleepMs(500);
    EXPECT_EQ(c.tickMs(), 1500u);
    EXPECT_EQ(c.perfCounter(), 1500 * 10'000);
    EXPECT_EQ(c.perfFrequency(), 10'000'000);
    EXPECT_LT(steady_clock::now() - real0, std::chrono::milliseconds(200));
}

TEST(SimClock, ScaleZeroThreadsKeepTheirOwnLinesFromTheLatestTime) {
    SimClock c(0);
    c.sleepMs(2000);
    std::uint64_t started = 0, ended = 0;
    std::thread([&] {
        started = c.tickMs();
        c.sleepMs(300);
        ended = c.tickMs();
    }).join();
    EXPECT_EQ(started, 2000u);  // a new thread starts where time has got to
    EXPECT_EQ(ended, 2300u);
    EXPECT_EQ(c.tickMs(), 2000u);  // this thread's own line did not move
    c.sleepMs(1);
    EXPECT_EQ(c.tickMs(), 2001u);
}

TEST(SimClock, ScaledClockTurnsASecondIntoAMillisecond) {
    SimClock c(0.001);
    const auto real0 = steady_clock::now();
    const auto t0 = c.tickMs();
    c.sleepMs(1000);
    const auto t1 = c.tickMs();
    const auto real = steady_clock::now() - real0;
    EXPECT_GE(t1 - t0, 1000u);
    EXPECT_GE(real, std::chrono::microseconds(1000));
    EXPECT_LT(real, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace vq::sim
