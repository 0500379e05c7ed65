// What the boot code of a bridge checks in the storage it boots from, in one place:
// whether a firmware image is there and may run, where the configuration block is held,
// and how the USB identity is decoded from it. Free functions over a view of the board's
// storage, so every part model stays plain memory.
#pragma once

#include <cstdint>
#include <span>

#include "platform/sim/BridgeProfile.h"
#include "platform/sim/SimBridgeConfig.h"

namespace vq::sim {

// The board's storage as the boot code sees it; unfitted parts are empty.
struct StorageView {
    std::uint8_t kind = 0;
    const BridgeProfile* profile = nullptr;
    const UsbIdentity* defaultIdentity = nullptr;
    std::span<const std::uint8_t> eeprom;      // empty: no EEPROM fitted
    std::span<const std::uint8_t> flash;       // serial flash
    std::span<const std::uint8_t> parallel;    // parallel flash
    std::span<const std::uint8_t> diskConfig;  // kinds 7 and 8: block read from the disk
};

// True when every byte is 0x00 or every byte is 0xFF.
bool Blank(std::span<const std::uint8_t> bytes);

// Kinds whose configuration is a 256-byte extended block (the 128-byte image first).
bool HasExtendedBlock(std::uint8_t kind);

// Length of the factory firmware image of a chip (from address 0 of its flash).
std::uint32_t FactoryImageLength(const BridgeProfile& profile);

// Whether the boot loader finds firmware it runs.
bool FirmwareFound(const StorageView& s);

// The configuration block the chip holds (128 or 256 bytes), empty when none.
std::span<const std::uint8_t> HeldConfigBlock(const StorageView& s);

// The identity the chip shows after booting with `firmware` running.
UsbIdentity DecodeIdentity(const StorageView& s, bool firmware);

// A USB string descriptor at `pos` (length byte, type 3, characters of one or two bytes).
std::string DecodeDescriptor(std::span<const std::uint8_t> b, std::size_t pos, std::size_t maxChars,
                             bool oneByte);

}  // namespace vq::sim
