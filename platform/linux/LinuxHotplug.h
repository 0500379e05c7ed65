// Arrivals and removals from the kernel's own device events: a NETLINK_KOBJECT_UEVENT
// socket read on a thread of its own (no udev daemon is needed, none runs on the factory
// machines). USB devices, SCSI devices and disks become device interface events; a
// partition that comes or goes makes the volumes look again, and they report their letters.
// The socket is opened when the first listener is set.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "platform/Hotplug.h"

namespace vq {

// One kernel message: "ACTION@DEVPATH" then KEY=VALUE fields, each ended by a NUL byte.
struct Uevent {
    std::string action, devpath, subsystem, devtype, devname;
};
// Nullopt for anything but a kernel message (libudev's own messages start "libudev").
std::optional<Uevent> ParseUevent(std::span<const char> message);

// The event the station hears of a message: add and remove of a USB device, a SCSI device
// or a disk; nullopt for everything else.
std::optional<DeviceEvent> EventOfUevent(const Uevent& u);
// Whether the message adds or removes a partition.
bool IsPartitionChange(const Uevent& u);

class LinuxHotplug final : public Hotplug {
  public:
    // `partitionsChanged` runs (on the reading thread) when a partition came or went.
    explicit LinuxHotplug(std::function<void()> partitionsChanged = nullptr);
    ~LinuxHotplug() override;
    LinuxHotplug(const LinuxHotplug&) = delete;
    LinuxHotplug& operator=(const LinuxHotplug&) = delete;

    void setListener(Listener listener) override;
    // Hands an event to the listener (the volumes report their letters through here).
    void report(const DeviceEvent& event);
    // Whether the kernel's events are being read.
    bool listening() const { return socket_ >= 0; }

  private:
    void start();
    void run();

    std::function<void()> partitionsChanged_;
    std::mutex m_;
    Listener listener_;
    int socket_ = -1;
    int wake_ = -1;
    std::thread thread_;
};

}  // namespace vq
