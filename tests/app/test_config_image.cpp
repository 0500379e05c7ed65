#include "bridge/ConfigImage.h"

#include <gtest/gtest.h>

#include <vector>

namespace vq {
namespace {

std::vector<std::uint8_t> Bytes(const ConfigImage& img, std::size_t from, std::size_t n) {
    return {img.begin() + static_cast<long>(from), img.begin() + static_cast<long>(from + n)};
}

TEST(ConfigLayout, RowsOfTheLayoutTable) {
    const auto& t1 = LayoutOf(LayoutRow::StandardType1);
    EXPECT_EQ(t1.vidPos, 8);
    EXPECT_EQ(t1.pidPos, 10);
    EXPECT_EQ(t1.mfrIndexPos, 14);
    EXPECT_EQ(t1.flagPos, -1);
    EXPECT_EQ(t1.stringA, (StringSlot{20, 21}));
    EXPECT_EQ(t1.stringB, (StringSlot{64, 21}));
    EXPECT_EQ(t1.serial, (StringSlot{96, 13}));
    EXPECT_EQ(t1.charWidth, 2);
    const auto& t2 = LayoutOf(LayoutRow::StandardType2);
    EXPECT_EQ(t2.stringA, (StringSlot{12, 18}));
    EXPECT_EQ(t2.stringB, (StringSlot{52, 21}));
    const auto& t3 = LayoutOf(LayoutRow::StandardType3);
    EXPECT_EQ(t3.flagPos, 10);
    EXPECT_EQ(t3.serial, (StringSlot{84, 30}));
    EXPECT_EQ(t3.charWidth, 1);
    const auto& pn = LayoutOf(LayoutRow::ParallelNormal);
    EXPECT_EQ(pn.stringA, (StringSlot{24, 22}));
    EXPECT_EQ(pn.serial, (StringSlot{88, 22}));
    const auto& p3 = LayoutOf(LayoutRow::ParallelType3);
    EXPECT_EQ(p3.stringB, (StringSlot{48, 31}));
    for (auto row : {LayoutRow::StandardType1, LayoutRow::StandardType2, LayoutRow::StandardType3,
                     LayoutRow::ParallelNormal, LayoutRow::ParallelType3})
        EXPECT_EQ(LayoutOf(row).pidPos, LayoutOf(row).vidPos + 2);
}

// Every template agrees with its layout: device descriptor or compact start, the
// default VID/PID at the layout's positions, the index bytes, the block marker.
TEST(ConfigTemplate, TemplatesAgreeWithTheirLayouts) {
    const LayoutRow rows[] = {LayoutRow::StandardType1, LayoutRow::StandardType2,
                              LayoutRow::StandardType3, LayoutRow::ParallelNormal,
                              LayoutRow::ParallelType3};
    for (auto row : rows) {
        const auto& t = TemplateOf(row);
        const auto& L = LayoutOf(row);
        SCOPED_TRACE(static_cast<int>(row));
        for (auto e : t)
            EXPECT_LT(e, 256);  // every byte of the panel's templates is fixed
        EXPECT_EQ(t[static_cast<std::size_t>(L.vidPos)], 0x8A);
        EXPECT_EQ(t[static_cast<std::size_t>(L.vidPos) + 1], 0x7E);
        EXPECT_EQ(t[static_cast<std::size_t>(L.pidPos)], 0x29);
        EXPECT_EQ(t[static_cast<std::size_t>(L.pidPos) + 1], 0x24);
        EXPECT_EQ(t[static_cast<std::size_t>(L.mfrIndexPos)], kIndexManufacturer);
        EXPECT_EQ(t[static_cast<std::size_t>(L.prodIndexPos)], kIndexProduct);
        EXPECT_EQ(t[126], 'V');
        EXPECT_EQ(t[127], 'Q');
        // Each string slot lies inside the block and clear of the marker.
        for (const auto& slot : {L.stringA, L.stringB, L.serial}) {
            const int width = (row == LayoutRow::ParallelNormal) ? 1 : L.charWidth;
            EXPECT_LE(slot.position + 2 + slot.maxChars * width, 126);
        }
    }
    EXPECT_EQ(TemplateOf(LayoutRow::StandardType1)[0], 0x12);  // device descriptor
    EXPECT_EQ(TemplateOf(LayoutRow::StandardType1)[1], 0x01);
    EXPECT_EQ(TemplateOf(LayoutRow::StandardType1)[16], kIndexNoSerial);
    EXPECT_EQ(TemplateOf(LayoutRow::StandardType3)[10], kFlagShortStrings);
    EXPECT_EQ(TemplateOf(LayoutRow::ParallelType3)[10], 0);
    EXPECT_EQ(TemplateOf(LayoutRow::StandardType3)[47], 0x30);
}

TEST(ConfigTemplate, ApplyClearsTheFirstFourBytesAndKeepsTheKeptOnes) {
    ConfigImage img;
    img.fill(0xEE);
    ConfigTemplate t;
    t.fill(kKeepByte);
    t[2] = kKeepByte;
    t[5] = 0x33;
    ApplyTemplate(img, t);
    EXPECT_EQ(Bytes(img, 0, 6), (std::vector<std::uint8_t>{0, 0, 0, 0, 0xEE, 0x33}));
    EXPECT_EQ(img[127], 0xEE);
}

TEST(PutStringDescriptor, EmptyGivesLengthZeroAndType3) {
    ConfigImage img;
    img.fill(0xEE);
    PutStringDescriptor("", 30, img, 12, 30, false, 3);
    EXPECT_EQ(img[12], 0);
    EXPECT_EQ(img[13], 3);
    for (int i = 14; i < 44; ++i)
        EXPECT_EQ(img[static_cast<std::size_t>(i)], 0);
    EXPECT_EQ(img[44], 0xEE);
}

TEST(PutStringDescriptor, OneOrTwoBytesPerCharacter) {
    ConfigImage img{};
    PutStringDescriptor("ABC", 31, img, 48, 31, true, 1);  // parallel-flash model
    EXPECT_EQ(Bytes(img, 48, 6), (std::vector<std::uint8_t>{0x08, 0x03, 'A', 'B', 'C', 0}));
    img = {};
    PutStringDescriptor("ABC", 21, img, 64, 42, false, 1);
    EXPECT_EQ(Bytes(img, 64, 9),
              (std::vector<std::uint8_t>{0x08, 0x03, 'A', 0, 'B', 0, 'C', 0, 0}));
    img = {};
    PutStringDescriptor("ABC", 30, img, 12, 30, false, 3);  // table type 3: one byte
    EXPECT_EQ(Bytes(img, 12, 6), (std::vector<std::uint8_t>{0x08, 0x03, 'A', 'B', 'C', 0}));
}

TEST(PutStringDescriptor, CutsToTheMaximumAndNeverWritesPastTheBlock) {
    ConfigImage img{};
    PutStringDescriptor("0123456789", 4, img, 0, 4, true, 1);
    EXPECT_EQ(Bytes(img, 0, 7), (std::vector<std::uint8_t>{10, 3, '0', '1', '2', '3', 0}));
    img.fill(0xEE);
    PutStringDescriptor("ABCDEFGH", 8, img, 120, 16, false, 1);
    EXPECT_EQ(img[120], 18);
    EXPECT_EQ(img[122], 'A');
    EXPECT_EQ(img[126], 'C');
    EXPECT_EQ(img[127], 0);
}

TEST(PutPanelStringDescriptor, EmptyGivesLengthFour) {
    ConfigImage img;
    img.fill(0xEE);
    PutPanelStringDescriptor("", 21, 2, img, 20);
    EXPECT_EQ(img[20], 4);
    EXPECT_EQ(img[21], 3);
    for (int i = 22; i < 64; ++i)
        EXPECT_EQ(img[static_cast<std::size_t>(i)], 0);
    EXPECT_EQ(img[64], 0xEE);
}

TEST(PutConfigWord, LowByteFirstAndBounded) {
    ConfigImage img{};
    PutConfigWord(img, 8, 0x7E8A);
    EXPECT_EQ(img[8], 0x8A);
    EXPECT_EQ(img[9], 0x7E);
    PutConfigWord(img, 127, 0x1234);
    EXPECT_EQ(img[127], 0x34);
    PutConfigWord(img, -1, 0x1234);
    EXPECT_EQ(img[0], 0x12);
}

}  // namespace
}  // namespace vq
