// Discovery and the hub walk against the emulated station machine.
#include "devices/Discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <variant>

#include "base/Format.h"
#include "base/Text.h"
#include "platform/sim/SimScenario.h"
#include "tests/common/VolumeServiceStub.h"
#include "tests/devices/StationRig.h"

namespace vq {
namespace {

using sim::PortSpeed;
using test::StationRig;

class DiscoveryTest : public ::testing::Test {
  protected:
    StationRig rig;
    bridge::Transport transport{rig.sim.scsi(), rig.sim.clock()};
    std::unique_ptr<DeviceTable> devices = std::make_unique<DeviceTable>();
    PortTable ports{};
    PortRecord power{};
    Discovery d{rig.platform(), transport, *devices, ports, power};

    std::vector<std::string> serialsBySlot() const {
        std::vector<std::string> out;
        for (const auto& p : ports)
            out.push_back(p.present ? p.serial : "-");
        return out;
    }
};

TEST_F(DiscoveryTest, SlotsFollowTheWalkOrderAcrossRootHubsAndNestedHubs) {
    rig.st().addRootHub("r1", 4);
    rig.st().addHub("r1", 2, "h1", 4, PortSpeed::Super);
    rig.st().addHub("h1", 4, "h2", 2, PortSpeed::Super);
    rig.st().addRootHub("aux", 2, "vendor_xhc");  // not a root hub the walk knows
    rig.st().addRootHub("r2", 2, "root_hub20");
    rig.bridge("r2", 2, "E");
    rig.bridge("r1", 4, "D");
    rig.bridge("h2", 2, "C2");
    rig.bridge("h1", 3, "C");
    rig.bridge("h1", 1, "B");
    rig.bridge("r1", 1, "A");
    rig.bridge("aux", 1, "X");

    EXPECT_EQ(d.ScanBridges(false), 7u);
    // r1.1, then hub h1 (port 1, 3 free gap at 2, hub h2 on 4), then r1.4, then r2.2.
    const std::vector<std::string> expected = {"A", "B", "C", "C2", "D", "E", "-", "-",
                                               "-", "-", "-", "-",  "-", "-", "-", "-"};
    EXPECT_EQ(serialsBySlot(), expected);
    const int hubPorts[] = {1, 1, 3, 2, 4, 2};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ports[static_cast<std::size_t>(i)].sequenceNumber, i + 1);
        EXPECT_EQ(ports[static_cast<std::size_t>(i)].hubPortNumber, hubPorts[i]) << i;
        EXPECT_FALSE(ports[static_cast<std::size_t>(i)].usbInstanceId.empty());
        EXPECT_FALSE(ports[static_cast<std::size_t>(i)].driverKey.empty());
    }
    EXPECT_EQ(ports[0].vid, 0x7E8A);
    EXPECT_EQ(ports[0].pid, 0x2429);
    EXPECT_EQ(ports[0].product, "Bridge A");
    EXPECT_EQ(ports[0].manufacturer, "Velmora");
    EXPECT_EQ(ports[1].hubPath.rfind("\\\\.\\", 0), 0u) << ports[1].hubPath;
    EXPECT_NE(ports[0].hubPath.find("root_hub30"), std::string::npos);
    EXPECT_NE(ports[5].hubPath.find("root_hub20"), std::string::npos);
    EXPECT_TRUE(rig.op.messages().empty());
}

TEST_F(DiscoveryTest, TheSeventeenthDeviceGetsNoSlotAndOneMessage) {
    rig.st().addRootHub("r", 3);
    rig.st().addHub("r", 1, "h1", 10, PortSpeed::Super);
    rig.st().addHub("r", 2, "h2", 10, PortSpeed::Super);
    for (std::uint32_t p = 1; p <= 10; ++p)
        rig.bridge("h1", p, Format("A%02u", p));
    for (std::uint32_t p = 1; p <= 7; ++p)
        rig.bridge("h2", p, Format("B%02u", p));

    d.ScanBridges(false);
    EXPECT_EQ(rig.messages(),
              std::vector<std::string>{"Error|Error: Port index exceeds maximum value 16."});
    EXPECT_EQ(rig.op.messages()[0].icon, MessageIcon::Error);
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        ASSERT_EQ(ports[i].present, 1) << i;
        EXPECT_EQ(ports[i].sequenceNumber, static_cast<int>(i) + 1);
    }
    EXPECT_EQ(ports[9].serial, "A10");
    EXPECT_EQ(ports[15].serial, "B06");
}

