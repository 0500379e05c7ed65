#include "bridge/ConfigImage.h"

namespace vq {

namespace {

constexpr ConfigLayout kLayouts[] = {
    // vid pid  mfr prod ser  flag  stringA    stringB    serial    width
    {8, 10, 14, 15, 16, -1, {20, 21}, {64, 21}, {96, 13}, 2},  // standard Type 1
    {0, 2, 6, 7, 8, -1, {12, 18}, {52, 21}, {96, 13}, 2},      // standard Type 2
    {0, 2, 6, 7, 8, 10, {12, 30}, {48, 30}, {84, 30}, 1},      // standard Type 3
    {8, 10, 14, 15, 16, -1, {24, 22}, {56, 22}, {88, 22}, 2},  // parallel flash "Normal"
    {0, 2, 6, 7, 8, 10, {12, 31}, {48, 31}, {84, 31}, 1},      // parallel flash "Type 3"
};

// Builds a template whose every byte is fixed (0 unless set).
class TemplateBuilder {
  public:
    TemplateBuilder() { t_.fill(0); }
    TemplateBuilder& set(std::size_t pos, std::uint16_t v) {
        t_[pos] = v;
        return *this;
    }
    TemplateBuilder& word(std::size_t pos, std::uint16_t v) {
        t_[pos] = v & 0xFF;
        t_[pos + 1] = v >> 8;
        return *this;
    }
    ConfigTemplate build() const { return t_; }

  private:
    ConfigTemplate t_{};
};

// The USB device descriptor the layouts with the vendor ID at 8 start with:
// bLength 18, type 1, USB 2.00, class/subclass/protocol 0 (per interface), EP0 packet 64,
// vendor 7E8A, product 2429, device release 1.00, string indexes, one configuration.
TemplateBuilder DeviceDescriptorStart(std::uint8_t serialIndex) {
    TemplateBuilder b;
    b.set(0, 0x12).set(1, 0x01).word(2, 0x0200).set(7, 0x40);
    b.word(8, 0x7E8A).word(10, 0x2429).word(12, 0x0100);
    b.set(14, kIndexManufacturer).set(15, kIndexProduct).set(16, serialIndex).set(17, 0x01);
    return b;
}

// The compact start of the Type 2 and Type 3 blocks: vendor 7E8A, product 2429, device
// release 1.00 (bytes 4-5), the three string indexes, byte 9 = 1 (one configuration),
// the option byte at 10 and a reserved byte at 11.
TemplateBuilder CompactStart(std::uint8_t optionByte) {
    TemplateBuilder b;
    b.word(0, 0x7E8A).word(2, 0x2429).set(4, 0x00).set(5, 0x01);
    b.set(6, kIndexManufacturer).set(7, kIndexProduct).set(8, kIndexSerial).set(9, 0x01);
    b.set(10, optionByte).set(11, 0x00);
    return b;
}

// Every template ends with the block marker "VQ" at 126-127; byte 124 (USB options) and
// 125 start as 0 (the EEPROM-type change sets the bits of byte 124 it needs).
ConfigTemplate Finish(TemplateBuilder b) {
    b.set(124, 0x00).set(125, 0x00).set(126, 'V').set(127, 'Q');
    return b.build();
}

const ConfigTemplate kTemplates[] = {
    // Standard Type 1: device descriptor 0-17, options 18-19, manufacturer 20-63, product
    // 64-107, options 108-125 (the serial-number area 96-123 of the layout overlaps the
    // product string: this type has no serial string, index byte 16 = 5).
    Finish(DeviceDescriptorStart(kIndexNoSerial)),
    // Standard Type 2: compact start 0-11, manufacturer 12-49, options 50-51, product
    // 52-95, serial 96-123.
    Finish(CompactStart(0x00)),
    // Standard Type 3: compact start 0-11 with option byte 0x04 (bridges of ChipKind 17
    // and 18 then hold 20-character strings), manufacturer 12-43, options 44-47 (47 =
    // 0x30), product 48-79, options 80-83 (82-83 = 0x027B), serial 84-115, options 116-125.
    Finish(CompactStart(kFlagShortStrings).set(47, 0x30).set(82, 0x7B).set(83, 0x02)),
    // Parallel flash "Normal": device descriptor 0-17 (serial index 3), options 18-23,
    // manufacturer 24-47, options 48-55, product 56-79, options 80-87, serial 88-111.
    Finish(DeviceDescriptorStart(kIndexSerial)),
    // Parallel flash "Type 3": compact start 0-11 (option byte 0), manufacturer 12-44,
    // product 48-80, serial 84-116.
    Finish(CompactStart(0x00)),
};

void PutByte(std::span<std::uint8_t> image, long pos, std::uint8_t v) {
    if (pos >= 0 && static_cast<std::size_t>(pos) < image.size())
        image[static_cast<std::size_t>(pos)] = v;
}

void Clear(std::span<std::uint8_t> image, long from, long count) {
    for (long i = 0; i < count; ++i)
        PutByte(image, from + i, 0);
}

void PutChars(std::string_view text, int width, std::span<std::uint8_t> image, long pos) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const long at = pos + static_cast<long>(i) * width;
        PutByte(image, at, static_cast<std::uint8_t>(text[i]));
        if (width == 2)
            PutByte(image, at + 1, 0);
    }
}

}  // namespace

const ConfigLayout& LayoutOf(LayoutRow row) {
    return kLayouts[static_cast<int>(row)];
}

const ConfigTemplate& TemplateOf(LayoutRow row) {
    return kTemplates[static_cast<int>(row)];
}

void ApplyTemplate(ConfigImage& image, const ConfigTemplate& t) {
    for (std::size_t i = 0; i < 4; ++i)
        image[i] = 0;
    for (std::size_t i = 0; i < kConfigImageSize; ++i) {
        if (t[i] < 256)
            image[i] = static_cast<std::uint8_t>(t[i]);
    }
}

void PutStringDescriptor(std::string_view text, int maxLength, std::span<std::uint8_t> image,
                         int position, int slotSize, bool oneByteChars, int tableType) {
    const std::size_t max = maxLength > 0 ? static_cast<std::size_t>(maxLength) : 0;
    if (text.size() > max)
        text = text.substr(0, max);
    const int width = (oneByteChars || tableType == 3) ? 1 : 2;
    Clear(image, position + 2L, slotSize);
    const std::size_t n = text.size();
    PutByte(image, position, n == 0 ? 0 : static_cast<std::uint8_t>(2 * n + 2));
    PutByte(image, position + 1L, 3);
    PutChars(text, width, image, position + 2L);
}

void PutPanelStringDescriptor(std::string_view text, int maxChars, int width,
                              std::span<std::uint8_t> image, int position) {
    const long cleared = static_cast<long>(maxChars > 0 ? maxChars : 0) * width;
    Clear(image, position + 2L, cleared);
    const std::size_t n = text.size();
    PutByte(image, position, n == 0 ? 4 : static_cast<std::uint8_t>(2 * n + 2));
    PutByte(image, position + 1L, 3);
    PutChars(text, width, image, position + 2L);
}

void PutConfigWord(std::span<std::uint8_t> image, int position, std::uint16_t value) {
    PutByte(image, position, static_cast<std::uint8_t>(value & 0xFF));
    PutByte(image, position + 1L, static_cast<std::uint8_t>(value >> 8));
}

}  // namespace vq
