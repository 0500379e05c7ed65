// The station: the port table, the device table, the port-power control state, the first
// chip and the device counters, and the device refresh that fills them and decides whether
// a run may start. One per process in the programs, one per test in the tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/SettingsPanel.h"
#include "bridge/ChipIdentity.h"
#include "bridge/Transport.h"
#include "devices/DeviceTable.h"
#include "devices/Discovery.h"
#include "devices/PortPower.h"
#include "devices/PortRecord.h"
#include "platform/Platform.h"
#include "run/FirmwareFit.h"
#include "run/SerialSection.h"

namespace vq {

class Station {
  public:
    static constexpr const char* kPowerControlFail = "EEP : Control power Fail !!";
    static constexpr const char* kCapacityCheck = "Check the Capacity check setting!!";
    static constexpr const char* kAmbiguousDevice =
        "Port %d: more than one storage device belongs to the USB device %s. The port is not "
        "used.";

    // The settings and the panel are the settings panel's; the refresh reads the settings,
    // and adjusts the panel through its rules. The platform must offer SCSI pass-through
    // and a clock.
    Station(Platform& platform, SettingsPanel& panel);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    Platform& platform() { return platform_; }
    SettingsPanel& panel() { return panel_; }
    const bridge::Transport& transport() const { return transport_; }
    Discovery& discovery() { return discovery_; }
    int osClass() const { return osClass_; }

    PortTable& ports() { return ports_; }
    const PortTable& ports() const { return ports_; }
    DeviceTable& devices() { return devices_; }
    // The record the hub walk moves the control board into (type-C mode).
    PortRecord& powerControlRecord() { return powerRecord_; }
    PowerControl& powerControl() { return power_; }

    // Identification of the first supported device of the last refresh.
    bridge::ChipIdentity firstChip() const { return firstChip_; }
    int runDeviceCount() const { return runDeviceCount_; }
    int attachedDeviceCount() const { return attachedDeviceCount_; }
    bool autoStartPermission() const { return autoStart_; }
    // Whether the last refresh found the station ready for a run.
    bool ready() const { return ready_; }
    // Every device of a USB 3 kind runs at SuperSpeed or above ("USB 3.1 Gen 1"), or at
    // SuperSpeed Plus ("USB 3.1 Gen 2"); false when there is none.
    bool usb31Gen1() const { return usb31Gen1_; }
    bool usb31Gen2() const { return usb31Gen2_; }
    // Whether START may be pressed (START is the panel's ExecuteBtn).
    bool startEnabled() const;
    // Tree image of a slot's node: 1 for a usable device, else 0.
    int treeImage(std::size_t slot) const { return treeImage_[slot]; }
    // Index of the device entry paired with a slot at the last refresh, -1 when none.
    int deviceEntryOf(std::size_t slot) const { return entryOfSlot_[slot]; }
    // First drive letter of a slot's device (its master drive), 0 when none.
    char firstDriveLetter(std::size_t slot) const;

    // Called whenever the port list is to be redrawn ("port status changed"). Workers call
    // it from their threads, so the listener must be thread-safe and must not block.
    void setPortStatusListener(std::function<void()> f) { onPortStatus_ = std::move(f); }
    void notifyPortStatus();

    // ---- what the workers of a run share
    // The port lock: bridge resets and re-finds, the two device counters below while
    // workers run, and every run of an external disk tool.
    SerialSection& portLock() { return portLock_; }
    // The read/write test lock: held only around one port's measured read/write test.
    SerialSection& rwTestLock() { return rwTestLock_; }
    // Guards the port records while workers write their own slot and the display reads
    // them all. Held only for copies, never across a command to a device.
    std::mutex& recordsLock() { return recordsLock_; }
    // Sets both device counters (run start). Not while workers run.
    void setDeviceCounts(int count) {
        runDeviceCount_ = count;
        attachedDeviceCount_ = count;
    }
    // A worker's device leaves the bus (lower) and is back or given up (raise); the caller
    // holds the port lock.
    void lowerAttachedCount() { --attachedDeviceCount_; }
    void raiseAttachedCount() { ++attachedDeviceCount_; }
    // How often the disk procedures retry a device access, one second apart (five times
    // the number of devices of the run).
    int hddAccessRetry() const { return hddAccessRetry_.load(); }
    void setHddAccessRetry(int n) { hddAccessRetry_ = n; }

    // The device refresh: scans, pairs, identifies, measures, adjusts the panel and decides
    // readiness. Returns the number of storage devices the scan found.
    std::uint32_t DeviceRefresh();
    // "Refresh": the refresh, then the focus as the button leaves it.
    void RefreshBtnClick();
    // The scan at the start of a run: the port table rebuilt, each present slot paired and
    // identified, the usable slots chosen and measured as the refresh does, without the
    // refresh's messages and panel changes. In type-C mode the control board is no device
    // under test, and with `needCapacity` only devices with a capacity above 0 count.
    // Returns the number of usable devices.
    int RescanForRun(bool needCapacity);

  private:
    bridge::Target target(const std::string& path) const { return {transport_, path}; }
    bridge::Kind26Board firstKind26Board() const;
    void setRunButtons(bool enabled);
    // Pairs a port record with the storage device of its USB device; -1 when none.
    int pair(PortRecord& r, std::uint32_t entries);
    void handlePowerControlDevice(const std::string& path);
    bool InitPowerControl(const std::string& path);
    void PowerOnAtRefresh();
    std::int64_t freeSpaceOf(int entry);
    void message(const std::string& text, const char* title, MessageIcon icon);
    void barcodeFocus();

    Platform& platform_;
    SettingsPanel& panel_;
    bridge::Transport transport_;
    int osClass_ = 0;
    PortTable ports_{};
    DeviceTable devices_{};
    PortRecord powerRecord_{};
    PowerControl power_{};
    Discovery discovery_;
    bridge::ChipIdentity firstChip_ = 0;
    int runDeviceCount_ = 0;
    int attachedDeviceCount_ = 0;
    bool autoStart_ = false;
    bool ready_ = false;
    bool usb31Gen1_ = false;
    bool usb31Gen2_ = false;
    std::array<int, kPortSlots> treeImage_{};
    std::array<int, kPortSlots> entryOfSlot_{};
    std::function<void()> onPortStatus_;
    // The panel's firmware fit check, unless the panel was given one of its own.
    StationFirmwareFit fit_;
    SerialSection portLock_;
    SerialSection rwTestLock_;
    std::mutex recordsLock_;
    std::atomic<int> hddAccessRetry_{0};
};

}  // namespace vq