TEST_F(DiscoveryTest, DevicesWithoutSerialOrChipLoseTheirSlotOthersKeepIt) {
    rig.st().addRootHub("r", 6);
    rig.bridge("r", 1, "A");
    rig.plain("r", 2, std::nullopt);  // no serial string: no slot
    rig.plain("r", 3, "MOUSE1");      // not a storage device: keeps its slot
    rig.st().plug("r", 4, std::make_shared<test::SilentDisk>("SILENT"), PortSpeed::High);
    rig.bridge("r", 5, "B");

    EXPECT_EQ(d.ScanBridges(false), 3u);  // three disks, one of them without a chip
    const std::vector<std::string> expected = {"A", "MOUSE1", "B", "-", "-", "-", "-", "-",
                                               "-", "-",      "-", "-", "-", "-", "-", "-"};
    EXPECT_EQ(serialsBySlot(), expected);
    EXPECT_EQ(ports[1].vid, 0x046D);
    EXPECT_EQ(ports[1].chipKind, 0);
    EXPECT_EQ(ports[2].hubPortNumber, 5);
    EXPECT_EQ(ports[2].sequenceNumber, 3);
    // A cleared slot is zero through and through.
    EXPECT_TRUE(ports[3].driverKey.empty());
    EXPECT_TRUE(ports[3].usbInstanceId.empty());
}

TEST_F(DiscoveryTest, PowerControlBoardTakesItsOwnRecordOnlyInTypeCMode) {
    for (bool typeC : {false, true}) {
        SCOPED_TRACE(typeC);
        StationRig r;
        bridge::Transport tr{r.sim.scsi(), r.sim.clock()};
        auto table = std::make_unique<DeviceTable>();
        PortTable slots{};
        PortRecord control{};
        Discovery disc{r.platform(), tr, *table, slots, control};
        disc.setTypeC(typeC);
        r.st().addRootHub("r", 3);
        r.bridge("r", 1, StationRig::Config("7E8A574290001", 6));
        r.bridge("r", 2, "000000000601");
        disc.ScanBridges(false);
        if (typeC) {
            EXPECT_EQ(control.present, 1);
            EXPECT_EQ(control.serial, "7E8A574290001");
            EXPECT_EQ(control.hubPortNumber, 1);
            EXPECT_EQ(slots[0].serial, "000000000601");
            EXPECT_EQ(slots[0].sequenceNumber, 1);
            EXPECT_EQ(slots[1].present, 0);
        } else {
            EXPECT_EQ(control.present, 0);
            EXPECT_EQ(slots[0].serial, "7E8A574290001");
            EXPECT_EQ(slots[1].serial, "000000000601");
        }
        // A board that has gone leaves its record at the next scan.
        r.st().unplug("r", 1);
        disc.ScanBridges(false);
        EXPECT_EQ(control.present, 0);
        EXPECT_EQ(slots[0].serial, "000000000601");
    }
}

