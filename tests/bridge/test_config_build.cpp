// How a device's configuration block is made: the START rules, the family tables and the
// defaults a firmware image carries, the option bits by kind and the USB strings.
#include "bridge/ConfigBuild.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/bridge/FakeScsi.h"

namespace vq::bridge {
namespace {

using test::HexOf;
using Buf = std::vector<std::uint8_t>;

TEST(StartRules, EmptyIdsStringsAndTheSerial) {
    EXPECT_EQ(StartVid(""), 0x7E8A);
    EXPECT_EQ(StartVid("1"), 0x0001);
    EXPECT_EQ(StartVid("abcd9"), 0xABCD);
    EXPECT_EQ(StartPid("", 19), 0x2646);
    EXPECT_EQ(StartPid("", 30), 0x2426);
    EXPECT_EQ(StartPid("0125", 19), 0x0125);
    EXPECT_EQ(UsbString(""), std::nullopt);
    EXPECT_EQ(UsbString("<<<< NULL >>>>"), std::nullopt);
    EXPECT_EQ(UsbString("Maker"), "Maker");
    EXPECT_EQ(PaddedSerial("12345", false), "000000012345");
    EXPECT_EQ(PaddedSerial("12345", true), "12345");
    EXPECT_EQ(PaddedSerial("1234567890123", false), "1234567890123");
}

TEST(FamilyDefaults, TablesByKindAndTheImagesOwnBlock) {
    ConfigImage image;
    image.fill(0xEE);
    ApplyFamilyDefaults(13, image, nullptr);
    EXPECT_EQ(HexOf(Buf(image.begin() + 117, image.end())), "00 FF 41 FF FF 00 01 31 B0 56 51");
    EXPECT_EQ(image[82], 0x7B);
    EXPECT_EQ(image[0], 0xEE);  // kept
    image.fill(0xEE);
    ApplyFamilyDefaults(20, image, nullptr);
    EXPECT_EQ(image[45], 0x00);
    EXPECT_EQ(image[82], 0x00);
    EXPECT_EQ(image[127], 0x00);
    EXPECT_EQ(image[4], 0xEE);
    image.fill(0xEE);
    ApplyFamilyDefaults(27, image, nullptr);
    EXPECT_EQ(image[9], 0x01);
    EXPECT_EQ(image[47], 0xEE);
    image.fill(0xEE);
    ApplyFamilyDefaults(19, image, nullptr);
    EXPECT_EQ(image[47], 0x30);
    EXPECT_EQ(image[120], 0x00);
    image.fill(0xEE);
    ApplyFamilyDefaults(14, image, nullptr);  // no family table
    EXPECT_EQ(image[9], 0xEE);

    // With "VQ" at the marker, the image's own block gives the fixed bytes.
    Buf fw(0x10000, 0);
    for (std::size_t i = 0; i < 256; ++i)
        fw[0xC000 + i] = static_cast<std::uint8_t>(0x80 + i);
    fw[0xC0FE] = 'V';
    fw[0xC0FF] = 'Q';
    const FirmwareImage withBlock = FirmwareImage::FromBytes(fw);
    image.fill(0xEE);
    ApplyFamilyDefaults(19, image, &withBlock);
    EXPECT_EQ(image[9], 0x89);
    EXPECT_EQ(image[47], 0x80 + 47);
    EXPECT_EQ(image[0], 0xEE);  // not in the table: kept
    fw[0xC0FF] = 'X';
    const FirmwareImage noMarker = FirmwareImage::FromBytes(fw);
    ApplyFamilyDefaults(19, image, &noMarker);
    EXPECT_EQ(image[9], 0x01);
}

TEST(OptionBits, ByKind) {
    struct Row {
        const char* name;
        ChipKind kind;
        OptionSettings s;
        DeviceFacts f;
        std::size_t at;
        std::uint8_t before, after;
    } rows[] = {
        {"13 over 2 TB off, PW mode", 13, {0, false, true}, {}, 47, 0x30, 0x36},
        {"13 over 2 TB on", 13, {0, true, false}, {}, 47, 0x36, 0x30},
        {"13 multi-sector", 13, {2}, {}, 46, 0x00, 0x80},
        {"16 multi-sector on", 16, {1}, {}, 10, 0x00, 0x01},
        {"16 multi-sector off", 16, {0}, {}, 83, 0x1F, 0x0F},
        {"16 over 2 TB", 16, {0, true}, {}, 11, 0x00, 0x10},
        {"17 REU", 17, {0, false, false, true}, {0, 0, 0x05}, 117, 0x00, 0xD9},
        {"17 WD HDD", 17, {0, false, false, false, true}, {}, 124, 0x00, 0x01},
        {"17 register 0x70C8 bit 3", 17, {}, {0, 0, 0, 0x08}, 45, 0x40, 0x41},
        {"18 multi-sector on clears bit 4", 18, {1}, {}, 83, 0x10, 0x00},
        {"8 step 13 on", 8, {1}, {13}, 117, 0x00, 0x04},
        {"8 step 14 on", 8, {1}, {14}, 83, 0xC3, 0x03},
        {"8 step 48 wide sectors", 8, {1}, {48, 0x2000}, 83, 0x00, 0x10},
        {"8 step 30 wide sectors", 8, {1}, {30, 0x1000}, 117, 0x00, 0x04},
        {"8 step 60", 8, {1}, {60}, 10, 0x00, 0x01},
        {"8 off, step 13", 8, {0}, {13}, 117, 0x04, 0x00},
        {"8 off, other step", 8, {0}, {20}, 83, 0x00, 0xC0},
        {"8 over 2 TB, step 50", 8, {0, true}, {50}, 11, 0x00, 0x10},
        {"8 no over 2 TB, step 49", 8, {0, false}, {49}, 11, 0x00, 0x10},
        {"8 no over 2 TB, step 50", 8, {0, false}, {50}, 11, 0x00, 0x00},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ConfigImage image{};
        image[r.at] = r.before;
        ApplyOptionBits(r.kind, image, r.s, r.f);
        EXPECT_EQ(image[r.at], r.after);
    }
    ConfigImage image{};
    OptionSettings odd;
    odd.oddSize = 2;
    ApplyOptionBits(18, image, odd, {});
    EXPECT_EQ(HexOf(Buf(image.begin() + 118, image.begin() + 122)), "00 00 10 00");
}

TEST(ExtendedBlock, TheSecondHalfAndByte231) {
    ConfigImage image;
    image.fill(0x11);
    const Buf second(128, 0x22);
    OptionSettings s;
    s.enMultiSec = 1;
    s.oddSize = 1;
    const auto b = ExtendedBlock(19, image, second, "Maker", s);
    EXPECT_EQ(b[6], 10);
    EXPECT_EQ(b[14], 0);
    EXPECT_EQ(b[43], 0);
    EXPECT_EQ(b[44], 0x11);
    EXPECT_EQ(std::string(b.begin() + 200, b.begin() + 206), std::string("Maker\0", 6));
    EXPECT_EQ(b[130], 0x22);
    EXPECT_EQ(b[231], 0x22 | 0x20 | 0x04);
    EXPECT_EQ(HexOf(Buf(b.begin() + 232, b.begin() + 236)), "00 00 08 00");
    // Both options on for kind 19: both off.
    s.enOver2TBMulLun = true;
    s.oddSize = 0;
    EXPECT_EQ(ExtendedBlock(19, image, second, "", s)[231], 0x22 & ~0x30);
    // Other kinds: bit 5 only for EnMultiSec 1.
    s.enMultiSec = 2;
    EXPECT_EQ(ExtendedBlock(20, image, {}, "", s)[231] & 0x20, 0);
    // The second text: a descriptor of one-byte characters at the layout's position, cut to
    // 30 characters.
    const auto t = ExtendedBlock(25, image, {}, "", s, "Velmora Storage Products Incorporated", 12);
    EXPECT_EQ(HexOf(Buf(t.begin() + 12, t.begin() + 16)), "3E 03 56 65");
    EXPECT_EQ(std::string(t.begin() + 14, t.begin() + 44), "Velmora Storage Products Incor");
    EXPECT_EQ(t[44], 0x11);
}

TEST(UsbStrings, PlacedByLayout) {
    ConfigImage image{};
    // Type 2: two bytes a character; an absent product keeps the panel's mark.
    PlaceUsbStrings(image, LayoutOf(LayoutRow::StandardType2), 19, 2,
                    {std::string("AB"), std::nullopt, std::string("01")}, false);
    EXPECT_EQ(HexOf(Buf(image.begin() + 12, image.begin() + 18)), "06 03 41 00 42 00");
    EXPECT_EQ(image[52], 4);
    EXPECT_EQ(HexOf(Buf(image.begin() + 96, image.begin() + 100)), "06 03 30 00");
    // Type 3: one byte a character, '2' at 12 with Map to HDD String.
    image = {};
    PlaceUsbStrings(image, LayoutOf(LayoutRow::StandardType3), 19, 3,
                    {std::string("AB"), std::string("C"), std::nullopt}, true);
    EXPECT_EQ(image[12], '2');
    EXPECT_EQ(HexOf(Buf(image.begin() + 48, image.begin() + 51)), "04 03 43");
    // Kinds 14 to 18: an absent product becomes the default text.
    image = {};
    PlaceUsbStrings(image, LayoutOf(LayoutRow::StandardType2), 16, 2, {}, false);
    EXPECT_EQ(image[52], 2 * 21 + 2);  // "USB to ATA/ATAPI Bridge" cut to 21
    // Type 1 has no serial string: the product string is left whole.
    image = {};
    PlaceUsbStrings(image, LayoutOf(LayoutRow::StandardType1), 14, 1,
                    {std::nullopt, std::string(21, 'p'), std::string("99")}, false);
    EXPECT_EQ(image[96], 'p');
    // The parallel-flash model: one byte a character whatever the type.
    image = {};
    PlaceUsbStrings(image, LayoutOf(LayoutRow::ParallelNormal), 30, 1,
                    {std::string("ABC"), std::nullopt, std::nullopt}, false);
    EXPECT_EQ(HexOf(Buf(image.begin() + 24, image.begin() + 29)), "08 03 41 42 43");
}

TEST(DriveModel, FromTheIdentifyWords) {
    Buf id(512, 0);
    const std::string model = "VQ Emulated Disk";
    for (std::size_t i = 0; i < 40; ++i) {
        const char c = i < model.size() ? model[i] : ' ';
        id[54 + (i ^ 1)] = static_cast<std::uint8_t>(c);
    }
    EXPECT_EQ(DriveModelName(id), model);
}

}  // namespace
}  // namespace vq::bridge
