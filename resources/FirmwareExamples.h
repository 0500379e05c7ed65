// The example firmware files in examples/firmware/ and the rule that makes their bytes.
//
// Real firmware is not part of this code base. The examples let an engineer try the
// firmware steps on the emulated boards: each is a valid image for one chip model (and,
// where the fit check asks for one, one chip revision), carrying every field the station's
// checks and the boards' boot code read, and a body that is otherwise pseudo-random.
//
// Every image (size `size`, for ChipKind `kind`) is made the same way:
//   1. the body: byte i is the low byte of an xorshift32 state seeded with the FNV-1a hash
//      of the file name, stepped once per byte;
//   2. the header at 0 (the "plain" header):
//        bytes  0..3   "VQFW"
//        bytes  4..7   the model text (the characters the fit check compares)
//        bytes  8..13  the version record: the six version bytes the firmware reports
//                      (identification answer bytes 6, 7, 12, 13, 14, 15); a board reads
//                      it from the record of its boot block (the marker blocks below, or
//                      this header where the image has none)
//        bytes 14..15  0
//        bytes 16..19  the image size, little-endian
//        bytes 20..31  0
//        bytes 32..63  the file name, NUL-padded (so a dump shows what it is)
//   3. the fields of the image's layout:
//        Plain         nothing more (firmware from flash address 0)
//        Signature5651 at 0x4000: 0x55 0xAA 0x56 0x51, the model text, the version record
//                      (kinds 7 and 18: the block the boot loader and the fit check find)
//        Signature433  at 4096: 0x55 0xAA 0xAA 0x55, the model text, the version record
//                      (kinds 11 to 13: the firmware after the 4096-byte configuration area)
//        MemoryCrc     at 0xBFF0: 0x55 0xAA 0xAA 0x55, the model text, the version record;
//                      at 0xC000 a 256-byte default configuration block (below) ending in
//                      "VQ" at 0xC0FE; at 0xBFFE the CRC-16 of bytes 0 to 0xBFFB (kinds 19
//                      and 20: polynomial 0x1021, initial 0, 32-bit little-endian words fed
//                      most significant nibble first), stored big-endian
//        ParallelFlash the configuration fields at 0x4000 to 0x41FF left erased (0xFF), so
//                      the board keeps showing its default identity until configured
//        LaterTwoBank  (kinds 21 to 24) bytes 3..5 the three model digits the fit check
//                      reads there; the version record again at 1024, where the board
//                      reads it (inside the configuration checksum's range); bank 1 (0x20000) a
//                      copy of bank 0; in each bank the header at 512 (0x5A 0xC3 0x69 0xE1, 0, the
//                      bank checksum) with its checksum at 1020, the configuration at 1536 (source
//                      switches 0, INQUIRY vendor "VQ" at 1552 and product "USB Bridge" at 1560
//                      with zero padding, descriptors "Velmora" at 1576 and "USB Bridge" at 1608 of
//                      one byte per character) with its checksum at 2044, and the bank checksum at
//                      0x1FFFC; all checksums big-endian, of the image checksum below; both banks
//                      alike, so the image is no clone firmware
//        LaterSingle   (kinds 25 to 29) bytes 4..5 the two probe bytes the fit check reads
//                      (705: 70 05, 702 revision 1: 07 02, revision 2: 70 22, 708: 70 08,
//                      712: 71 02, 930: 93 00); the version record again at 1024, where the
//                      board reads it; the 512-byte configuration sector behind the
//                      image (0xC400 for 25 and 26, 0x10400 for 27 to 29) holding the
//                      default configuration block (below) in its first 256 bytes and zeros
//   The image checksum of the two-bank images: a 32-bit register from 0xFFFFFFFF; the data
//   in groups of four bytes fed last byte first, each byte least significant bit first,
//   polynomial 0x04C11DB7 shifted in at the top; no final inversion.
//   The default configuration block of MemoryCrc images: vendor 0x7E8A and product 0x2nnn
//   (nnn the model number) little-endian at 0 and 2, device release 1.00 at 4, string
//   indexes 10, 2, 3 at 6-8, one configuration at 9, then string descriptors of one byte
//   per character: "Velmora" at 12, "USB Bridge" at 48, "000000000001" at 84; the rest 0.
//
// To add an image (a later family, another revision), add a row to kExampleFirmware, add a
// layout here when its fields differ, and run the generator (`make example-firmware`); the
// test of the examples fails until the shipped files equal the rule's output.
// This header is also compiled by the generator on the build machine, so it uses only the
// standard library.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vq::resources {

enum class FirmwareLayout : std::uint8_t {
    Plain,
    Signature5651,
    Signature433,
    MemoryCrc,
    ParallelFlash,
    LaterTwoBank,
    LaterSingle
};

