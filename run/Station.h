// The station: the port table, the device table, the port-power control state, the first
// chip and the device counters, and the device refresh that fills them and decides whether
// a run may start. One per process in the programs, one per test in the tests.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/SettingsPanel.h"
#include "bridge/ChipIdentity.h"
#include "bridge/Transport.h"
#include "devices/DeviceTable.h"
#include "devices/Discovery.h"
#include "devices/PortRecord.h"
#include "platform/Platform.h"

namespace vq {

// The port-power control device of the type-C mode and what the station knows of it.
struct PowerControl {
    std::string devicePath;        // interface path of the control board
    bool ready = false;            // initialisation succeeded and the board is still seen
    std::uint8_t controlByte = 0;  // high byte of the word last written to the board
    static constexpr std::uint8_t kPowerOn = 0x08;
    static constexpr std::uint8_t kSecondLine = 0x10;
};

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

    // Called whenever the port list is to be redrawn ("port status changed").
    void setPortStatusListener(std::function<void()> f) { onPortStatus_ = std::move(f); }

    // The device refresh: scans, pairs, identifies, measures, adjusts the panel and decides
    // readiness. Returns the number of storage devices the scan found.
    std::uint32_t DeviceRefresh();
    // "Refresh": the refresh, then the focus as the button leaves it.
    void RefreshBtnClick();

  private:
    bridge::Target target(const std::string& path) const { return {transport_, path}; }
    void notifyPortStatus();
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
};

}  // namespace vq
