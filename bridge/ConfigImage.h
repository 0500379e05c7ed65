// The 128-byte bridge configuration block (ConfigImage): its layouts, the templates the
// settings panel loads for each EEPROM type, and the USB string-descriptor encoding.
//
// Multi-byte numbers in the block are little-endian. Where the main fields sit depends on
// the layout the settings panel chose with its EEPROM type combo box:
//
//   layout                       VID  PID  index bytes  option  manufacturer  product  serial
//   standard "Type 1"              8   10  14, 15, 16    none     20 / 21      64 / 21  96 / 13
//   standard "Type 2"              0    2   6,  7,  8    none     12 / 18      52 / 21  96 / 13
//   standard "Type 3"              0    2   6,  7,  8     10      12 / 30      48 / 30  84 / 30
//   parallel flash "Normal"        8   10  14, 15, 16    none     24 / 22      56 / 22  88 / 22
//   parallel flash "Type 3"        0    2   6,  7,  8     10      12 / 31      48 / 31  84 / 31
//
// (string columns: descriptor position / maximum number of characters). The layouts with
// the vendor ID at 8 carry a USB device descriptor at the start of the block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vq {

inline constexpr std::size_t kConfigImageSize = 128;
using ConfigImage = std::array<std::uint8_t, kConfigImageSize>;

// One string descriptor of the block: where it starts and how many characters it holds.
struct StringSlot {
    int position = 0;
    int maxChars = 0;
    bool operator==(const StringSlot&) const = default;
};

// ConfigLayout: where the settings panel writes into the ConfigImage (the "EEPROM layout
// table" of the panel). The PID position is always the VID position plus 2.
struct ConfigLayout {
    int vidPos = 0;
    int pidPos = 0;
    int mfrIndexPos = 0;     // one-byte string index of the manufacturer string
    int prodIndexPos = 0;    // ... of the product string
    int serialIndexPos = 0;  // ... of the serial-number string
    int flagPos = -1;        // option byte of the compact layouts; -1 when the layout has none
    StringSlot stringA;      // manufacturer string
    StringSlot stringB;      // product string
    StringSlot serial;       // serial-number string
    int charWidth = 2;       // bytes per character in the descriptors: 2, or 1 (compact types)
    bool operator==(const ConfigLayout&) const = default;
};

// The five layout rows the panel offers.
enum class LayoutRow { StandardType1, StandardType2, StandardType3, ParallelNormal, ParallelType3 };

const ConfigLayout& LayoutOf(LayoutRow row);

// The string index values the panel writes into the index bytes.
inline constexpr std::uint8_t kIndexFromDrive = 1;         // string taken from the drive's identity
inline constexpr std::uint8_t kIndexProduct = 2;           // product string present
inline constexpr std::uint8_t kIndexSerial = 3;            // serial string present
inline constexpr std::uint8_t kIndexNoSerial = 5;          // no serial string
inline constexpr std::uint8_t kIndexManufacturer = 10;     // manufacturer string present
inline constexpr std::uint8_t kIndexFromDriveSerial = 11;  // product string from the drive's S/N

// Bits of the option byte (flag byte) of the compact layouts.
inline constexpr std::uint8_t kFlagMapToDriveName = 0x02;  // USB strings from the drive's name
inline constexpr std::uint8_t kFlagShortStrings = 0x04;    // ChipKind 17/18: 20-character strings
inline constexpr std::uint8_t kFlagDriveInquiry = 0x08;    // INQUIRY strings from the drive
// Byte 124 of the Type 2 and Type 3 images (and the compact parallel-flash image).
inline constexpr std::size_t kUsbOptionByte = 124;
inline constexpr std::uint8_t kUsbOptionCompact = 0x08;      // set for the compact types
inline constexpr std::uint8_t kUsbOptionEnableFirst = 0x04;  // "Enable USB before Detect Device"

// A template of 128 entries: an entry of 0 to 255 is the byte to load, any other value
// (kKeepByte) leaves the image's byte as it is.
inline constexpr std::uint16_t kKeepByte = 4095;
using ConfigTemplate = std::array<std::uint16_t, kConfigImageSize>;

const ConfigTemplate& TemplateOf(LayoutRow row);

// Reloads an image from a template: the first 4 bytes are cleared, then every entry below
// 256 replaces the byte at its position.
void ApplyTemplate(ConfigImage& image, const ConfigTemplate& t);

// The string descriptor as the worker writes it into a configuration block: the slot of
// `slotSize` bytes after the two header bytes is cleared; byte 0 = 2 * n + 2 for n
// characters (0 when the text is empty), byte 1 = 3; then the characters, one byte each
// when `oneByteChars` is set or `tableType` is 3, otherwise the character followed by a
// zero byte. A text longer than `maxLength` is cut to it. Bytes past the end of `image` are
// never written.
void PutStringDescriptor(std::string_view text, int maxLength, std::span<std::uint8_t> image,
                         int position, int slotSize, bool oneByteChars, int tableType);

// The string descriptor as the settings panel writes it while the operator types: the
// `maxChars * width` bytes after the header are cleared; byte 0 = 2 * n + 2, or 4 when the
// text is empty; byte 1 = 3; then each character as one byte (width 1) or as the character
// and a zero byte (width 2). The caller has already cut the text to `maxChars`; bytes past
// the end of `image` are never written.
void PutPanelStringDescriptor(std::string_view text, int maxChars, int width,
                              std::span<std::uint8_t> image, int position);

// A 16-bit value at `position`, low byte first (nothing written past the end of `image`).
void PutConfigWord(std::span<std::uint8_t> image, int position, std::uint16_t value);

}  // namespace vq
