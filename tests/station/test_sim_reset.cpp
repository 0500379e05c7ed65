// A bridge board that leaves the bus and comes back, as the machine shows it: removal
// and arrival events, the identity it now holds, new device records, stale handles; and
// port power and safe removal taking it away.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "base/Bytes.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"

namespace vq::sim {
namespace {

constexpr std::uint8_t kReset[] = {0xFF, 0x04, 0x26, 0x56, 0x51, 0, 0, 0, 0, 0, 0, 0};

ScsiResult Send(ScsiDevice& dev, std::span<const std::uint8_t> cdb, DataDirection dir,
                std::vector<std::uint8_t>& data) {
    ScsiRequest r;
    r.cdb = cdb;
    r.direction = dir;
    r.data = data;
    r.timeoutSeconds = 50;
    return dev.execute(r);
}

struct Machine {
    SimPlatform sim;
    std::vector<std::shared_ptr<BridgeFunction>> boards;
    std::vector<DeviceEvent> events;
    std::mutex m;

    explicit Machine(int count) {
        sim.station().addRootHub("root", static_cast<std::uint32_t>(count));
        for (int i = 0; i < count; ++i) {
            BridgeConfig cfg;
            cfg.kind = 14;
            cfg.defaultIdentity.serial = "SN" + std::to_string(i + 1);
            cfg.timing.resetDelayMs = 1000;
            auto added = sim.addBridge(cfg);
            boards.push_back(std::make_shared<BridgeFunction>(added.bridge, false));
            sim.station().plug("root", static_cast<std::uint32_t>(i + 1), boards.back(),
                               PortSpeed::High);
            sim.station().addVolume({static_cast<char>('E' + i), DriveType::Fixed, false,
                                     added.deviceNumber, boards.back(), 1 << 20, ""});
        }
        sim.station().setListener([this](const DeviceEvent& e) {
            std::lock_guard lock(m);
            events.push_back(e);
        });
    }
    std::string path(int i) {
        return sim.station().storagePathOf(*boards[static_cast<std::size_t>(i)]);
    }
    std::vector<std::string> eventLines() {
        std::lock_guard lock(m);
        std::vector<std::string> out;
        for (const auto& e : events) {
            out.push_back(std::string(e.kind == DeviceEvent::Kind::Arrival ? "+" : "-") +
                          (e.type == DeviceEvent::Type::Volume ? "volume " : "interface ") +
                          e.name);
        }
        return out;
    }
};

// A descriptor-layout configuration block with this VID, PID and serial.
std::vector<std::uint8_t> Config(std::uint16_t vid, std::uint16_t pid, const std::string& serial) {
    std::vector<std::uint8_t> b(128, 0);
    b[0] = 0x12;
    b[1] = 0x01;
    PutLE16(b, 8, vid);
    PutLE16(b, 10, pid);
    b[96] = static_cast<std::uint8_t>(2 + 2 * serial.size());
    b[97] = 3;
    for (std::size_t i = 0; i < serial.size(); ++i)
        b[98 + 2 * i] = static_cast<std::uint8_t>(serial[i]);
    return b;
}

TEST(SimReset, BoardReturnsWithTheIdentityItNowHoldsUnderANewRecord) {
    Machine m(1);
    const std::string before = m.path(0);
    auto handle = m.sim.scsi().open(before);
    ASSERT_NE(handle, nullptr);
    auto cfg = Config(0x1234, 0x5678, "NEW0001");
    const std::uint8_t write[] = {0xDF, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0xFB};
    ASSERT_EQ(Send(*handle, write, DataDirection::Out, cfg).scsiStatus, 0);
    std::vector<std::uint8_t> none;
    ASSERT_TRUE(Send(*handle, kReset, DataDirection::None, none).callSucceeded);

    // Gone at once: removal events without a look at the bus, the old handle is stale.
    EXPECT_EQ(m.eventLines(), (std::vector<std::string>{"-volume E", "-interface " + before}));
    EXPECT_EQ(Send(*handle, write, DataDirection::Out, cfg).lastError, 1167u);
    EXPECT_EQ(m.sim.scsi().open(before), nullptr);
    EXPECT_TRUE(m.sim.station().diskInterfaces()->empty());

    m.sim.clock().sleepMs(1000);
    const auto disks = *m.sim.station().diskInterfaces();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_NE(disks[0].interfacePath, before);
    EXPECT_NE(disks[0].interfacePath.find("new0001"), std::string::npos);
    EXPECT_NE(disks[0].parentInstanceId.find("vid_1234&pid_5678\\new0001"), std::string::npos);
    const auto lines = m.eventLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "+interface " + disks[0].interfacePath);
    EXPECT_EQ(lines[3], "+volume E");
    EXPECT_NE(m.sim.scsi().open(disks[0].interfacePath), nullptr);
}

TEST(SimReset, ReturnUnseenBetweenTwoLooksIsStillAnArrival) {
    Machine m(1);
    m.sim.station().setListener({});
    const std::string before = m.path(0);
    const auto nodeBefore = m.sim.station().nodeOf(*m.boards[0]);
    auto handle = m.sim.scsi().open(before);
    std::vector<std::uint8_t> none;
    ASSERT_TRUE(Send(*handle, kReset, DataDirection::None, none).callSucceeded);
    m.sim.clock().sleepMs(1000);
    m.sim.station().setListener([&m](const DeviceEvent& e) { m.events.push_back(e); });
    const auto disks = *m.sim.station().diskInterfaces();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_NE(m.sim.station().nodeOf(*m.boards[0]), nodeBefore);
    // The removal went while nobody listened; the look sends the arrival of the new record.
    const auto lines = m.eventLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "+interface " + disks[0].interfacePath);
    EXPECT_EQ(Send(*handle, kReset, DataDirection::None, none).lastError, 1167u);
}

