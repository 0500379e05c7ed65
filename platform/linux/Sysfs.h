// USB hubs and storage devices read straight from the kernel's device model in sysfs.
// Neither the factory machines nor the test virtual machine run a udev daemon, so nothing
// here asks udev: every fact comes from the files the kernel itself publishes.
//
// Names the station sees:
// - a hub path is "usb-root_hub:NAME" for a root hub and "usb-hub:NAME" for any other hub,
//   NAME being the device's sysfs name ("usb1", "1-2", "1-2.4");
// - the key of a device on a port (the "driver key") is its sysfs name, which stays the
//   same for as long as the device stays on that port;
// - the instance id of a USB device is "usb\vid_XXXX&pid_XXXX\NAME" (lower case);
// - a storage interface path is its device node, then '#' and the driver's tag:
//   "/dev/sg2#usbstor" (bulk-only, usb-storage) or "/dev/sg3#scsi" (UAS). The pass-through
//   opens the node before the '#'.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/StorageEnumerator.h"
#include "platform/UsbTopology.h"

namespace vq {

class SysfsUsbTopology final : public UsbTopology {
  public:
    explicit SysfsUsbTopology(std::filesystem::path sysfsRoot = "/sys");
    std::optional<std::vector<std::string>> hubInterfacePaths() override;
    std::unique_ptr<UsbHub> openHub(std::string_view path) override;
    std::optional<std::string> instanceIdOfDriverKey(std::string_view driverKey) override;

  private:
    std::filesystem::path root_;
};

class SysfsStorageEnumerator final : public StorageEnumerator {
  public:
    // Device nodes are named under `devRoot` ("/dev").
    explicit SysfsStorageEnumerator(std::filesystem::path sysfsRoot = "/sys",
                                    std::filesystem::path devRoot = "/dev");
    std::optional<std::vector<StorageInterface>> diskInterfaces() override;
    std::optional<std::vector<StorageInterface>> opticalInterfaces() override;

  private:
    std::optional<std::vector<StorageInterface>> list(bool optical);
    std::filesystem::path root_, dev_;
};

// The instance id of the USB device in the sysfs folder `dir` ("" when it is none).
std::string UsbInstanceIdOf(const std::filesystem::path& dir);

// The node part of an interface path: what comes before the '#'.
std::string_view InterfaceNode(std::string_view interfacePath);

}  // namespace vq