struct ExampleFirmware {
    std::string_view file;                // name in examples/firmware/
    std::uint8_t kind;                    // ChipKind it is made for
    std::uint8_t revision;                // chip revision it fits (as identification gives it)
    std::uint32_t size;                   // bytes
    std::string_view model;               // four characters
    std::array<std::uint8_t, 6> version;  // identification bytes 6, 7, 12, 13, 14, 15
    FirmwareLayout layout;
};

inline constexpr ExampleFirmware kExampleFirmware[] = {
    // Serial flash from 0, configuration in the EEPROM. A v424 of revision 1 takes any
    // image whose model text does not begin "42"; the others take the model number and
    // the revision digit (revision - 1). A v429 without a sub-revision is revision 0.
    {"v424-rev1.bin", 1, 1, 0x8000, "V424", {3, 1, 0, 0, 0, 0}, FirmwareLayout::Plain},
    {"v429.bin", 4, 0, 0x8000, "429/", {3, 2, 0, 0, 0, 0}, FirmwareLayout::Plain},
    {"v429C0.bin", 4, 1, 0x8000, "4290", {3, 3, 0, 0, 0, 0}, FirmwareLayout::Plain},
    {"v429C3.bin", 4, 4, 0x8000, "4293", {3, 4, 0, 0, 0, 0}, FirmwareLayout::Plain},
    {"v427A1.bin", 15, 2, 0x8000, "4271", {3, 5, 0, 0, 0, 0}, FirmwareLayout::Plain},
    {"v427A3.bin", 16, 4, 0x8000, "4273", {3, 6, 0, 0, 0, 0}, FirmwareLayout::Plain},
    // The boot block at 0x4000: v429E keeps its firmware on the disk, v621 in the flash.
    {"v429E.bin", 7, 49, 0x8000, "429E", {3, 7, 3, 1, 0, 0}, FirmwareLayout::Signature5651},
    {"v621.bin", 18, 1, 0x8000, "6210", {3, 8, 3, 8, 0, 0}, FirmwareLayout::Signature5651},
    // v433: 4096-byte configuration block, then the firmware; the image is firmware only.
    {"v433.bin", 9, 1, 0x7000, "4330", {3, 9, 0, 0, 0, 0}, FirmwareLayout::Plain},
    // Configuration and firmware in one memory image.
    {"v438.bin", 12, 1, 0x10000, "4380", {8, 1, 1, 16, 0, 0}, FirmwareLayout::Signature433},
    {"v653.bin", 13, 1, 0x10000, "6530", {10, 2, 1, 16, 0, 0}, FirmwareLayout::Signature433},
    {"v646.bin", 19, 1, 0x10000, "6460", {0, 0, 2, 1, 3, 1}, FirmwareLayout::MemoryCrc},
    {"v688.bin", 20, 1, 0x10000, "6880", {0, 0, 2, 1, 3, 2}, FirmwareLayout::MemoryCrc},
    // The parallel-flash model: a model text that does not begin "42".
    {"v426.bin", 30, 1, 0x10000, "P426", {3, 10, 0, 0, 0, 0}, FirmwareLayout::ParallelFlash},
    // The later families: two banks of 0x20000 bytes for 21 to 24 (a v671 image also fits
    // the v673 and v675 of kind 21), one image and its configuration sector for 25 to 29.
    // Identification bytes 6 and 7 are state bytes there; 12 to 15 are the version.
    {"v671.bin", 21, 1, 0x40000, "671", {0, 0, 1, 2, 3, 21}, FirmwareLayout::LaterTwoBank},
    {"v672.bin", 22, 1, 0x40000, "672", {0, 0, 1, 2, 3, 22}, FirmwareLayout::LaterTwoBank},
    {"v673.bin", 23, 1, 0x40000, "673", {0, 0, 1, 2, 3, 23}, FirmwareLayout::LaterTwoBank},
    {"v675.bin", 24, 1, 0x40000, "675", {0, 0, 1, 2, 3, 24}, FirmwareLayout::LaterTwoBank},
    {"v705.bin", 25, 1, 0xC600, "705", {0, 0, 1, 2, 3, 25}, FirmwareLayout::LaterSingle},
    {"v702-A0.bin", 26, 1, 0xC600, "702", {0, 0, 1, 2, 3, 26}, FirmwareLayout::LaterSingle},
    {"v702-A1.bin", 26, 2, 0xC600, "702", {0, 0, 1, 2, 4, 26}, FirmwareLayout::LaterSingle},
    // A v702 of revision 2 whose mode byte has bit 4 set takes the longer image: 16 KiB at
    // 0xC600 behind the configuration sector, written to flash address 0x10000.
    {"v702-A1-long.bin", 26, 2, 0x10600, "702", {0, 0, 1, 2, 5, 26}, FirmwareLayout::LaterSingle},
    {"v708.bin", 27, 1, 0x10600, "708", {0, 0, 1, 2, 3, 27}, FirmwareLayout::LaterSingle},
    {"v712.bin", 28, 1, 0x10600, "712", {0, 0, 1, 2, 3, 28}, FirmwareLayout::LaterSingle},
    {"v930.bin", 29, 1, 0x10600, "930", {0, 0, 1, 2, 3, 29}, FirmwareLayout::LaterSingle},
};

