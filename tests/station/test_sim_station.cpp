#include "platform/sim/SimStation.h"

#include <gtest/gtest.h>

#include "base/Format.h"
#include "base/Text.h"

namespace vq::sim {
namespace {

// A storage function whose bus presence the test controls (a bridge being reset).
class TestDisk final : public UsbFunction {
  public:
    explicit TestDisk(std::string serial, StorageClass c = StorageClass::Disk, bool uas = false)
        : serial_(std::move(serial)), class_(c), uas_(uas) {}
    BusIdentity identity() override {
        BusIdentity id;
        id.vid = 0x7E8A;
        id.pid = 0x2429;
        id.manufacturer = "Velmora";
        id.product = "USB Disk";
        id.serial = serial_;
        return id;
    }
    bool onBus() override { return onBus_; }
    StorageClass storageClass() override { return class_; }
    bool uas() override { return uas_; }
    bool onBus_ = true;

  private:
    std::string serial_;
    StorageClass class_;
    bool uas_;
};

std::shared_ptr<PlainUsbFunction> Mouse() {
    BusIdentity id;
    id.vid = 0x046D;
    id.pid = 0xC077;
    id.manufacturer = "Logi";
    id.product = "Mouse";
    return std::make_shared<PlainUsbFunction>(id);  // no serial number
}

std::string Narrow(const std::vector<std::uint8_t>& d) {
    std::string s;
    for (std::size_t i = 2; i + 1 < d.size(); i += 2)
        s.push_back(static_cast<char>(d[i]));
    return s;
}

struct StationTest : ::testing::Test {
    SimStation st;
    std::vector<DeviceEvent> events;
    void SetUp() override {
        st.setListener([this](const DeviceEvent& e) { events.push_back(e); });
    }
};

TEST_F(StationTest, HubTreeAnswersLikeTheHubRequests) {
    st.addRootHub("root0", 4, "root_hub30");
    st.addRootHub("root1", 2, "root_hub20");
    st.addHub("root0", 2, "ext", 4, PortSpeed::High);
    auto disk = std::make_shared<TestDisk>("000000000001");
    ASSERT_TRUE(st.plug("ext", 3, disk, PortSpeed::High));
    ASSERT_TRUE(st.plug("root1", 1, Mouse(), PortSpeed::Full));
    EXPECT_FALSE(st.plug("ext", 3, Mouse(), PortSpeed::Full)) << "port taken";
    EXPECT_FALSE(st.plug("ext", 5, Mouse(), PortSpeed::Full)) << "no such port";

    auto paths = st.hubInterfacePaths();
    ASSERT_TRUE(paths);
    ASSERT_EQ(paths->size(), 3u);  // two roots, then the external hub
    EXPECT_NE((*paths)[0].find("root_hub30"), std::string::npos);
    EXPECT_NE((*paths)[1].find("root_hub20"), std::string::npos);
    EXPECT_EQ((*paths)[2].find("root_hub"), std::string::npos);

    auto root = st.openHub((*paths)[0]);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->numberOfPorts(), 4u);
    auto c1 = root->connectionInfo(1);
    ASSERT_TRUE(c1);
    EXPECT_EQ(c1->connectionStatus, UsbConnectionStatus::NoDeviceConnected);
    EXPECT_FALSE(root->connectionInfo(5)) << "port beyond the hub's count";
    auto c2 = root->connectionInfo(2);
    ASSERT_TRUE(c2);
    EXPECT_EQ(c2->connectionStatus, UsbConnectionStatus::DeviceConnected);
    EXPECT_TRUE(c2->deviceIsHub);
    auto name = root->connectionName(2);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->rfind("USB#VID_05E3&PID_0610#", 0), 0u);

    auto ext = st.openHub("\\\\.\\" + *name);
    ASSERT_TRUE(ext);
    auto c3 = ext->connectionInfo(3);
    ASSERT_TRUE(c3);
    EXPECT_FALSE(c3->deviceIsHub);
    EXPECT_EQ(c3->deviceDescriptor.idVendor, 0x7E8A);
    EXPECT_EQ(c3->deviceDescriptor.iSerialNumber, 3);
    auto key = ext->driverKeyName(3);
    ASSERT_TRUE(key);
    const std::string narrowKey(key->begin(), key->end());
    EXPECT_EQ(st.instanceIdOfDriverKey(ToUpper(narrowKey)), "USB\\VID_7E8A&PID_2429\\000000000001");
    EXPECT_FALSE(st.instanceIdOfDriverKey("{nothing}\\0001"));
}

