#include "bridge/ConfigBuild.h"

#include <algorithm>

#include "base/Bytes.h"
#include "base/Text.h"

namespace vq::bridge {

namespace {

std::uint16_t Hex16(std::string_view text) {
    std::uint32_t v = 0;
    for (char c : text.substr(0, 4)) {
        const int d = HexDigitValue(c);
        if (d < 0)
            break;
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return static_cast<std::uint16_t>(v);
}

constexpr const char* kNullMarker = "<<<< NULL >>>>";

// A family table: fixed bytes (offset, value); every other byte is kept.
struct Fixed {
    std::uint8_t at;
    std::uint8_t value;
};

constexpr Fixed kKind13[] = {{4, 0x00},   {5, 0x01},   {9, 0x01},   {11, 0x00},  {13, 0x03},
                             {47, 0x30},  {49, 0x03},  {81, 0x00},  {82, 0x7B},  {83, 0x02},
                             {85, 0x03},  {117, 0x00}, {118, 0xFF}, {119, 0x41}, {120, 0xFF},
                             {121, 0xFF}, {122, 0x00}, {123, 0x01}, {124, 0x31}, {125, 0xB0},
                             {126, 0x56}, {127, 0x51}};
constexpr Fixed kKind20[] = {{9, 0x01},  {11, 0x00}, {13, 0x03}, {45, 0x00}, {46, 0x00}, {47, 0x00},
                             {49, 0x03}, {81, 0x00}, {82, 0x00}, {83, 0x00}, {85, 0x03}};
constexpr Fixed kLater[] = {{9, 0x01}, {11, 0x00}, {13, 0x03}, {49, 0x03}, {85, 0x03}};
constexpr Fixed kGeneral[] = {{4, 0x00},  {5, 0x01},  {9, 0x01},  {11, 0x00},
                              {13, 0x03}, {47, 0x30}, {49, 0x03}, {81, 0x00},
                              {82, 0x7B}, {83, 0x02}, {85, 0x03}};

// The fixed entries of a kind's table (0 to 255), 4095 for bytes kept.
ConfigTemplate FamilyTable(ChipKind kind) {
    ConfigTemplate t;
    t.fill(kKeepByte);
    auto put = [&](auto const& rows, bool zeroTail) {
        for (const Fixed& f : rows)
            t[f.at] = f.value;
        if (zeroTail) {
            for (std::size_t i = 117; i < 128; ++i)
                t[i] = 0;
        }
    };
    if (kind == 13)
        put(kKind13, false);
    else if (kind == 20)
        put(kKind20, true);
    else if (kind >= 25 && kind <= 29)
        put(kLater, true);
    else
        put(kGeneral, true);
    return t;
}

void SetBit(std::uint8_t& b, int bit, bool on) {
    if (on)
        b = static_cast<std::uint8_t>(b | (1u << bit));
    else
        b = static_cast<std::uint8_t>(b & ~(1u << bit));
}

}  // namespace

std::uint16_t StartVid(std::string_view text) {
    return text.empty() ? kDefaultVid : Hex16(text);
}

std::uint16_t StartPid(std::string_view text, ChipKind firstChip) {
    if (!text.empty())
        return Hex16(text);
    const std::string number = "2" + std::string(ChipNumber(firstChip));
    return Hex16(number);
}

std::optional<std::string> UsbString(std::string_view text) {
    if (text.empty() || text == kNullMarker)
        return std::nullopt;
    return std::string(text);
}

std::string PaddedSerial(std::string_view serial, bool barcodeMode) {
    std::string s(serial);
    if (!barcodeMode && s.size() < 12)
        s.insert(0, 12 - s.size(), '0');
    return s;
}

bool HasFamilyDefaults(ChipKind kind) {
    return kind == 13 || kind == 19 || kind == 20 || (kind >= 25 && kind <= 29);
}

bool FirmwareConfigBlock(ChipKind kind, std::size_t& block, std::size_t& marker) {
    switch (kind) {
        case 13:
            block = 0;
            marker = 126;
            return true;
        case 25:
        case 26:
            block = 0xC400;
            marker = 0xC4FE;
            return true;
        case 27:
        case 28:
        case 29:
            block = 0x10400;
            marker = 0x104FE;
            return true;
        case 19:
        case 20:
            block = 0xC000;
            marker = 0xC0FE;
            return true;
        default:
            return false;
    }
}

void ApplyFamilyDefaults(ChipKind kind, ConfigImage& image, const FirmwareImage* firmware) {
    if (!HasFamilyDefaults(kind))
        return;
    const ConfigTemplate table = FamilyTable(kind);
    std::size_t block = 0, marker = 0;
    const bool fromImage = firmware && FirmwareConfigBlock(kind, block, marker) &&
                           firmware->buffer()[marker] == 'V' &&
                           firmware->buffer()[marker + 1] == 'Q';
    for (std::size_t i = 0; i < kConfigImageSize; ++i) {
        if (table[i] > 255)
            continue;
        image[i] = fromImage ? firmware->buffer()[block + i] : static_cast<std::uint8_t>(table[i]);
    }
}

void ApplyOptionBits(ChipKind kind, ConfigImage& b, const OptionSettings& s, const DeviceFacts& f) {
    const bool multiSec = s.enMultiSec != 0;
    switch (kind) {
        case 8: {
            const std::uint8_t step = f.chipStep;
            const bool wideSectors = (f.identifyWord106 & 0x3000) != 0;
            if (multiSec) {
                if (step == 13)
                    SetBit(b[117], 2, true);
                else if (step == 14)
                    b[83] &= 0x3F;
                else if (step == 48 && wideSectors)
                    SetBit(b[83], 4, true);
                else if (step >= 10 && step <= 47 && wideSectors)
                    SetBit(b[117], 2, true);
                else if (step > 48) {
                    SetBit(b[83], 4, true);
                    SetBit(b[10], 0, true);
                }
            } else if (step == 13) {
                SetBit(b[117], 2, false);
            } else {
                b[83] |= 0xC0;
            }
            if ((s.enOver2TBMulLun && step == 50) ||
                (!s.enOver2TBMulLun && (step == 48 || step == 49)))
                SetBit(b[11], 4, true);
            break;
        }
        case 13:
            b[47] &= static_cast<std::uint8_t>(~0x06);
            SetBit(b[47], 2, !s.enOver2TBMulLun);
            SetBit(b[47], 1, s.vq646PWMode);
            SetBit(b[46], 7, multiSec);
            break;
        case 16:
            SetBit(b[10], 0, multiSec);
            SetBit(b[83], 4, multiSec);
            SetBit(b[11], 4, s.enOver2TBMulLun);
            break;
        case 17:
        case 18:
            if (s.vqb614REU)
                b[117] = static_cast<std::uint8_t>(((f.register703B & 7) << 4) | 0x89);
            if (kind == 17) {
                if ((f.register70C8 & 0x08) && (b[45] & 0x3F) == 0)
                    SetBit(b[45], 0, true);
                if (s.vqb614WDHDD)
                    SetBit(b[124], 0, true);
            }
            SetBit(b[83], 4, !multiSec);
            if (kind == 18 && s.oddSize > 0)
                PutBE32(b, 118, static_cast<std::uint32_t>(s.oddSize) * 2048u);
            break;
        default:
            break;
    }
}

std::array<std::uint8_t, 256> ExtendedBlock(ChipKind kind, const ConfigImage& image,
                                            ConstBytes secondHalf, std::string_view manufacturer,
                                            const OptionSettings& s,
                                            std::optional<std::string_view> secondText,
                                            std::size_t secondAt) {
    std::array<std::uint8_t, 256> b{};
    std::copy(image.begin(), image.end(), b.begin());
    std::copy_n(secondHalf.begin(), std::min<std::size_t>(secondHalf.size(), 128), b.begin() + 128);
    b[6] = 10;
    std::fill(b.begin() + 200, b.begin() + 224, std::uint8_t{0});
    for (std::size_t i = 0; i < manufacturer.size() && i < 24; ++i)
        b[200 + i] = static_cast<std::uint8_t>(manufacturer[i]);
    std::fill(b.begin() + 14, b.begin() + 44, std::uint8_t{0});
    if (secondText && secondAt + 2 + 30 <= 128)
        PutStringDescriptor(*secondText, 30, std::span(b).first(128), static_cast<int>(secondAt),
                            30, true, 3);
    bool multiSec = s.enMultiSec == 1;
    bool over2TB = false;
    if (kind == 19) {
        multiSec = s.enMultiSec != 0;
        over2TB = s.enOver2TBMulLun;
        if (multiSec && over2TB)
            multiSec = over2TB = false;
        SetBit(b[231], 4, over2TB);
        if (s.oddSize > 0) {
            SetBit(b[231], 2, true);
            PutBE32(b, 232, static_cast<std::uint32_t>(s.oddSize) * 2048u);
        }
    }
    SetBit(b[231], 5, multiSec);
    return b;
}

void PlaceUsbStrings(ConfigImage& image, const ConfigLayout& layout, ChipKind kind, int tableType,
                     const UsbStrings& strings, bool mapToHdd) {
    const bool parallel = kind == 30 || kind == 35;
    const bool oneByte = parallel || tableType == 3;
    auto put = [&](const std::optional<std::string>& text, const StringSlot& slot) {
        if (slot.maxChars <= 0)
            return;
        if (!text) {
            // Absent: the descriptor's length byte as the panel marks it.
            image[static_cast<std::size_t>(slot.position)] = 4;
            return;
        }
        const int slotSize = oneByte ? slot.maxChars : 2 * slot.maxChars;
        PutStringDescriptor(*text, slot.maxChars, image, slot.position, slotSize, parallel,
                            tableType);
    };
    put(strings.manufacturer, layout.stringA);
    std::optional<std::string> product = strings.product;
    if (!product && kind >= 14 && kind <= 18)
        product = kDefaultProductText;
    put(product, layout.stringB);
    // Type 1 has no serial string: its serial slot lies inside the product string.
    if (!(layout.vidPos == 8 && !parallel && tableType == 1))
        put(strings.serial, layout.serial);
    if (tableType == 3 && mapToHdd)
        image[12] = '2';
}

std::string DriveModelName(ConstBytes id) {
    std::string name;
    for (std::size_t w = 27; w <= 46 && 2 * w + 1 < id.size(); ++w) {
        name.push_back(static_cast<char>(id[2 * w + 1]));
        name.push_back(static_cast<char>(id[2 * w]));
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0'))
        name.pop_back();
    return name;
}

}  // namespace vq::bridge
