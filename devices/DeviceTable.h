// The storage devices behind bridges found by a scan: up to 256 entries, rebuilt from
// nothing at every scan.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ScsiPassThrough.h"
#include "platform/StorageEnumerator.h"

namespace vq {

struct DeviceEntry {
    static constexpr std::size_t kLettersMax = 7;

    std::string masterLetters;  // upper-case drive letters of the master drive's volumes
    std::string slaveLetters;
    std::string parentDeviceId;  // the bridge's USB device instance id, lower case
    std::string interfacePath;   // the path of every pass-through request to the device
    std::uint32_t masterPresent = 0;
    std::uint32_t slavePresent = 0;
    std::uint32_t masterPacket = 0;  // ATAPI (IDENTIFY PACKET DEVICE) rather than ATA
    std::uint32_t slavePacket = 0;
    std::uint32_t uasAttached = 0;
    std::array<std::array<std::uint8_t, 512>, 2> identify{};  // master, slave
    StorageDeviceNumber deviceNumber;
    DevNode diskNode = 0;
    DevNode parentNode = 0;
};

inline constexpr std::size_t kDeviceTableSize = 256;
using DeviceTable = std::array<DeviceEntry, kDeviceTableSize>;

// The entry among the first `entries` whose parent is the USB device `instanceId`, compared
// whole and without regard to case: its index, kNoEntry when none, kAmbiguousEntry when
// more than one entry has that parent (no one of them may be taken for the device).
inline constexpr int kNoEntry = -1;
inline constexpr int kAmbiguousEntry = -2;
int FindEntryOfDevice(const DeviceTable& devices, std::uint32_t entries,
                      std::string_view instanceId);

}  // namespace vq
