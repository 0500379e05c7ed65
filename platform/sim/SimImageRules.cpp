#include "platform/sim/SimImageRules.h"

#include <algorithm>
#include <string>

#include "base/Bytes.h"

namespace vq::sim {

namespace {

// Parallel-flash descriptors may hold UTF-16 or one-byte characters; the device takes
// UTF-16 when every second byte of the text is zero.
std::string DecodeEitherDescriptor(std::span<const std::uint8_t> b, std::size_t pos,
                                   std::size_t maxChars) {
    if (pos + 2 > b.size() || b[pos + 1] != 3 || b[pos] < 2)
        return {};
    const std::size_t bytes = std::min<std::size_t>(b[pos] - 2u, 2 * maxChars);
    bool wide = bytes >= 2;
    for (std::size_t i = 1; i < bytes && pos + 2 + i < b.size(); i += 2)
        wide = wide && b[pos + 2 + i] == 0;
    return DecodeDescriptor(b, pos, maxChars, !wide);
}

}  // namespace

bool Blank(std::span<const std::uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; }) ||
           std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0x00; });
}

// Byte 0 the descriptor's length in bytes (2 + 2 n for n characters), byte 1 the type 3,
// then the characters, one byte each or two (character, 0).
std::string DecodeDescriptor(std::span<const std::uint8_t> b, std::size_t pos, std::size_t maxChars,
                             bool oneByte) {
    std::string s;
    if (pos + 2 > b.size() || b[pos + 1] != 3 || b[pos] < 2)
        return s;
    const std::size_t n = std::min<std::size_t>((b[pos] - 2u) / 2u, maxChars);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = pos + 2 + (oneByte ? i : 2 * i);
        if (at >= b.size() || b[at] == 0)
            break;
        s.push_back(static_cast<char>(b[at]));
    }
    return s;
}

bool HasExtendedBlock(std::uint8_t kind) {
    return kind == 19 || kind == 20 || (kind >= 25 && kind <= 29);
}

std::uint32_t FactoryImageLength(const BridgeProfile& p) {
    switch (p.kind) {
        case 19:
        case 20:
            return 0xC000;
        case 21:
        case 22:
        case 23:
        case 24:
            return 0x40000;
        case 25:
        case 26:
            return 0xC400;
        case 27:
        case 28:
        case 29:
            return 0x10400;
        default:
            return 0x8000;
    }
}

// Firmware is present when the first 16 bytes of the firmware area are neither all 0x00
// nor all 0xFF (ROM kinds always run firmware).
bool FirmwareFound(const StorageView& s) {
    const BridgeProfile& p = *s.profile;
    switch (p.firmware) {
        case FirmwareHome::Rom:
            return true;
        case FirmwareHome::SerialFlash:
        case FirmwareHome::Buffers:
            if (s.kind == 19 || s.kind == 20)
                return Crc16ImageValid(s.flash);
            if (s.kind >= 21 && s.kind <= 24)
                return BootBank(s.flash) >= 0;
            return p.firmwareOffset + 16 <= s.flash.size() &&
                   !Blank(s.flash.subspan(p.firmwareOffset, 16));
        case FirmwareHome::ParallelFlash:
            return s.parallel.size() >= 16 && !Blank(s.parallel.first(16));
    }
    return false;
}

std::span<const std::uint8_t> HeldConfigBlock(const StorageView& s) {
    const BridgeProfile& p = *s.profile;
    if (p.store == ConfigStore::Eeprom) {
        if (!s.diskConfig.empty())
            return s.diskConfig;
        if (!s.eeprom.empty())
            return s.eeprom;
        if (s.flash.size() >= 0x8080)
            return s.flash.subspan(0x8000, 128);
        return {};
    }
    if (p.store != ConfigStore::SerialFlash)
        return {};
    // The families with a 256-byte extended block hand out all of it; kind 26 keeps it at
    // 0xD000 or, when that sector is blank, at 0x1D000.
    const std::size_t len = HasExtendedBlock(s.kind) ? 256 : 128;
    std::size_t at = p.configOffset;
    if (s.kind == 26 && at + len <= s.flash.size() && Blank(s.flash.subspan(at, len)) &&
        0x1D000 + len <= s.flash.size())
        at = 0x1D000;
    if (at + len <= s.flash.size())
        return s.flash.subspan(at, len);
    return {};
}