TEST_F(StationTest, StringDescriptorsLanguageTableAndTheDeviceWithoutSerial) {
    st.addRootHub("r", 2);
    st.plug("r", 1, std::make_shared<TestDisk>("ABC123"), PortSpeed::High);
    st.plug("r", 2, Mouse(), PortSpeed::Full);
    auto hub = st.openHub((*st.hubInterfacePaths())[0]);

    auto lang = hub->stringDescriptor(1, 0, 0, 4);
    ASSERT_TRUE(lang);
    EXPECT_EQ(*lang, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(Narrow(*hub->stringDescriptor(1, 3, 0x0409, 255)), "ABC123");
    EXPECT_EQ(Narrow(*hub->stringDescriptor(1, 1, 0x0409, 255)), "Velmora");
    EXPECT_EQ(hub->stringDescriptor(1, 3, 0x0409, 4)->size(), 4u) << "cut to the length asked";

    auto mouse = hub->connectionInfo(2);
    EXPECT_EQ(mouse->deviceDescriptor.iSerialNumber, 0);
    // Asking for index 0 with a language id answers the language table, whose text is
    // the one character 0x0409: a device without serial number shows "?".
    auto noSerial = hub->stringDescriptor(2, mouse->deviceDescriptor.iSerialNumber, 0x0409, 255);
    ASSERT_TRUE(noSerial);
    std::u16string text;
    for (std::size_t i = 2; i + 1 < noSerial->size(); i += 2)
        text.push_back(static_cast<char16_t>((*noSerial)[i] | ((*noSerial)[i + 1] << 8)));
    EXPECT_EQ(Format("%ws", text), "?");
    EXPECT_FALSE(hub->stringDescriptor(2, 7, 0x0409, 255)) << "unknown index stalls";
}

TEST_F(StationTest, SpeedsAndTheSuperSpeedPlusQuery) {
    st.addRootHub("r", 4);
    st.plug("r", 1, std::make_shared<TestDisk>("1"), PortSpeed::High);
    st.plug("r", 2, std::make_shared<TestDisk>("2"), PortSpeed::Super);
    st.plug("r", 3, std::make_shared<TestDisk>("3"), PortSpeed::SuperPlus);
    auto hub = st.openHub((*st.hubInterfacePaths())[0]);
    EXPECT_EQ(hub->connectionInfoEx(1)->speed, 2);
    EXPECT_EQ(hub->connectionInfoEx(2)->speed, 3);
    EXPECT_EQ(hub->connectionInfoEx(3)->speed, 3);
    EXPECT_EQ(hub->connectionInfo(3)->speed, 2) << "the old request cannot say SuperSpeed";
    const auto usb3 = UsbConnectionInfoV2::kUsb300;
    EXPECT_EQ(hub->connectionInfoExV2(1, usb3)->flags, 0u);
    EXPECT_EQ(hub->connectionInfoExV2(2, usb3)->flags & 0x5u, 0x1u);
    EXPECT_EQ(hub->connectionInfoExV2(3, usb3)->flags & 0x5u, 0x5u);
    EXPECT_FALSE(hub->connectionInfoExV2(3, 0)) << "the USB 3 protocol bit must be asked";
    st.setInfoV2Supported(false);
    EXPECT_FALSE(hub->connectionInfoExV2(3, usb3));
}

TEST_F(StationTest, StorageInterfacesPairWithTheHubWalksIds) {
    st.addRootHub("r", 4);
    st.plug("r", 1, std::make_shared<TestDisk>("000000000001"), PortSpeed::High);
    st.plug("r", 2, std::make_shared<TestDisk>("000000000002", StorageClass::Disk, true),
            PortSpeed::Super);
    st.plug("r", 3, std::make_shared<TestDisk>("CD1", StorageClass::Optical), PortSpeed::High);
    st.plug("r", 4, Mouse(), PortSpeed::Full);
    auto disks = st.diskInterfaces();
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 2u);
    EXPECT_EQ((*disks)[0].interfacePath,
              "\\\\?\\usbstor#disk&ven_velmora&prod_usb_disk&rev_0100#000000000001&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ((*disks)[0].parentInstanceId, "usb\\vid_7e8a&pid_2429\\000000000001");
    EXPECT_NE((*disks)[1].interfacePath.find("\\\\?\\scsi#disk&"), std::string::npos);
    EXPECT_NE((*disks)[0].parentNode, (*disks)[1].parentNode);
    auto cds = st.opticalInterfaces();
    ASSERT_EQ(cds->size(), 1u);
    EXPECT_NE((*cds)[0].interfacePath.find("usbstor#cdrom&"), std::string::npos);

    // The same id through the hub walk.
    auto hub = st.openHub((*st.hubInterfacePaths())[0]);
    auto key = *hub->driverKeyName(1);
    EXPECT_EQ(ToLower(*st.instanceIdOfDriverKey(std::string(key.begin(), key.end()))),
              (*disks)[0].parentInstanceId);
    EXPECT_EQ(st.functionByPath(ToUpper((*disks)[0].interfacePath)).get(),
              st.functionByPath("\\\\.\\PhysicalDrive1").get());
}

TEST_F(StationTest, VolumesFollowTheirDisk) {
    st.addRootHub("r", 2);
    auto disk = std::make_shared<TestDisk>("1");
    st.plug("r", 1, disk, PortSpeed::High);
    st.addVolume({'C', DriveType::Fixed, true, 0, nullptr, 100ull << 30, "System"});
    st.addVolume({'Z', DriveType::Remote, false, 0, nullptr, 0, "net"});
    st.addVolume({'e', DriveType::Fixed, false, st.diskNumberOf(*disk), disk, 1ull << 30, ""});
    EXPECT_EQ(st.logicalDriveMask(), (1u << 2) | (1u << 4) | (1u << 25));
    EXPECT_EQ(st.driveType('Z'), DriveType::Remote);
    EXPECT_EQ(st.volumeDevicePath('e'), "\\\\.\\E:");
    EXPECT_EQ(st.freeBytes('E'), 1ull << 30);
    EXPECT_EQ(st.functionByPath("\\\\.\\E:"), disk);
    EXPECT_EQ(st.volumeDiskNumber('E'), st.diskNumberOf(*disk));
    disk->onBus_ = false;  // the bridge resets: its volume goes with it
    EXPECT_EQ(st.logicalDriveMask(), (1u << 2) | (1u << 25));
    EXPECT_FALSE(st.freeBytes('E'));
}

TEST_F(StationTest, HotplugEventsComeInTheMachinesOrder) {
    st.addRootHub("r", 2);
    st.addHub("r", 1, "ext", 2, PortSpeed::High);
    auto disk = std::make_shared<TestDisk>("7");
    st.plug("ext", 2, disk, PortSpeed::High);
    st.addVolume({'F', DriveType::Fixed, false, st.diskNumberOf(*disk), disk, 0, ""});
    const std::string path = st.storagePathOf(*disk);
    using K = DeviceEvent::Kind;
    using T = DeviceEvent::Type;
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, K::Arrival);
    EXPECT_EQ(events[0].type, T::DeviceInterface);
    EXPECT_EQ(events[0].name, path);
    EXPECT_EQ(events[1].type, T::Volume);
    events.clear();

    st.unplug("r", 1);  // the whole hub with the disk behind it
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, K::RemoveComplete);
    EXPECT_EQ(events[0].type, T::Volume);
    EXPECT_EQ(events[0].name, "F");
    EXPECT_EQ(events[1].type, T::DeviceInterface);
    EXPECT_EQ(st.diskInterfaces()->size(), 0u);
    EXPECT_EQ(st.hubInterfacePaths()->size(), 1u);

    // A reset: the function leaves the bus and comes back, seen at the next poll.
    st.plug("r", 2, disk, PortSpeed::High);
    events.clear();
    disk->onBus_ = false;
    st.poll();
    disk->onBus_ = true;
    st.poll();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].kind, K::RemoveComplete);
    EXPECT_EQ(events[2].kind, K::Arrival);
}

