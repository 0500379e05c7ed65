// Removing devices and switching hub ports on Linux, through the files the kernel offers in
// sysfs (the root is given, so tests work on a tree of their own):
//   a disk (node: its packed major:minor)   1 written to its SCSI device's "delete"
//   a USB device (node: bus << 16 | devnum) 1 written to its "remove", else every SCSI
//                                           device below it deleted
//   eject of a USB device                   its hub port's "disable" set (port power off)
// A disk with a file system still mounted (after the program let go of its own mounts) is
// not removed: the removal is vetoed with the device's name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/DeviceRemoval.h"

namespace vq {

// Veto types, as the system numbers them.
constexpr std::uint32_t kVetoOutstandingOpen = 6;

class LinuxRemoval final : public DeviceRemoval {
  public:
    // `releaseMounts` lets go of the program's own mounts of a disk ("sdb"); it returns
    // false while they are busy. `mountedDevices` lists the "major:minor" of every mounted
    // block device (from /proc/self/mountinfo when not given).
    explicit LinuxRemoval(std::filesystem::path sysfsRoot = "/sys",
                          std::function<bool(const std::string&)> releaseMounts = nullptr,
                          std::function<std::vector<std::string>()> mountedDevices = nullptr);

    RemovalResult queryAndRemoveSubtree(DevNode node) override;
    RemovalResult requestEject(DevNode node) override;

    // Powers a port of a hub ("1-2" or "usb1") off or on through the port's "disable"
    // file. Empty on success, else what went wrong (the hub offers no such control).
    std::string setPortPower(std::string_view hub, std::uint32_t port, bool on);

  private:
    std::filesystem::path usbDevice(DevNode node);
    RemovalResult removeDisk(const std::filesystem::path& blockDir);

    std::filesystem::path root_;
    std::function<bool(const std::string&)> releaseMounts_;
    std::function<std::vector<std::string>()> mountedDevices_;
};

}  // namespace vq
