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

// A thread told where its creator stood starts there, however far a sibling has got; a
// thread that waited for others moves on to their time and never back.
TEST(SimClock, ScaleZeroContinueFromStartsAThreadAtItsCreatorsTime) {
    SimClock c(0);
    c.sleepMs(100);
    const std::int64_t mark = c.threadNs();
    std::thread([&] { c.sleepMs(5000); }).join();  // a sibling runs ahead
    std::int64_t started = 0;
    std::int64_t ended = 0;
    std::thread([&] {
        c.continueFrom(mark);
        started = c.threadNs();
        c.sleepMs(300);
        ended = c.threadNs();
    }).join();
    EXPECT_EQ(started, 100'000'000);
    EXPECT_EQ(ended, 400'000'000);
    c.continueFrom(ended);
    EXPECT_EQ(c.tickMs(), 400u);
    c.continueFrom(mark);
    EXPECT_EQ(c.tickMs(), 400u);
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
