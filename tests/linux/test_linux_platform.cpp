// The Linux platform as the command line builds it, on the recorded sysfs tree, and the
// check that refuses to show an empty station when the SCSI nodes are out of reach.
#include <gtest/gtest.h>

#include <set>

#include "platform/linux/LinuxPlatform.h"

namespace vq {
namespace {

TEST(LinuxPlatform, OffersPassThroughUsbAndStorageFromSysfs) {
    LinuxPlatformOptions o;
    o.sysfsRoot = VQ_TEST_SYSFS;
    o.devRoot = "/nonexistent-dev";
    o.home = "/tmp";
    LinuxPlatform host(o);
    Platform& p = host.platform();
    EXPECT_EQ(p.name, "linux");
    EXPECT_EQ(p.home, "/tmp");
    EXPECT_TRUE(p.clock && p.mutexes && p.diagnostics && p.scsi && p.storage && p.usb);
    EXPECT_TRUE(p.removal && p.hotplug && p.volumes && p.disks && p.files);
    EXPECT_EQ(p.usb->hubInterfacePaths()->size(), 3u);
    // The USB disks and the optical drive; no sg node of the folder (it does not exist).
    EXPECT_EQ(host.scsiNodes(),
              (std::vector<std::string>{"/nonexistent-dev/sdc", "/nonexistent-dev/sg1",
                                        "/nonexistent-dev/sg2"}));
}

TEST(LinuxPlatform, WaitScaleShortensTheStationsSleepsButNotMeasuredTime) {
    LinuxPlatformOptions o;
    o.sysfsRoot = VQ_TEST_SYSFS;
    o.home = "/tmp";
    o.waitScale = 0.0;
    LinuxPlatform host(o);
    Clock& clock = *host.platform().clock;
    const std::uint64_t before = clock.tickMs();
    const std::int64_t counted = clock.perfCounter();
    clock.sleepMs(60'000);
    EXPECT_LT(clock.tickMs() - before, 10'000u);  // a minute's wait took no real time
    EXPECT_EQ(clock.perfFrequency(), 1'000'000'000);
    EXPECT_GE(clock.perfCounter(), counted);
}

TEST(LinuxPlatform, NodesWithoutReadAndWriteRightsAreNamed) {
    const std::vector<std::string> nodes = {"/dev/sg0", "/dev/sg1", "/dev/sdb"};
    const struct {
        const char* name;
        bool root;
        std::set<std::string> allowed;
        std::string refused;
    } rows[] = {
        {"root needs no rights", true, {}, ""},
        {"disk group member", false, {"/dev/sg0", "/dev/sg1", "/dev/sdb"}, ""},
        {"no rights at all", false, {}, "/dev/sg0"},
        {"one node out of reach", false, {"/dev/sg0", "/dev/sg1"}, "/dev/sdb"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(FirstNodeWithoutAccess(
                      r.root, nodes, [&r](const std::string& n) { return r.allowed.contains(n); }),
                  r.refused);
    }
    EXPECT_EQ(FirstNodeWithoutAccess(false, {}, [](const std::string&) { return false; }), "");
    EXPECT_STREQ(kNeedDiskAccess, "run as root or add yourself to the disk group");
}

}  // namespace
}  // namespace vq