TEST_F(DiscoveryTest, EntriesCarryPathsPresenceIdentifyAndDeviceNumbers) {
    rig.st().addRootHub("r", 3);
    sim::BridgeConfig two = StationRig::Config("TWO", 14);
    two.master->model = "Master Disk";
    two.slave = sim::DriveConfig{};
    two.slave->packet = true;
    two.slave->model = "Slave Optical";
    rig.bridge("r", 1, two);
    sim::BridgeConfig none = StationRig::Config("NONE", 14);
    none.master.reset();
    rig.bridge("r", 2, none);
    rig.bridge("r", 3, StationRig::Config("UAS", 19), {}, PortSpeed::Super, true);

    std::uint32_t count = kDeviceTableSize;
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    ASSERT_EQ(count, 3u);
    const DeviceEntry& a = (*devices)[0];
    EXPECT_NE(a.interfacePath.find("usbstor"), std::string::npos);
    EXPECT_EQ(a.uasAttached, 0u);
    EXPECT_EQ(a.masterPresent, 1u);
    EXPECT_EQ(a.masterPacket, 0u);
    EXPECT_EQ(a.slavePresent, 1u);
    EXPECT_EQ(a.slavePacket, 1u);
    // IDENTIFY words 27-46: the model, two characters a word, high byte first.
    EXPECT_EQ(a.identify[0][54], 'a');
    EXPECT_EQ(a.identify[0][55], 'M');
    EXPECT_EQ(a.identify[1][54], 'l');
    EXPECT_EQ(a.identify[1][55], 'S');
    EXPECT_EQ(a.deviceNumber.deviceNumber, 1u);
    EXPECT_NE(a.parentNode, 0u);
    EXPECT_NE(a.diskNode, 0u);
    EXPECT_EQ(a.parentDeviceId, ToLower(a.parentDeviceId));
    EXPECT_NE(a.parentDeviceId.find("two"), std::string::npos);

    const DeviceEntry& b = (*devices)[1];
    EXPECT_EQ(b.masterPresent, 0u);
    EXPECT_EQ(b.slavePresent, 0u);
    EXPECT_EQ(b.deviceNumber.deviceNumber, 2u);

    const DeviceEntry& c = (*devices)[2];
    EXPECT_EQ(c.uasAttached, 1u);
    EXPECT_NE(c.interfacePath.find("scsi"), std::string::npos);

    // IdentifyThroughPath: with a slave present the buffer ends with the slave's data.
    std::array<std::uint8_t, 512> id{};
    EXPECT_TRUE(d.IdentifyThroughPath(a.interfacePath, id, false));
    EXPECT_EQ(id, a.identify[1]);
    EXPECT_FALSE(d.IdentifyThroughPath("\\\\?\\usbstor#nothing", id, false));
    EXPECT_TRUE(d.IdentifyThroughPath(c.interfacePath, id, true));
    EXPECT_EQ(id, c.identify[0]);
}

TEST_F(DiscoveryTest, TheTableIsNeverOverrun) {
    rig.st().addRootHub("r", 5);
    for (std::uint32_t p = 1; p <= 5; ++p)
        rig.bridge("r", p, Format("S%u", p));
    std::uint32_t count = 3;
    (*devices)[3].interfacePath = "untouched";
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ((*devices)[3].interfacePath, "untouched");

    // Optical entries appended behind a nearly full table fill it and stop.
    StationRig r;
    bridge::Transport tr{r.sim.scsi(), r.sim.clock()};
    auto table = std::make_unique<DeviceTable>();
    PortTable slots{};
    PortRecord control{};
    Discovery disc{r.platform(), tr, *table, slots, control};
    r.st().addRootHub("r", 3);
    for (std::uint32_t p = 1; p <= 3; ++p) {
        sim::BridgeConfig c = StationRig::Config(Format("CD%u", p), 14);
        c.master->packet = true;
        r.bridge("r", p, c);
    }
    std::uint32_t total = kDeviceTableSize - 1;
    disc.ScanOpticalInterfaces(kDeviceTableSize - 1, &total);
    EXPECT_EQ(total, kDeviceTableSize);
    EXPECT_NE((*table)[kDeviceTableSize - 1].interfacePath.find("cdrom"), std::string::npos);
}

TEST_F(DiscoveryTest, OpticalDevicesOnlyWithSupportOdd) {
    rig.st().addRootHub("r", 2);
    rig.bridge("r", 1, "DISK");
    sim::BridgeConfig c = StationRig::Config("CDROM", 14);
    c.master->packet = true;
    auto cd = rig.bridge("r", 2, c, {{'R', 10}});

    EXPECT_EQ(d.ScanBridges(false), 1u);
    EXPECT_EQ(ports[1].serial, "CDROM");  // not storage the scan knows: the slot stays
    cd->bridge()->clearTrace();

    EXPECT_EQ(d.ScanBridges(true), 2u);
    const DeviceEntry& e = (*devices)[1];
    EXPECT_NE(e.interfacePath.find("cdrom"), std::string::npos);
    EXPECT_NE(e.parentDeviceId.find("cdrom"), std::string::npos);
    EXPECT_EQ(e.masterPresent, 0u);  // no presence register is read for optical devices
    EXPECT_TRUE(e.masterLetters.empty());
    int service56 = 0;
    for (const auto& t : cd->bridge()->trace())
        service56 += t.kind == sim::CommandKind::Service56 ? 1 : 0;
    EXPECT_EQ(service56, 1);
}