// 16 boards reset from 16 threads at once all come back, each with its own events.
TEST(SimReset, SixteenBoardsFromSixteenThreads) {
    Machine m(16);
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&m, i] {
            auto h = m.sim.scsi().open(m.path(i));
            std::vector<std::uint8_t> none;
            if (h)
                Send(*h, kReset, DataDirection::None, none);
            for (int k = 0; k < 20 && m.path(i).empty(); ++k)
                m.sim.clock().sleepMs(100);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(m.sim.station().diskInterfaces()->size(), 16u);
    const auto lines = m.eventLines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l[0] == '+'; }),
        32);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l[0] == '-'; }),
        32);
}

TEST(SimPower, PortPowerAndEjectTakeTheBoardAway) {
    Machine m(1);
    auto& st = m.sim.station();
    const std::string path = m.path(0);
    auto handle = m.sim.scsi().open("\\\\.\\PhysicalDrive1");
    ASSERT_NE(handle, nullptr);
    st.setHubPower("root", false);
    EXPECT_TRUE(st.diskInterfaces()->empty());
    EXPECT_EQ(m.sim.scsi().open("\\\\.\\PhysicalDrive1"), nullptr);
    std::vector<std::uint8_t> none;
    EXPECT_EQ(Send(*handle, kReset, DataDirection::None, none).lastError, 1167u);
    st.setHubPower("root", true);
    EXPECT_EQ(st.diskInterfaces()->size(), 1u);
    EXPECT_EQ(m.boards[0]->bridge()->resets(), 0u);  // a power-on boot, not a reset

    // Ejected: away until the port is power-cycled.
    const auto node = st.nodeOf(*m.boards[0]);
    ASSERT_TRUE(node);
    EXPECT_TRUE(st.requestEject(*node).callSucceeded);
    EXPECT_TRUE(st.diskInterfaces()->empty());
    EXPECT_EQ(m.sim.scsi().open("\\\\.\\PhysicalDrive1"), nullptr);
    m.sim.clock().sleepMs(5000);
    EXPECT_TRUE(st.diskInterfaces()->empty());
    st.setHubPower("root", false);
    st.setHubPower("root", true);
    EXPECT_EQ(st.diskInterfaces()->size(), 1u);
    EXPECT_EQ(m.path(0), path);
}

// A board that vanished mid-transfer, or was ejected, comes back when it is unplugged and
// plugged in again, with a full boot.
TEST(SimPower, ReplugBringsBackAVanishedOrEjectedBoard) {
    for (const bool eject : {false, true}) {
        SCOPED_TRACE(eject ? "ejected" : "vanished");
        Machine m(1);
        auto& st = m.sim.station();
        if (eject) {
            ASSERT_TRUE(st.requestEject(*st.nodeOf(*m.boards[0])).callSucceeded);
        } else {
            FaultSpec f;
            f.type = FaultSpec::Type::VanishMidTransfer;
            f.command = "Read10";
            m.boards[0]->bridge()->addFault(f);
            auto h = m.sim.scsi().open(m.path(0));
            const std::uint8_t read[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
            std::vector<std::uint8_t> buf(512);
            EXPECT_EQ(Send(*h, read, DataDirection::In, buf).lastError, 1167u);
        }
        m.sim.clock().sleepMs(5000);
        EXPECT_TRUE(st.diskInterfaces()->empty());
        ASSERT_TRUE(st.unplug("root", 1));
        ASSERT_TRUE(st.plug("root", 1, m.boards[0], PortSpeed::High));
        EXPECT_EQ(st.diskInterfaces()->size(), 1u);
        EXPECT_NE(m.sim.scsi().open(m.path(0)), nullptr);
    }
}

}  // namespace
}  // namespace vq::sim
