// The descriptors an emulated bridge board answers on its USB side: one configuration with
// one bulk-only mass-storage interface (SCSI command set) and a bulk endpoint each way,
// the strings of the identity it booted with, and the device capabilities of a device of
// USB 2.1 or later. Built byte by byte for the speed the device connected at.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/UsbDeviceSide.h"
#include "platform/sim/SimStation.h"

namespace vq::sim {

inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;

// Packet sizes at a speed: endpoint 0 and the bulk endpoints.
std::uint16_t ControlPacketSize(UsbSpeed speed);
std::uint16_t BulkPacketSize(UsbSpeed speed);
// The release a device shows at a speed: a USB 3 device on a slower link shows 2.10.
std::uint16_t BcdUsbAt(const BusIdentity& identity, UsbSpeed speed);

struct MassStorageDescriptors {
    std::vector<std::uint8_t> device;         // 18 bytes
    std::vector<std::uint8_t> configuration;  // the whole set, wTotalLength bytes
    std::vector<std::uint8_t> bos;            // empty below release 2.01
    // String descriptor `index` (0: the language list); nothing when there is none.
    std::optional<std::vector<std::uint8_t>> string(std::uint8_t index) const;

    std::vector<std::vector<std::uint8_t>> strings;  // by index, 0 the language list
};

MassStorageDescriptors BuildMassStorageDescriptors(const BusIdentity& identity, UsbSpeed speed);

// A string descriptor of Latin-1 text (at most 126 characters are kept).
std::vector<std::uint8_t> StringDescriptor(const std::string& text);

}  // namespace vq::sim
