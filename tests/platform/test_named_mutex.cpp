#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/Host.h"
#include "platform/NamedMutex.h"
#include "platform/sim/SimNamedMutex.h"

namespace vq {
namespace {

int RunProbe(const std::string& name) {
    const auto probe = HostProgramFolder() / "vq_mutex_probe";
    const std::string cmd = "\"" + probe.string() + "\" " + name;
    const int rc = std::system(cmd.c_str());
#ifdef _WIN32
    return rc;
#else
    return rc >= 0 ? (rc >> 8) & 0xFF : -1;  // wait status: exit code in the second byte
#endif
}

TEST(NamedMutex, HostMutexExcludesASecondProcess) {
    const std::string name = "VQTestMutex" + std::to_string(std::rand());
    auto provider = MakeHostNamedMutexProvider();
    auto m = provider->open(name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(RunProbe(name), 0) << "free mutex must be taken by the probe";
    m->lock();
    m->lock();  // recursive for the owner
    m->unlock();
    EXPECT_EQ(RunProbe(name), 1) << "held mutex must exclude the probe";
    m->unlock();
    EXPECT_EQ(RunProbe(name), 0);
}

TEST(NamedMutex, HostMutexExcludesAnotherThreadOfThisProcess) {
    auto provider = MakeHostNamedMutexProvider();
    auto a = provider->open("VQTestThreads");
    auto b = provider->open("VQTestThreads");
    ASSERT_TRUE(a && b);
    a->lock();
    bool other = true;
    std::thread([&] { other = b->tryLock(); }).join();
    EXPECT_FALSE(other);
    a->unlock();
    std::thread([&] {
        other = b->tryLock();
        if (other)
            b->unlock();
    }).join();
    EXPECT_TRUE(other);
}

TEST(NamedMutex, SimRegistrySharesOneMutexPerName) {
    sim::SimNamedMutexRegistry reg;
    auto a = reg.open("VQUSBAcess");
    auto b = reg.open("VQUSBAcess");
    auto other = reg.open("Other");
    a->lock();
    EXPECT_TRUE(a->tryLock());  // recursive
    a->unlock();
    std::atomic<bool> sameName{true}, otherName{false};
    std::thread([&] {
        sameName = b->tryLock();
        otherName = other->tryLock();
        if (otherName)
            other->unlock();
    }).join();
    EXPECT_FALSE(sameName);
    EXPECT_TRUE(otherName);
    a->unlock();
    std::thread([&] {
        sameName = b->tryLock();
        if (sameName)
            b->unlock();
    }).join();
    EXPECT_TRUE(sameName);
}

}  // namespace
}  // namespace vq