// A block whose first two bytes are a USB device descriptor header (0x12, 0x01) is the
// descriptor layout: vendor ID at 8, product ID at 10, strings at 20, 64 and 96 with two
// bytes per character. Otherwise the IDs are at 0 and 2 and the position of the product
// string tells the layout: a descriptor type byte 3 at 49 means the compact layout
// (strings at 12, 48 and 84, one byte per character), a type byte at 53 the layout with
// strings at 12, 52 and 96 and two bytes per character. A blank block (all 0x00 or 0xFF),
// or one that fits none of these, leaves the chip's default identity.
UsbIdentity DecodeIdentity(const StorageView& s, bool firmware) {
    UsbIdentity id = *s.defaultIdentity;
    const BridgeProfile& prof = *s.profile;
    if (prof.store == ConfigStore::ParallelFlash) {
        const auto p = s.parallel;
        if (p.size() < 0x4160 || Blank(p.subspan(0x4008, 4)))
            return id;
        id.vid = GetLE16(p, 0x4008);
        id.pid = GetLE16(p, 0x400A);
        id.manufacturer = DecodeEitherDescriptor(p, 0x40A0, 31);
        id.product = DecodeEitherDescriptor(p, 0x40E0, 31);
        id.serial = DecodeEitherDescriptor(p, 0x4120, 31);
        return id;
    }
    if (prof.store == ConfigStore::ImageStrings) {
        const auto image = s.running.empty() ? s.flash : s.running;
        if (!firmware || image.size() < 2048)
            return id;
        const auto m = DecodeDescriptor(image, 1576, 15, true);
        const auto p = DecodeDescriptor(image, 1608, 15, true);
        if (!m.empty())
            id.manufacturer = m;
        if (!p.empty())
            id.product = p;
        return id;
    }
    const auto b = HeldConfigBlock(s);
    if (b.size() < 128 || Blank(b))
        return id;
    if (b[0] == 0x12 && b[1] == 0x01) {
        id.vid = GetLE16(b, 8);
        id.pid = GetLE16(b, 10);
        id.manufacturer = DecodeDescriptor(b, 20, 21, false);
        id.product = DecodeDescriptor(b, 64, 21, false);
        id.serial = DecodeDescriptor(b, 96, 13, false);
    } else if (b[49] == 3) {
        id.vid = GetLE16(b, 0);
        id.pid = GetLE16(b, 2);
        id.manufacturer = DecodeDescriptor(b, 12, 30, true);
        id.product = DecodeDescriptor(b, 48, 30, true);
        id.serial = DecodeDescriptor(b, 84, 30, true);
    } else if (b[53] == 3) {
        id.vid = GetLE16(b, 0);
        id.pid = GetLE16(b, 2);
        id.manufacturer = DecodeDescriptor(b, 12, 18, false);
        id.product = DecodeDescriptor(b, 52, 21, false);
        id.serial = DecodeDescriptor(b, 96, 13, false);
    }
    // The extended block carries the manufacturer as plain text at 200-223.
    if (b.size() >= 224) {
        std::string text;
        for (std::size_t i = 200; i < 224 && b[i] != 0 && b[i] != 0xFF; ++i)
            text.push_back(static_cast<char>(b[i]));
        if (!text.empty())
            id.manufacturer = text;
    }
    return id;
}

std::uint16_t WordCrc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const std::uint32_t word = GetLE32(bytes, i);
        for (int bit = 31; bit >= 0; --bit) {
            const bool in = ((word >> bit) & 1) != 0;
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (in != top)
                crc ^= 0x1021;
        }
    }
    return crc;
}

std::uint32_t ImageCrc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        for (int k = 3; k >= 0; --k) {
            const std::uint8_t b = bytes[i + static_cast<std::size_t>(k)];
            for (int bit = 0; bit < 8; ++bit) {
                const bool in = ((b >> bit) & 1) != 0;
                const bool top = (crc & 0x80000000u) != 0;
                crc <<= 1;
                if (in != top)
                    crc ^= 0x04C11DB7;
            }
        }
    }
    return crc;
}

std::uint16_t BlockCrc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool in = ((b >> bit) & 1) != 0;
            const bool low = (crc & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (in != low)
                crc ^= 0xD008;
        }
    }
    std::uint16_t r = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (crc & (1u << bit))
            r = static_cast<std::uint16_t>(r | (1u << (15 - bit)));
    }
    return r;
}

bool Crc16ImageValid(std::span<const std::uint8_t> flash) {
    if (flash.size() < kCrc16At + 2 || Blank(flash.first(16)))
        return false;
    return GetBE16(flash, kCrc16At) == WordCrc16(flash.first(kCrc16ImageEnd));
}

