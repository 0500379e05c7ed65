// The hub walk's and the storage list's view of a recorded sysfs tree (see
// make_sysfs_tree.py for the machine it shows).
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/Sysfs.h"

namespace vq {
namespace {

const std::filesystem::path kRoot = VQ_TEST_SYSFS;

TEST(SysfsUsbTopology, RootHubsComeFirstAndOpenByPathOrConnectionName) {
    SysfsUsbTopology usb(kRoot);
    const auto paths = usb.hubInterfacePaths();
    ASSERT_TRUE(paths.has_value());
    EXPECT_EQ(*paths,
              (std::vector<std::string>{"usb-root_hub:usb1", "usb-root_hub:usb2", "usb-hub:1-1"}));
    const struct {
        const char* path;
        std::optional<std::uint32_t> ports;
    } rows[] = {
        {"usb-root_hub:usb1", 4},         {"usb-root_hub:usb2", 2},   {"\\\\.\\usb-hub:1-1", 4},
        {"usb-hub:1-1.2", std::nullopt},  // a disk, not a hub
        {"usb-hub:../1-1", std::nullopt}, {"usb-hub:", std::nullopt}, {"1-1", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        auto hub = usb.openHub(r.path);
        ASSERT_EQ(hub != nullptr, r.ports.has_value());
        if (hub) {
            EXPECT_EQ(hub->numberOfPorts(), r.ports);
        }
    }
    auto root = usb.openHub("usb-root_hub:usb1");
    EXPECT_EQ(root->connectionName(1), "usb-hub:1-1");
    EXPECT_EQ(root->connectionName(2), std::nullopt);  // nothing there
    EXPECT_EQ(usb.openHub("\\\\.\\" + *root->connectionName(1))->numberOfPorts(), 4u);
}

TEST(SysfsUsbTopology, PortsReportConnectionSpeedAndDescriptor) {
    SysfsUsbTopology usb(kRoot);
    auto hub = usb.openHub("usb-hub:1-1");
    auto root3 = usb.openHub("usb-root_hub:usb2");
    ASSERT_TRUE(hub && root3);
    using S = UsbConnectionStatus;
    const struct {
        const char* name;
        UsbHub* hub;
        std::uint32_t port;
        S status;
        std::uint8_t speed, speedEx;
        bool isHub;
        std::uint16_t vid, pid, bcdUsb, address;
        std::uint32_t pipes;
    } rows[] = {
        {"bulk-only disk", hub.get(), 2, S::DeviceConnected, 2, 2, false, 0x13fe, 0x5742, 0x0200, 3,
         2},
        {"full-speed optical", hub.get(), 3, S::DeviceConnected, 1, 1, false, 0x13fe, 0x5743,
         0x0200, 4, 2},
        {"empty port", hub.get(), 4, S::NoDeviceConnected, 0, 0, false, 0, 0, 0x0200, 0, 0},
        {"UAS at 10 Gbit/s", root3.get(), 1, S::DeviceConnected, 2, 3, false, 0x13fe, 0x5744,
         0x0320, 2, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const auto info = r.hub->connectionInfo(r.port);
        const auto ex = r.hub->connectionInfoEx(r.port);
        ASSERT_TRUE(info && ex);
        EXPECT_EQ(info->connectionIndex, r.port);
        EXPECT_EQ(info->connectionStatus, r.status);
        EXPECT_EQ(info->speed, r.speed);
        EXPECT_EQ(ex->speed, r.speedEx);
        EXPECT_EQ(info->deviceIsHub, r.isHub);
        EXPECT_EQ(info->deviceDescriptor.idVendor, r.vid);
        EXPECT_EQ(info->deviceDescriptor.idProduct, r.pid);
        EXPECT_EQ(info->deviceDescriptor.bcdUSB, r.bcdUsb);
        EXPECT_EQ(info->deviceAddress, r.address);
        EXPECT_EQ(info->numberOfOpenPipes, r.pipes);
    }
    auto root = usb.openHub("usb-root_hub:usb1");
    EXPECT_TRUE(root->connectionInfo(1)->deviceIsHub);
    EXPECT_EQ(hub->connectionInfo(0), std::nullopt);
    EXPECT_EQ(hub->connectionInfo(5), std::nullopt);
}

TEST(SysfsUsbTopology, SuperSpeedPlusShowsInTheSecondExtendedInformation) {
    SysfsUsbTopology usb(kRoot);
    using V2 = UsbConnectionInfoV2;
    const std::uint32_t all = V2::kUsb110 | V2::kUsb200 | V2::kUsb300;
    const auto uas = usb.openHub("usb-root_hub:usb2")->connectionInfoExV2(1, all);
    ASSERT_TRUE(uas);
    EXPECT_EQ(uas->supportedUsbProtocols, V2::kUsb300);
    EXPECT_EQ(uas->flags, V2::kOperatingAtSuperSpeedOrHigher | V2::kSuperSpeedCapableOrHigher |
                              V2::kOperatingAtSuperSpeedPlusOrHigher |
                              V2::kSuperSpeedPlusCapableOrHigher);
    const auto disk = usb.openHub("usb-hub:1-1")->connectionInfoExV2(2, V2::kUsb200);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->supportedUsbProtocols, V2::kUsb200);
    EXPECT_EQ(disk->flags, 0u);
}

TEST(SysfsUsbTopology, StringDescriptorsAreByteExact) {
    SysfsUsbTopology usb(kRoot);
    auto hub = usb.openHub("usb-hub:1-1");
    auto root3 = usb.openHub("usb-root_hub:usb2");
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(hub->stringDescriptor(2, 0, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(hub->stringDescriptor(2, 1, 0x409, 255), (Bytes{6, 3, 'V', 0, 'Q', 0}));
    EXPECT_EQ(hub->stringDescriptor(2, 3, 0x409, 6), (Bytes{26, 3, '0', 0, '0', 0}));
    EXPECT_EQ(root3->stringDescriptor(1, 2, 0x409, 255),
              (Bytes{16, 3, 'D', 0, 'i', 0, 's', 0, 'k', 0, ' ', 0, 0xFC, 0, 0x03, 0x26}));
    EXPECT_EQ(hub->stringDescriptor(2, 4, 0x409, 255), std::nullopt);  // no such string
    EXPECT_EQ(hub->stringDescriptor(4, 0, 0, 255), std::nullopt);      // empty port
}

TEST(SysfsUsbTopology, DriverKeysAreSysfsNamesAndLeadToInstanceIds) {
    SysfsUsbTopology usb(kRoot);
    auto hub = usb.openHub("usb-hub:1-1");
    EXPECT_EQ(hub->driverKeyName(2), u"1-1.2");
    EXPECT_EQ(hub->driverKeyName(4), std::nullopt);
    EXPECT_EQ(usb.instanceIdOfDriverKey("1-1.2"), "usb\\vid_13fe&pid_5742\\1-1.2");
    EXPECT_EQ(usb.instanceIdOfDriverKey("2-1"), "usb\\vid_13fe&pid_5744\\2-1");
    EXPECT_EQ(usb.instanceIdOfDriverKey("1-1.2:1.0"), std::nullopt);  // an interface
    EXPECT_EQ(usb.instanceIdOfDriverKey("../usb1"), std::nullopt);
    EXPECT_EQ(usb.instanceIdOfDriverKey("9-9"), std::nullopt);
}

TEST(SysfsStorageEnumerator, UsbDisksAndOpticalDrivesPairWithTheirUsbDevice) {
    SysfsStorageEnumerator storage(kRoot, "/dev");
    SysfsUsbTopology usb(kRoot);
    const auto disks = storage.diskInterfaces();
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 2u);  // the SATA disk and the partition are left out
    EXPECT_EQ((*disks)[0].interfacePath, "/dev/sg1#usbstor");
    EXPECT_EQ((*disks)[0].parentInstanceId, usb.instanceIdOfDriverKey("1-1.2"));
    EXPECT_EQ((*disks)[0].diskNode, (8u << 20) | 16u);
    EXPECT_EQ((*disks)[0].parentNode, (1u << 16) | 3u);
    EXPECT_EQ((*disks)[1].interfacePath, "/dev/sdc#scsi");  // UAS, no sg node
    EXPECT_EQ((*disks)[1].parentInstanceId, usb.instanceIdOfDriverKey("2-1"));

    const auto optical = storage.opticalInterfaces();
    ASSERT_TRUE(optical);
    ASSERT_EQ(optical->size(), 1u);
    EXPECT_EQ((*optical)[0].interfacePath, "/dev/sg2#usbstor");
    EXPECT_EQ((*optical)[0].parentInstanceId, "usb\\vid_13fe&pid_5743\\1-1.3");
    EXPECT_EQ(InterfaceNode("/dev/sg2#usbstor"), "/dev/sg2");
    EXPECT_EQ(InterfaceNode("/dev/sdb"), "/dev/sdb");
}

TEST(Sysfs, AMachineWithoutUsbListsNothing) {
    const auto empty = std::filesystem::temp_directory_path() / "vq_sysfs_empty";
    std::filesystem::create_directories(empty);
    SysfsUsbTopology usb(empty);
    SysfsStorageEnumerator storage(empty);
    EXPECT_EQ(usb.hubInterfacePaths(), std::vector<std::string>{});
    const auto disks = storage.diskInterfaces();
    ASSERT_TRUE(disks);
    EXPECT_TRUE(disks->empty());
    std::filesystem::remove(empty);
}

}  // namespace
}  // namespace vq
