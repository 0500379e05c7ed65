// How one device's configuration block is made from the run's working block: the rules a
// run applies at START (empty VID and PID, absent strings, the serial's padding), the
// per-family defaults, the option bits by chip kind, and the USB strings the worker puts
// in. Pure functions over bytes; the caller supplies what it read from the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/ChipIdentity.h"
#include "bridge/ConfigImage.h"
#include "bridge/FirmwareImage.h"

namespace vq::bridge {

// ---- At START ---------------------------------------------------------------------------

inline constexpr std::uint16_t kDefaultVid = 0x7E8A;
// The VID of the settings text (hexadecimal, at most 4 digits read); empty gives 0x7E8A.
std::uint16_t StartVid(std::string_view text);
// The PID of the settings text; empty gives 0x2nnn, nnn the first chip's model number read
// as hexadecimal digits (model 646 gives 0x2646).
std::uint16_t StartPid(std::string_view text, ChipKind firstChip);
// A USB string of the settings: absent when it is empty or the NULL marker.
std::optional<std::string> UsbString(std::string_view text);
// The serial number as written: padded on the left with '0' to 12 characters when shorter,
// unless barcode mode is on.
std::string PaddedSerial(std::string_view serial, bool barcodeMode);

// ---- Per device -------------------------------------------------------------------------

// Whether the kind takes the second 128-entry family table (13, 19, 20, 25 to 29).
bool HasFamilyDefaults(ChipKind kind);
// Offset of the configuration block in a firmware image of the kind, and of its "VQ"
// marker; false for kinds without one.
bool FirmwareConfigBlock(ChipKind kind, std::size_t& block, std::size_t& marker);
// Applies the family table: every fixed entry replaces its byte; with `firmware` given
// (firmware update on) and carrying "VQ" at its marker offset, the fixed bytes are taken
// from the image's own block instead.
void ApplyFamilyDefaults(ChipKind kind, ConfigImage& image, const FirmwareImage* firmware);

// The settings the option bits follow.
struct OptionSettings {
    int enMultiSec = 0;            // EnMultiSec: 0 off, 1 or 2 on
    bool enOver2TBMulLun = false;  // EnOver2TBMulLun
    bool vq646PWMode = false;      // VQ646PWMode
    bool vqb614REU = false;        // VQB614REU
    bool vqb614WDHDD = false;      // VQB614WDHDD
    std::int32_t oddSize = 0;      // ODDSize
};
// What the option bits read from the device.
struct DeviceFacts {
    std::uint8_t chipStep = 0;          // ReadChipStep (kind 8)
    std::uint16_t identifyWord106 = 0;  // the drive's identify word 106 (kind 8)
    std::uint8_t register703B = 0;      // kinds 17, 18
    std::uint8_t register70C8 = 0;      // kind 17
};
void ApplyOptionBits(ChipKind kind, ConfigImage& image, const OptionSettings& settings,
                     const DeviceFacts& facts);

// The 256-byte block of kinds 19, 20 and 25 to 29: the 128-byte image, then the second
// half (from the device, or zeros), with byte 6 = 10, the manufacturer as plain text at
// 200-223, bytes 14-43 cleared and the option bits of byte 231. `secondText` (StringC, the
// manufacturer string of the boards that show the drive's string) goes in as a string
// descriptor of at most 30 one-byte characters at `secondAt`, the layout's manufacturer
// string position.
std::array<std::uint8_t, 256> ExtendedBlock(ChipKind kind, const ConfigImage& image,
                                            ConstBytes secondHalf, std::string_view manufacturer,
                                            const OptionSettings& settings,
                                            std::optional<std::string_view> secondText = {},
                                            std::size_t secondAt = 12);

// The three USB strings as the worker puts them into the block: `nullopt` is an absent
// string (its descriptor's length byte 4, as the panel leaves it).
struct UsbStrings {
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> serial;
};
inline constexpr const char* kDefaultProductText = "USB to ATA/ATAPI Bridge";
// Writes the strings at the layout's positions: one byte per character for the
// parallel-flash model and table type 3, two otherwise; for kinds 14 to 18 an absent product
// becomes "USB to ATA/ATAPI Bridge"; table type 3 with `mapToHdd` puts '2' at byte 12.
void PlaceUsbStrings(ConfigImage& image, const ConfigLayout& layout, ChipKind kind, int tableType,
                     const UsbStrings& strings, bool mapToHdd);

// The drive's model name from its identify data (words 27-46, two characters a word, high
// byte first), trailing blanks removed; it replaces the product text when MapToHDName is on.
std::string DriveModelName(ConstBytes identify512);

}  // namespace vq::bridge
