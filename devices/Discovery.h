// Finding the bridges: the storage devices behind USB bridges with their drives, identify
// data, physical drive numbers and drive letters, and the USB hub walk that gives each
// device its port slot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/Transport.h"
#include "devices/DeviceTable.h"
#include "devices/PortRecord.h"
#include "platform/NamedMutex.h"
#include "platform/Platform.h"
#include "platform/UsbTopology.h"

namespace vq {

// Operating-system tests over the version the platform reports (no version: all false).
bool IsWindows2000(const std::optional<OsVersion>& v);
bool IsVista(const std::optional<OsVersion>& v);
bool IsVistaWithServicePack(const std::optional<OsVersion>& v);
bool IsWindows7Or8Family(const std::optional<OsVersion>& v);
bool IsWindows8Or81(const std::optional<OsVersion>& v);
bool IsWindows10(const std::optional<OsVersion>& v);
bool IsVistaOrLater(const std::optional<OsVersion>& v);
// 3: Windows 8, 8.1 or 10; 2: Windows 7; 0: older.
int OsClassOf(const std::optional<OsVersion>& v);

// USB speed values of a port: 0 low, 1 full, 2 high, 3 Gen 1, 4 Gen 2, 255 not determined.
inline constexpr std::int32_t kSpeedUnknown = 255;

class Discovery {
  public:
    static constexpr const char* kScanMutexName = "VQUSBAcess";
    static constexpr std::size_t kMaxHubInterfaces = 64;

    // The tables belong to the station; the discovery only fills them.
    Discovery(Platform& platform, const bridge::Transport& transport, DeviceTable& devices,
              PortTable& ports, PortRecord& powerControl);

    // Options of the settings: optical devices included (SupportODD), port-power control
    // mode (EnEPPTypeC), and the OS class found at start-up.
    void setSupportOdd(bool on) { supportOdd_ = on; }
    void setTypeC(bool on) { typeC_ = on; }
    void setOsClass(int osClass) { osClass_ = osClass; }

    // Clears the port table, scans disks (and optical devices), walks the hubs; returns
    // the number of device entries.
    std::uint32_t ScanBridges(bool includeOptical);
    // The disk pass, under the machine-wide scan mutex. On entry *count is the capacity,
    // on return the number of entries filled. False when the device list cannot be had.
    bool ScanDiskInterfaces(std::uint32_t* count);
    // Appends optical devices after `filled` entries; *count grows by the number taken.
    void ScanOpticalInterfaces(std::uint32_t filled, std::uint32_t* count);
    void ReadDevicePresence(DeviceEntry& entry);
    void AssignDriveLetters(std::uint32_t first, std::uint32_t count);
    // 512 bytes of IDENTIFY data through any device or volume path.
    bool IdentifyThroughPath(std::string_view path, Bytes buffer512, bool standardCommand);
    std::optional<std::string> FindDeviceIdByDriverKey(std::string_view driverKey);

    // Hub walk.
    std::uint32_t WalkUsbTree();
    std::int32_t QueryPortSpeed(std::string_view hubPath, std::uint32_t port);
    // Re-reads one port into a scratch record (and the strings into the slot itself).
    bool RereadPort(std::string_view hubPath, std::uint32_t port, PortRecord& scratch,
                    std::int32_t runningNumber);

    std::uint32_t entryCount() const { return entries_; }

  private:
    void WalkHubPorts(UsbHub& hub, std::uint32_t portCount, int depth, const std::string& hubPath,
                      std::int32_t& counter);
    std::uint16_t ReadPortStrings(UsbHub& hub, std::uint32_t port, std::int32_t runningNumber,
                                  std::uint16_t languageId, const UsbDeviceDescriptor& d);
    void debug(const std::string& text);
    bool slotFree(std::int32_t number) const;
    NamedMutex* scanMutex();
    bridge::Target target(std::string_view path) const;

    Platform& platform_;
    const bridge::Transport& transport_;
    DeviceTable& devices_;
    PortTable& ports_;
    PortRecord& powerControl_;
    bool supportOdd_ = false;
    bool typeC_ = false;
    int osClass_ = 0;
    std::uint32_t entries_ = 0;
    std::uint16_t languageId_ = 0;
    std::unique_ptr<NamedMutex> mutex_;
};

}  // namespace vq