TEST_F(DiscoveryTest, DriveLettersInOrderWithoutSystemOrRemoteDrives) {
    rig.st().addRootHub("r", 2);
    auto a = rig.bridge("r", 1, "A", {{'F', 10}, {'D', 10}, {'E', 10}});
    auto b = rig.bridge("r", 2, "B", {{'H', 10}});
    const std::uint32_t numberB = b->diskNumber();
    // The system drive on B's disk, and a network drive that claims B's disk number.
    rig.st().setSystemDrive('G');
    rig.st().addVolume({'G', DriveType::Fixed, true, numberB, b, 1u << 30, ""});
    rig.st().addVolume({'Z', DriveType::Remote, false, numberB, b, 1u << 30, ""});

    std::uint32_t count = kDeviceTableSize;
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    EXPECT_EQ((*devices)[0].masterLetters, "DEF");
    EXPECT_EQ((*devices)[0].slaveLetters, "");
    EXPECT_EQ((*devices)[1].masterLetters, "H");
    (void)a;
}

TEST_F(DiscoveryTest, TwoDrivesBindToTheMasterWhoseIdentifyMatches) {
    rig.st().addRootHub("r", 1);
    sim::BridgeConfig two = StationRig::Config("TWO", 14);
    two.slave = sim::DriveConfig{};
    two.slave->model = "Slave Disk";
    two.slave->serial = "SLAVE";
    rig.bridge("r", 1, two, {{'K', 10}});
    std::uint32_t count = kDeviceTableSize;
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    EXPECT_EQ((*devices)[0].masterLetters, "K");
    EXPECT_EQ((*devices)[0].slaveLetters, "");
}

// A volume service that lets a new volume appear while the letters are being bound.
class ChangingVolumes final : public test::VolumeServiceStub {
  public:
    ChangingVolumes(sim::SimStation& st, std::function<void()> change)
        : st_(st), change_(std::move(change)) {}
    std::uint32_t logicalDriveMask() override { return st_.logicalDriveMask(); }
    char systemDriveLetter() override { return st_.systemDriveLetter(); }
    DriveType driveType(char letter) override {
        if (letter == 'E' && change_) {
            auto f = std::move(change_);
            change_ = nullptr;
            f();
        }
        return st_.driveType(letter);
    }
    std::string volumeDevicePath(char letter) override { return st_.volumeDevicePath(letter); }
    std::filesystem::path rootPath(char letter) override { return st_.rootPath(letter); }
    std::optional<std::uint64_t> freeBytes(char letter) override { return st_.freeBytes(letter); }
    std::optional<std::uint64_t> totalBytes(char letter) override { return st_.totalBytes(letter); }
    std::unique_ptr<Volume> openVolume(char letter, std::uint32_t* error) override {
        return st_.openVolume(letter, error);
    }
    std::optional<VolumeInformation> volumeInformation(char letter) override {
        return st_.volumeInformation(letter);
    }
    std::uint32_t setLabel(char letter, std::string_view label) override {
        return st_.setLabel(letter, label);
    }
    int systemFormat(char letter, std::string_view fs, std::string_view label,
                     std::uint32_t cluster, bool quick) override {
        return st_.systemFormat(letter, fs, label, cluster, quick);
    }
    bool systemFormatAvailable() override { return st_.systemFormatAvailable(); }
    bool closeFormatPrompt() override { return st_.closeFormatPrompt(); }

  private:
    sim::SimStation& st_;
    std::function<void()> change_;
};

TEST_F(DiscoveryTest, AVolumeAppearingDuringThePassRepeatsIt) {
    rig.st().addRootHub("r", 1);
    auto a = rig.bridge("r", 1, "A", {{'E', 10}, {'M', 10}});
    const std::uint32_t number = a->diskNumber();
    ChangingVolumes volumes(rig.st(), [&] {
        rig.st().addVolume({'D', DriveType::Fixed, false, number, a, 1u << 20, ""});
    });
    rig.platform().volumes = &volumes;
    std::uint32_t count = kDeviceTableSize;
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    // Without the repeat D would be missing; without the clearing E and M would be twice.
    EXPECT_EQ((*devices)[0].masterLetters, "DEM");
}

// Whether another thread could take the scan mutex right now.
bool OtherThreadGetsMutex(NamedMutexProvider& mutexes) {
    bool got = false;
    std::thread t([&] {
        auto m = mutexes.open("VQUSBAcess");
        got = m && m->tryLock();
        if (got)
            m->unlock();
    });
    t.join();
    return got;
}