TEST_F(StationTest, PortPowerTakesTheHubsDevicesAwayAndBack) {
    st.addRootHub("r", 2);
    st.addHub("r", 1, "dut", 4, PortSpeed::High);
    st.plug("dut", 1, std::make_shared<TestDisk>("1"), PortSpeed::High);
    st.plug("dut", 2, std::make_shared<TestDisk>("2"), PortSpeed::High);
    st.plug("r", 2, std::make_shared<TestDisk>("ctl"), PortSpeed::High);
    EXPECT_EQ(st.diskInterfaces()->size(), 3u);
    events.clear();
    st.setHubPower("dut", false);
    EXPECT_EQ(st.diskInterfaces()->size(), 1u);
    EXPECT_EQ(events.size(), 2u);
    auto hub = st.openHub("\\\\.\\" + *st.openHub((*st.hubInterfacePaths())[0])->connectionName(1));
    ASSERT_TRUE(hub);
    EXPECT_EQ(hub->connectionInfo(1)->connectionStatus, UsbConnectionStatus::NoDeviceConnected);
    st.setHubPower("dut", true);
    EXPECT_EQ(st.diskInterfaces()->size(), 3u);
    EXPECT_EQ(events.size(), 4u);

    // Bound to a switch (the control board's register), the power follows it.
    bool on = false;
    st.bindPowerSwitch("dut", [&] { return on; });
    EXPECT_EQ(st.diskInterfaces()->size(), 1u);
    on = true;
    EXPECT_EQ(st.diskInterfaces()->size(), 3u);
}

TEST_F(StationTest, RemovalHonoursVetoesThenRemoves) {
    st.addRootHub("r", 1);
    st.plug("r", 1, std::make_shared<TestDisk>("1"), PortSpeed::High);
    st.setVetoes("r", 1, 2);
    const DevNode node = (*st.diskInterfaces())[0].parentNode;
    auto r1 = st.queryAndRemoveSubtree(node);
    EXPECT_FALSE(r1.callSucceeded);
    EXPECT_NE(r1.vetoType, 0u);
    EXPECT_FALSE(st.requestEject(node).callSucceeded);
    auto r3 = st.queryAndRemoveSubtree(node);
    EXPECT_TRUE(r3.callSucceeded);
    EXPECT_EQ(r3.vetoType, 0u);
    EXPECT_EQ(st.diskInterfaces()->size(), 0u);
    EXPECT_FALSE(st.queryAndRemoveSubtree(node).callSucceeded) << "node is gone";
    auto hub = st.openHub((*st.hubInterfacePaths())[0]);
    EXPECT_EQ(hub->connectionInfo(1)->connectionStatus, UsbConnectionStatus::NoDeviceConnected);
}

}  // namespace
}  // namespace vq::sim