void SealCrc16Image(std::span<std::uint8_t> image) {
    if (image.size() >= kCrc16At + 2)
        PutBE16(image, kCrc16At, WordCrc16(image.first(kCrc16ImageEnd)));
}

bool BankValid(std::span<const std::uint8_t> bank) {
    static constexpr std::uint8_t kMarker[] = {0x5A, 0xC3, 0x69, 0xE1};
    if (bank.size() < kBankSize ||
        !std::equal(std::begin(kMarker), std::end(kMarker), bank.begin() + 512))
        return false;
    return GetBE32(bank, 1020) == ImageCrc32(bank.first(1020)) &&
           GetBE32(bank, 2044) == ImageCrc32(bank.subspan(1024, 1020)) &&
           GetBE32(bank, 520) == GetBE32(bank, kBankSize - 4);
}

int BootBank(std::span<const std::uint8_t> flash) {
    for (int b = 0; b < 2; ++b) {
        const std::size_t at = static_cast<std::size_t>(b) * kBankSize;
        if (at + kBankSize <= flash.size() && BankValid(flash.subspan(at, kBankSize)))
            return b;
    }
    return -1;
}

void SealBank(std::span<std::uint8_t> bank) {
    if (bank.size() < kBankSize)
        return;
    PutBE32(bank, 2044, ImageCrc32(bank.subspan(1024, 1020)));
    PutBE32(bank, kBankSize - 4, ImageCrc32(bank.first(kBankSize - 4)));
    const std::uint8_t marker[] = {0x5A, 0xC3, 0x69, 0xE1};
    std::copy(std::begin(marker), std::end(marker), bank.begin() + 512);
    PutBE32(bank, 516, 0);
    PutBE32(bank, 520, GetBE32(bank, kBankSize - 4));
    PutBE32(bank, 1020, ImageCrc32(bank.first(1020)));
}

std::string ImageText(std::span<const std::uint8_t> bank, std::size_t at, std::size_t length) {
    std::string s;
    for (std::size_t i = at; i < at + length && i < bank.size() && bank[i] != 0; ++i)
        s.push_back(static_cast<char>(bank[i]));
    if (s.find_first_not_of(' ') == std::string::npos || static_cast<unsigned char>(s[0]) == 0xFF)
        return {};
    return s;
}

std::optional<std::uint32_t> SettingBlockStandby(std::span<const std::uint8_t> b) {
    if (b.size() < 24 || b[0] != 'I' || b[1] != 'U' || b[2] != 'P' || b[3] != '0' || b[7] != 12)
        return std::nullopt;
    if (GetLE16(b, 8) != BlockCrc16(b.subspan(12, 12)) || GetLE16(b, 10) != BlockCrc16(b.first(10)))
        return std::nullopt;
    return b[16] == 1 ? GetBE32(b, 20) : 0u;
}

std::optional<std::uint32_t> VersionRecordAt(std::uint8_t kind) {
    const BridgeProfile& p = ProfileFor(kind);
    if (p.firmware == FirmwareHome::Rom)
        return std::nullopt;
    switch (kind) {
        case 7:
        case 18:
            return 0x4008;
        case 9:
        case 11:
        case 12:
        case 13:
            return 0x1008;
        case 19:
        case 20:
            return 0xBFF8;
        default:
            return kind >= 21 && kind <= 29 ? 1024 : 8;
    }
}

std::optional<std::array<std::uint8_t, 6>> RunningImageVersion(const StorageView& s) {
    const auto at = VersionRecordAt(s.kind);
    if (!at)
        return std::nullopt;
    std::span<const std::uint8_t> image = s.flash;
    if (s.kind >= 21 && s.kind <= 29)
        image = s.running;
    else if (s.profile->firmware == FirmwareHome::ParallelFlash)
        image = s.parallel;
    else if (!s.running.empty())
        image = s.running;
    if (*at + 6 > image.size() || Blank(image.subspan(*at, 6)))
        return std::nullopt;
    std::array<std::uint8_t, 6> v{};
    std::copy_n(image.begin() + *at, 6, v.begin());
    return v;
}

void PutImageVersion(std::span<std::uint8_t> image, std::uint8_t kind,
                     const std::array<std::uint8_t, 6>& version) {
    const auto at = VersionRecordAt(kind);
    if (!at)
        return;
    const std::size_t bank = kind >= 21 && kind <= 24 ? kBankSize : image.size();
    for (std::size_t b = 0; b + *at + 6 <= image.size(); b += bank)
        std::copy(version.begin(), version.end(), image.begin() + b + *at);
}

}  // namespace vq::sim