TEST_F(DiscoveryTest, TheDiskPassHoldsTheScanMutexUntilTheLettersAreBound) {
    rig.st().addRootHub("r", 1);
    rig.bridge("r", 1, "A", {{'E', 10}});
    NamedMutexProvider& mutexes = *rig.platform().mutexes;
    bool heldWhileBinding = false;
    ChangingVolumes volumes(rig.st(), [&] { heldWhileBinding = !OtherThreadGetsMutex(mutexes); });
    rig.platform().volumes = &volumes;
    std::uint32_t count = kDeviceTableSize;
    ASSERT_TRUE(d.ScanDiskInterfaces(&count));
    EXPECT_TRUE(heldWhileBinding);
    EXPECT_TRUE(OtherThreadGetsMutex(mutexes));  // and released at the end
}

TEST_F(DiscoveryTest, PortSpeedFromTheHub) {
    rig.st().addRootHub("r", 4);
    rig.bridge("r", 1, "HS", {}, PortSpeed::High);
    rig.bridge("r", 2, "SS", {}, PortSpeed::Super);
    rig.bridge("r", 3, "SP", {}, PortSpeed::SuperPlus);
    d.ScanBridges(false);
    const std::string hub = ports[0].hubPath;

    struct Case {
        int osClass;
        bool v2;
        std::uint32_t port;
        std::int32_t speed;
        std::size_t messages;
    };
    const Case cases[] = {
        {3, true, 1, 2, 0},  {3, true, 2, 3, 0}, {3, true, 3, 4, 0},
        {0, true, 1, 2, 0},  {0, true, 3, 4, 0},  // SuperSpeed asks the second form on any OS
        {3, false, 2, 3, 0},                      // no second form: SuperSpeed stays, silently
        {3, false, 1, 2, 1},                      // no second form below SuperSpeed: a message
        {0, false, 1, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Format("os %d v2 %d port %u", c.osClass, c.v2, c.port));
        rig.op.clear();
        rig.st().setInfoV2Supported(c.v2);
        d.setOsClass(c.osClass);
        EXPECT_EQ(d.QueryPortSpeed(hub, c.port), c.speed);
        EXPECT_EQ(rig.op.messages().size(), c.messages);
    }
    rig.op.clear();
    d.setOsClass(0);
    EXPECT_EQ(d.QueryPortSpeed("\\\\.\\no_such_hub", 1), kSpeedUnknown);
    EXPECT_EQ(rig.messages(), std::vector<std::string>{"Error|Failed to acquire USB information."});
}

TEST_F(DiscoveryTest, RereadPortRefreshesOnePort) {
    rig.st().addRootHub("r", 2);
    rig.bridge("r", 2, "A");
    d.ScanBridges(false);
    ports[0].serial = "stale";
    PortRecord scratch;
    ASSERT_TRUE(d.RereadPort(ports[0].hubPath, 2, scratch, 1));
    EXPECT_EQ(scratch.present, 1);
    EXPECT_EQ(scratch.usbInstanceId, ports[0].usbInstanceId);
    EXPECT_EQ(scratch.driverKey, ports[0].driverKey);
    EXPECT_EQ(scratch.hubPath, ports[0].hubPath);
    EXPECT_EQ(ports[0].serial, "A");
    EXPECT_FALSE(d.RereadPort(ports[0].hubPath, 1, scratch, 1));  // nothing there
    EXPECT_FALSE(d.RereadPort(ports[0].hubPath, 2, scratch, 17));
}

TEST_F(DiscoveryTest, DriverKeyLookup) {
    rig.st().addRootHub("r", 1);
    rig.bridge("r", 1, "A");
    d.ScanBridges(false);
    EXPECT_EQ(d.FindDeviceIdByDriverKey(ToUpper(ports[0].driverKey)), ports[0].usbInstanceId);
    EXPECT_FALSE(d.FindDeviceIdByDriverKey("{00000000-0000-0000-0000-000000000000}\\9999"));
}

TEST_F(DiscoveryTest, MoreThanSixtyFourHubInterfacesStopTheWalk) {
    for (int i = 0; i < 65; ++i)
        rig.st().addRootHub(Format("r%d", i), 1);
    rig.bridge("r0", 1, "FIRST");
    rig.bridge("r64", 1, "LAST");
    d.ScanBridges(false);
    EXPECT_EQ(rig.messages(),
              std::vector<std::string>{"WARNING|Warning: Root device count exceeds maximum device "
                                       "count:64."});
    EXPECT_EQ(ports[0].serial, "FIRST");
    EXPECT_EQ(ports[1].present, 0);
}

