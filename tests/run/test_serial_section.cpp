#include "run/SerialSection.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/sim/SimClock.h"

namespace vq {
namespace {

// The second holder starts its own line at 0, yet takes the lock only when the first let
// go (2.1 s); the held time of both adds up.
TEST(SerialSection, NextHolderContinuesFromTheLastReleaseAndHeldTimeAddsUp) {
    sim::SimClock clock(0);
    SerialSection section(clock);
    std::thread([&] {
        clock.sleepMs(100);
        std::lock_guard hold(section);
        clock.sleepMs(2000);
    }).join();
    std::int64_t taken = 0;
    std::thread([&] {
        clock.continueFrom(0);
        std::lock_guard hold(section);
        taken = clock.threadNs();
        clock.sleepMs(500);
    }).join();
    EXPECT_EQ(taken, 2'100'000'000);
    EXPECT_EQ(section.heldNs(), 2'500'000'000);
}

}  // namespace
}  // namespace vq