namespace firmware_rule {

inline std::uint32_t Seed(std::string_view name) {
    std::uint32_t h = 2166136261u;
    for (char c : name) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 16777619u;
    }
    return h == 0 ? 1u : h;
}

inline void PutText(std::vector<std::uint8_t>& b, std::size_t at, std::string_view text) {
    for (std::size_t i = 0; i < text.size() && at + i < b.size(); ++i)
        b[at + i] = static_cast<std::uint8_t>(text[i]);
}

// Offset of the version record in an image (in each bank) of the later families.
inline constexpr std::size_t kLaterVersionAt = 1024;

inline void PutVersion(std::vector<std::uint8_t>& b, std::size_t at, const ExampleFirmware& f) {
    for (std::size_t i = 0; i < 6 && at + i < b.size(); ++i)
        b[at + i] = f.version[i];
}

inline void PutMarker(std::vector<std::uint8_t>& b, std::size_t at,
                      std::array<std::uint8_t, 4> head, const ExampleFirmware& f) {
    if (at + 14 > b.size())
        return;
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = head[i];
    PutText(b, at + 4, f.model.substr(0, 4));
    PutVersion(b, at + 8, f);
}

inline std::uint16_t Crc16Words(const std::vector<std::uint8_t>& b, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i + 4 <= length; i += 4) {
        const std::uint32_t word =
            static_cast<std::uint32_t>(b[i]) | static_cast<std::uint32_t>(b[i + 1]) << 8 |
            static_cast<std::uint32_t>(b[i + 2]) << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24;
        for (int shift = 28; shift >= 0; shift -= 4) {
            crc ^= static_cast<std::uint16_t>(((word >> shift) & 0xF) << 12);
            for (int bit = 0; bit < 4; ++bit)
                crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

inline void PutDescriptor(std::vector<std::uint8_t>& b, std::size_t at, std::string_view text) {
    b[at] = static_cast<std::uint8_t>(2 * text.size() + 2);
    b[at + 1] = 3;
    PutText(b, at + 2, text);
}

inline void PutDefaultConfig(std::vector<std::uint8_t>& b, std::size_t at,
                             const ExampleFirmware& f) {
    if (at + 256 > b.size())
        return;
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(at),
              b.begin() + static_cast<std::ptrdiff_t>(at + 256), std::uint8_t{0});
    unsigned number = 0;
    for (std::size_t i = 0; i < 3 && i < f.model.size(); ++i)
        number = number * 16 + static_cast<unsigned>(f.model[i] - '0');
    const unsigned pid = 0x2000 | (number & 0xFFF);
    b[at + 0] = 0x8A;
    b[at + 1] = 0x7E;
    b[at + 2] = static_cast<std::uint8_t>(pid);
    b[at + 3] = static_cast<std::uint8_t>(pid >> 8);
    b[at + 4] = 0x00;
    b[at + 5] = 0x01;
    b[at + 6] = 10;
    b[at + 7] = 2;
    b[at + 8] = 3;
    b[at + 9] = 1;
    PutDescriptor(b, at + 12, "Velmora");
    PutDescriptor(b, at + 48, "USB Bridge");
    PutDescriptor(b, at + 84, "000000000001");
    b[at + 254] = 'V';
    b[at + 255] = 'Q';
}

inline std::uint32_t ImageCrc32(const std::vector<std::uint8_t>& b, std::size_t from,
                                std::size_t length) {
    std::uint32_t r = 0xFFFFFFFFu;
    for (std::size_t g = 0; g + 4 <= length; g += 4) {
        for (int i = 3; i >= 0; --i) {
            const std::uint8_t byte = b[from + g + static_cast<std::size_t>(i)];
            for (int bit = 0; bit < 8; ++bit) {
                const bool in = (byte >> bit) & 1;
                const bool top = (r >> 31) & 1;
                r = in != top ? (r << 1) ^ 0x04C11DB7u : r << 1;
            }
        }
    }
    return r;
}

inline void PutBE32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// One bank of a two-bank image: configuration, its checksum, the bank checksum, the header.
inline void PutLaterBank(std::vector<std::uint8_t>& b, std::size_t bank) {
    b[bank + 1536] = 0;
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(bank + 1552),
              b.begin() + static_cast<std::ptrdiff_t>(bank + 1640), std::uint8_t{0});
    PutText(b, bank + 1552, "VQ");
    PutText(b, bank + 1560, "USB Bridge");
    PutDescriptor(b, bank + 1576, "Velmora");
    PutDescriptor(b, bank + 1608, "USB Bridge");
    PutBE32(b, bank + 2044, ImageCrc32(b, bank + 1024, 1020));
    PutBE32(b, bank + 0x1FFFC, ImageCrc32(b, bank, 0x1FFFC));
    const std::uint8_t marker[] = {0x5A, 0xC3, 0x69, 0xE1};
    for (std::size_t i = 0; i < 4; ++i) {
        b[bank + 512 + i] = marker[i];
        b[bank + 516 + i] = 0;
        b[bank + 520 + i] = b[bank + 0x1FFFC + i];
    }
    PutBE32(b, bank + 1020, ImageCrc32(b, bank, 1020));
}