TEST_F(DiscoveryTest, AHubBeyondTheUsbTierLimitIsReportedAndNotWalked) {
    // Root hub, then external hubs h1..h6: h6 would sit on the seventh tier, where only a
    // function may.
    CapturingDiagnostics diag;
    rig.platform().diagnostics = &diag;
    rig.st().addRootHub("r", 2);
    std::string parent = "r";
    for (int i = 1; i <= 6; ++i) {
        const std::string id = Format("h%d", i);
        rig.st().addHub(parent, 1, id, 2, PortSpeed::High);
        parent = id;
    }
    rig.bridge("h5", 2, "DEEPEST");  // the function on the seventh tier
    rig.bridge("h6", 1, "TOO-DEEP");
    rig.bridge("r", 2, "AFTER");
    d.ScanBridges(false);
    const std::vector<std::string> expected = {"DEEPEST", "AFTER", "-", "-", "-", "-", "-", "-",
                                               "-",       "-",     "-", "-", "-", "-", "-", "-"};
    EXPECT_EQ(serialsBySlot(), expected);
    const auto lines = diag.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Hub nested too deeply\n"), 1);
    EXPECT_TRUE(rig.op.messages().empty());
}

TEST_F(DiscoveryTest, AHubWithoutPortsTakesNoSlot) {
    auto loaded = sim::ParseScenario(R"({"rootHubs": [{"ports": 3, "devices": [
        {"port": 1, "hub": {"id": "empty", "ports": 0}},
        {"port": 2, "bridge": {"identity": {"serial": "B"}}},
        {"port": 3, "hub": {"id": "h", "ports": 1, "devices": [
          {"port": 1, "bridge": {"identity": {"serial": "C"}}}]}}]}]})");
    ASSERT_TRUE(std::holds_alternative<sim::Scenario>(loaded));
    sim::BuildStation(rig.sim, std::get<sim::Scenario>(loaded));
    d.ScanBridges(false);
    const std::vector<std::string> expected = {"B", "C", "-", "-", "-", "-", "-", "-",
                                               "-", "-", "-", "-", "-", "-", "-", "-"};
    EXPECT_EQ(serialsBySlot(), expected);
    EXPECT_TRUE(rig.op.messages().empty());
}

TEST(OsTests, VersionsAndClasses) {
    struct Case {
        std::optional<OsVersion> v;
        bool w2000, vista, vistaSp, w7family, w8, w10, vistaOrLater;
        int osClass;
    };
    const Case cases[] = {
        {OsVersion{5, 0, 0}, true, false, false, false, false, false, false, 0},
        {OsVersion{5, 1, 3}, false, false, false, false, false, false, false, 0},
        {OsVersion{6, 0, 0}, false, true, false, false, false, false, true, 0},
        {OsVersion{6, 0, 2}, false, true, true, false, false, false, true, 0},
        {OsVersion{6, 1, 1}, false, false, false, true, false, false, true, 2},
        {OsVersion{6, 2, 0}, false, false, false, true, true, false, true, 3},
        {OsVersion{6, 3, 0}, false, false, false, true, true, false, true, 3},
        {OsVersion{10, 0, 0}, false, false, false, false, false, true, true, 3},
        {OsVersion{10, 1, 0}, false, false, false, false, false, false, true, 0},
        {std::nullopt, false, false, false, false, false, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v ? Format("%u.%u sp%u", c.v->major, c.v->minor, c.v->servicePackMajor)
                         : std::string("none"));
        EXPECT_EQ(IsWindows2000(c.v), c.w2000);
        EXPECT_EQ(IsVista(c.v), c.vista);
        EXPECT_EQ(IsVistaWithServicePack(c.v), c.vistaSp);
        EXPECT_EQ(IsWindows7Or8Family(c.v), c.w7family);
        EXPECT_EQ(IsWindows8Or81(c.v), c.w8);
        EXPECT_EQ(IsWindows10(c.v), c.w10);
        EXPECT_EQ(IsVistaOrLater(c.v), c.vistaOrLater);
        EXPECT_EQ(OsClassOf(c.v), c.osClass);
    }
}

TEST(RunResults, DisplayTexts) {
    const std::pair<RunResult, const char*> cases[] = {{-1, "Fail"},   {0, ""},    {1, "Pass"},
                                                       {2, "Running"}, {3, "N/A"}, {4, "Unmatched"},
                                                       {5, ""},        {-2, ""}};
    for (auto [r, text] : cases)
        EXPECT_EQ(RunResultText(r), text) << r;
}

}  // namespace
}  // namespace vq
