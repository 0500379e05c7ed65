// The storage devices behind bridges found by a scan: up to 256 entries, rebuilt from
// nothing at every scan.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

}  // namespace vq