// The two probe bytes of a kind 25 to 29 image.
inline std::array<std::uint8_t, 2> LaterProbe(std::uint8_t kind, std::uint8_t revision) {
    switch (kind) {
        case 25:
            return {0x70, 0x05};
        case 26:
            return revision == 2 ? std::array<std::uint8_t, 2>{0x70, 0x22}
                                 : std::array<std::uint8_t, 2>{0x07, 0x02};
        case 27:
            return {0x70, 0x08};
        case 28:
            return {0x71, 0x02};
        default:
            return {0x93, 0x00};
    }
}

}  // namespace firmware_rule

// The bytes of an example image by the rule above.
inline std::vector<std::uint8_t> MakeExampleFirmware(const ExampleFirmware& f) {
    using namespace firmware_rule;
    std::vector<std::uint8_t> b(f.size);
    std::uint32_t state = Seed(f.file);
    for (auto& byte : b) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state);
    }
    if (b.size() < 64)
        return b;
    PutMarker(b, 0, {'V', 'Q', 'F', 'W'}, f);
    b[14] = b[15] = 0;
    for (std::size_t i = 0; i < 4; ++i)
        b[16 + i] = static_cast<std::uint8_t>(f.size >> (8 * i));
    std::fill(b.begin() + 20, b.begin() + 64, std::uint8_t{0});
    PutText(b, 32, f.file.substr(0, 32));
    switch (f.layout) {
        case FirmwareLayout::Plain:
            break;
        case FirmwareLayout::Signature5651:
            PutMarker(b, 0x4000, {0x55, 0xAA, 0x56, 0x51}, f);
            break;
        case FirmwareLayout::Signature433:
            PutMarker(b, 4096, {0x55, 0xAA, 0xAA, 0x55}, f);
            break;
        case FirmwareLayout::MemoryCrc:
            if (b.size() < 0xC100)
                break;
            PutMarker(b, 0xBFF0, {0x55, 0xAA, 0xAA, 0x55}, f);
            PutDefaultConfig(b, 0xC000, f);
            {
                const std::uint16_t crc = Crc16Words(b, 0xBFFC);
                b[0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
                b[0xBFFF] = static_cast<std::uint8_t>(crc);
            }
            break;
        case FirmwareLayout::ParallelFlash:
            if (b.size() >= 0x4200)
                std::fill(b.begin() + 0x4000, b.begin() + 0x4200, std::uint8_t{0xFF});
            break;
        case FirmwareLayout::LaterTwoBank:
            if (b.size() < 0x40000)
                break;
            PutText(b, 3, f.model.substr(0, 3));
            PutVersion(b, kLaterVersionAt, f);
            std::copy(b.begin(), b.begin() + 0x20000, b.begin() + 0x20000);
            PutLaterBank(b, 0);
            PutLaterBank(b, 0x20000);
            break;
        case FirmwareLayout::LaterSingle: {
            const std::size_t sector = f.kind <= 26 ? 0xC400 : 0x10400;
            if (b.size() < sector + 512)
                break;
            const auto probe = LaterProbe(f.kind, f.revision);
            b[4] = probe[0];
            b[5] = probe[1];
            PutVersion(b, kLaterVersionAt, f);
            std::fill(b.begin() + static_cast<std::ptrdiff_t>(sector),
                      b.begin() + static_cast<std::ptrdiff_t>(sector + 512), std::uint8_t{0});
            PutDefaultConfig(b, sector, f);
            break;
        }
    }
    return b;
}

}  // namespace vq::resources
