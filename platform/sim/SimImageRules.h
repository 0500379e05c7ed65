// What the boot code of a bridge checks in the storage it boots from, in one place:
// whether a firmware image is there and may run, where the configuration block is held,
// and how the USB identity is decoded from it. Free functions over a view of the board's
// storage, so every part model stays plain memory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
    std::span<const std::uint8_t> running;     // later families: the image booted from
};

// True when every byte is 0x00 or every byte is 0xFF.
bool Blank(std::span<const std::uint8_t> bytes);

// Kinds whose configuration is a 256-byte extended block (the 128-byte image first).
bool HasExtendedBlock(std::uint8_t kind);

// Length of the factory firmware image of a chip (from address 0 of its flash).
std::uint32_t FactoryImageLength(const BridgeProfile& profile);

// Whether the boot loader finds firmware it runs: a non-blank start of the firmware area,
// and for kinds 19 and 20 a right CRC-16, for kinds 21 to 24 a valid bank.
bool FirmwareFound(const StorageView& s);

// The configuration block the chip holds (128 or 256 bytes), empty when none.
std::span<const std::uint8_t> HeldConfigBlock(const StorageView& s);

// The identity the chip shows after booting with `firmware` running.
UsbIdentity DecodeIdentity(const StorageView& s, bool firmware);

// ---- checksums the boot code verifies ----

// CRC-16 of kinds 19 and 20: polynomial 0x1021, start 0, no final inversion, over the
// bytes taken as 32-bit little-endian words, each word from its most significant bit.
std::uint16_t WordCrc16(std::span<const std::uint8_t> bytes);
// CRC-32 of the later families' images: start 0xFFFFFFFF, polynomial 0x04C11DB7, groups
// of four bytes fed 3, 2, 1, 0, each byte from its least significant bit, no inversion.
std::uint32_t ImageCrc32(std::span<const std::uint8_t> bytes);
// CRC-16 of the device setting block: start 0xFFFF, reflected polynomial 0xD008 fed from
// the least significant bit, the result bit-reversed.
std::uint16_t BlockCrc16(std::span<const std::uint8_t> bytes);

// ---- kinds 19 and 20: one image of 0xC000 bytes, its CRC-16 at 0xBFFE ----
constexpr std::uint32_t kCrc16ImageEnd = 0xBFFC;  // bytes covered: 0 to 0xBFFB
constexpr std::uint32_t kCrc16At = 0xBFFE;
bool Crc16ImageValid(std::span<const std::uint8_t> flash);
void SealCrc16Image(std::span<std::uint8_t> image);

// ---- kinds 21 to 24: two banks of 0x20000 bytes ----
// A bank boots when its header marker 5A C3 69 E1 is at 512, the CRC-32 of bytes 0-1019
// is at 1020 and that of 1024-2043 at 2044 (big-endian), and the copy of the bank
// checksum at 520 equals the bank checksum at 0x1FFFC. The boot code does not recompute
// the bank checksum: it covers the header, which holds a copy of it, so the copy is what
// tells a whole bank from a torn one (the bank's last bytes are written last).
// Bank 0 boots when valid, else bank 1; with neither the chip stays on its mask ROM.
constexpr std::uint32_t kBankSize = 0x20000;
constexpr std::uint32_t kSettingBlockAt = 0x45000;  // the device setting block "IUP0"
bool BankValid(std::span<const std::uint8_t> bank);
// The bank the chip boots from, or -1.
int BootBank(std::span<const std::uint8_t> flash);
void SealBank(std::span<std::uint8_t> bank);
// INQUIRY vendor and product texts at 1552 and 1560 (zero-terminated); empty when not set.
std::string ImageText(std::span<const std::uint8_t> bank, std::size_t at, std::size_t length);
// The standby time the device setting block sets (100 ms units), when the block is valid:
// "IUP0", data length 12 at byte 7, BlockCrc16 of bytes 12-23 at 8 and of 0-9 at 10.
std::optional<std::uint32_t> SettingBlockStandby(std::span<const std::uint8_t> block);

// ---- the version the running firmware reports ----
// Every firmware image carries the six bytes IdentifyBridge reports as its version
// (answer bytes 6, 7, 12, 13, 14, 15; for kinds 21 to 29 bytes 6 and 7 are state bytes
// and only the last four count) in a version record. The record's offset in the storage
// the firmware boots from: 8 bytes into the boot block that carries the model text (0x4008
// for kinds 7 and 18, 0x1008 for kinds 9 and 11 to 13, whose firmware follows a 4096-byte
// configuration area, 0xBFF8 for kinds 19 and 20, 8 for the other flash kinds), and 1024
// into the running bank or image of kinds 21 to 29. Chips that run from ROM carry none.
std::optional<std::uint32_t> VersionRecordAt(std::uint8_t kind);
// The record of the image the board boots (flash, parallel flash, or the running image of
// the later families); nullopt when the chip has none or the record is blank.
std::optional<std::array<std::uint8_t, 6>> RunningImageVersion(const StorageView& s);
// Writes `version` into an image's record (an image placed from 0 of its storage).
void PutImageVersion(std::span<std::uint8_t> image, std::uint8_t kind,
                     const std::array<std::uint8_t, 6>& version);

// A USB string descriptor at `pos` (length byte, type 3, characters of one or two bytes).
std::string DecodeDescriptor(std::span<const std::uint8_t> b, std::size_t pos, std::size_t maxChars,
                             bool oneByte);

}  // namespace vq::sim
