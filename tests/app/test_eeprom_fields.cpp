// EEPROM field editing: what each edit writes into the working ConfigImage, byte for byte.
#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace vq {
namespace {

using test::PanelFixture;
using test::WithTestFile;

// A station with the default settings loaded (standard family, Type 3) and the EEPROM type
// combo unlocked.
void Loaded(PanelFixture& f, const std::string& rest = "") {
    f.load(WithTestFile(f, rest));
    f.op.clear();
    f["EEPROMType"].enabled = true;
}

void Desc(ConfigImage& e, std::size_t pos, std::string_view text, int width) {
    e[pos] = static_cast<std::uint8_t>(text.empty() ? 4 : 2 * text.size() + 2);
    e[pos + 1] = 3;
    for (std::size_t i = 0; i < text.size(); ++i)
        e[pos + 2 + i * static_cast<std::size_t>(width)] = static_cast<std::uint8_t>(text[i]);
}

std::string Hex(const ConfigImage& img) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < img.size(); ++i) {
        if (i % 16 == 0)
            s += '\n';
        s += d[img[i] >> 4];
        s += d[img[i] & 15];
        s += ' ';
    }
    return s;
}

#define EXPECT_IMAGE(actual, expected) EXPECT_EQ(Hex(actual), Hex(expected))

TEST(EepromImage, DefaultSettingsGiveTheType3Image) {
    PanelFixture f;
    Loaded(f);
    ConfigImage e{};
    const std::uint8_t head[] = {0x8A, 0x7E, 0x29, 0x24, 0x00, 0x01, 10, 2, 3, 1, 0x04, 0};
    std::copy(std::begin(head), std::end(head), e.begin());
    Desc(e, 12, "Velmora", 1);
    e[47] = 0x30;
    Desc(e, 48, "USB", 1);
    e[82] = 0x7B;
    e[83] = 0x02;
    Desc(e, 84, "012345", 1);
    e[124] = 0x08;
    e[126] = 'V';
    e[127] = 'Q';
    EXPECT_IMAGE(f.s.Config, e);
}

TEST(EepromImage, Type2ImageUsesTwoBytesPerCharacter) {
    PanelFixture f;
    Loaded(f);
    f.panel.userSelect("EEPROMType", 1);
    EXPECT_EQ(f.s.TableType, 2);
    EXPECT_EQ(f.s.Layout, LayoutOf(LayoutRow::StandardType2));
    ConfigImage e{};
    const std::uint8_t head[] = {0x8A, 0x7E, 0x29, 0x24, 0x00, 0x01, 10, 2, 3, 1, 0, 0};
    std::copy(std::begin(head), std::end(head), e.begin());
    Desc(e, 12, "Velmora", 2);
    Desc(e, 52, "USB", 2);
    Desc(e, 96, "012345", 2);
    e[124] = 0x08;
    e[126] = 'V';
    e[127] = 'Q';
    EXPECT_IMAGE(f.s.Config, e);
    EXPECT_TRUE(f["Panel4"].visible);
    EXPECT_FALSE(f["StrA2DiskStrChk"].visible);
    EXPECT_FALSE(f["StrA2SNChk"].visible);
    EXPECT_FALSE(f["StrAAutoInc"].visible);
    EXPECT_TRUE(f["Str3AutoInc"].visible);
}

TEST(EepromImage, Type1ImageStartsWithADeviceDescriptorAndHasNoSerial) {
    PanelFixture f;
    Loaded(f);
    f.panel.userSelect("EEPROMType", 0);
    EXPECT_EQ(f.s.TableType, 1);
    ConfigImage e{};
    const std::uint8_t head[] = {0x12, 0x01, 0x00, 0x02, 0,    0,  0, 0x40, 0x8A,
                                 0x7E, 0x29, 0x24, 0x00, 0x01, 10, 2, 5,    1};
    std::copy(std::begin(head), std::end(head), e.begin());
    Desc(e, 20, "Velmora", 2);
    Desc(e, 64, "USB", 2);
    e[126] = 'V';
    e[127] = 'Q';
    EXPECT_IMAGE(f.s.Config, e);
    EXPECT_FALSE(f["Panel4"].visible);
    EXPECT_TRUE(f["StrA2SNChk"].visible);
    EXPECT_FALSE(f["StrA2DiskStrChk"].visible);
    EXPECT_EQ(f["StrA2SNChk"].top, f["StrA2DiskStrChk"].top);
    EXPECT_EQ(f["StrA2SNChk"].left, f["StrA2DiskStrChk"].left);
    // The serial number is not written in this type.
    const ConfigImage before = f.s.Config;
    f.panel.userEdit("String3Edit", "999");
    EXPECT_EQ(f.s.Config, before);
}

TEST(VidPid, TextIsReadAsHexadecimalLowByteFirst) {
    PanelFixture f;
    Loaded(f);
    f.panel.userEdit("VendorIDEdit", "1");
    EXPECT_EQ(f.s.Config[0], 0x01);
    EXPECT_EQ(f.s.Config[1], 0x00);
    f.panel.userEdit("VendorIDEdit", "");
    EXPECT_EQ(f.s.Config[0], 0x00);
    EXPECT_EQ(f.s.Config[1], 0x00);
    f.panel.userEdit("ProductIDEdit", "0a10FF");
    EXPECT_EQ(f["ProductIDEdit"].text, "0a10");
    EXPECT_EQ(f.s.Config[2], 0x10);
    EXPECT_EQ(f.s.Config[3], 0x0A);
    f.panel.userSelect("EEPROMType", 0);
    EXPECT_EQ(f.s.Config[10], 0x10);  // Type 1: PID at 10
    f.panel.userEdit("VendorIDEdit", "1");
    EXPECT_EQ(f.s.Config[8], 0x01);
    EXPECT_EQ(f.s.Config[9], 0x00);
}

TEST(StringEncoding, NullMarkerWritesFourAtTheDescriptor) {
    PanelFixture f;
    Loaded(f);
    ConfigImage e = f.s.Config;
    f.panel.userEdit("StringBEdit", "<<<< NULL >>>>");
    e[48] = 4;
    EXPECT_IMAGE(f.s.Config, e);
}

TEST(StringEncoding, EmptyStringIsLengthFourTypeThreeThenClearedBytes) {
    PanelFixture f;
    Loaded(f);
    f.panel.userEdit("StringAEdit", "");
    EXPECT_EQ(f.s.Config[12], 4);
    EXPECT_EQ(f.s.Config[13], 3);
    for (std::size_t i = 14; i < 44; ++i)
        EXPECT_EQ(f.s.Config[i], 0) << i;
    EXPECT_EQ(f.s.Config[47], 0x30);
}

TEST(StringEncoding, CutAtThirtyWithType3) {
    PanelFixture f;
    Loaded(f);
    const std::string thirty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    f.panel.userEdit("StringAEdit", thirty);
    EXPECT_TRUE(f.panel.userKey("StringAEdit", '4'));
    EXPECT_EQ(f["StringAEdit"].text, thirty);
    EXPECT_EQ(f["StringAEdit"].caret, 29);
    EXPECT_EQ(f.s.Config[12], 62);
    EXPECT_EQ(f.s.Config[14 + 29], '3');
    // The next key goes in before the last character, which is then cut away.
    f.panel.userKey("StringAEdit", '9');
    EXPECT_EQ(f["StringAEdit"].text, thirty.substr(0, 29) + "9");
    EXPECT_EQ(f.s.Config[43], '9');
}

TEST(StringEncoding, CutAtTwentyTwoWithTheParallelFlashNormalItem) {
    PanelFixture f;
    Loaded(f);
    f.panel.AdjustAfterScan(ClassifyScan({{30, 0, 2}}, false));
    f["EEPROMType"].enabled = true;
    f.panel.userSelect("EEPROMType", 0);
    ASSERT_EQ(f.s.Layout, LayoutOf(LayoutRow::ParallelNormal));
    const std::string t22 = "ABCDEFGHIJKLMNOPQRSTUV";
    f.panel.userEdit("StringAEdit", t22);
    f.panel.userKey("StringAEdit", 'W');
    EXPECT_EQ(f["StringAEdit"].text, t22);
    EXPECT_EQ(f["StringAEdit"].caret, -1);  // cut without moving the caret
    // One byte per character, the cleared area is the maximum.
    EXPECT_EQ(f.s.Config[24], 46);
    EXPECT_EQ(f.s.Config[25], 3);
    EXPECT_EQ(f.s.Config[26], 'A');
    EXPECT_EQ(f.s.Config[27], 'B');
    EXPECT_EQ(f.s.Config[47], 'V');
    // NULL marker: 4 at the target for every target of this family.
    f.panel.userEdit("String3Edit", "<<<< NULL >>>>");
    EXPECT_EQ(f.s.Config[88], 4);
}

TEST(StringEncoding, SerialCharacterCheckAndMPSnAToZ) {
    PanelFixture f;
    Loaded(f);
    const ConfigImage before = f.s.Config;
    f.panel.userEdit("String3Edit", "12G4");
    EXPECT_EQ(f.s.Config, before);
    ASSERT_EQ(f.op.messages().size(), 1u);
    EXPECT_EQ(f.op.messages()[0].text, "Error Serial Number content (0-9 a-f A-F)!");
    EXPECT_EQ(f.op.messages()[0].title, "VQ5742x Mass Production Tool");
    EXPECT_EQ(f.op.messages()[0].icon, MessageIcon::None);

    PanelFixture g;
    Loaded(g, "MPSnAToZ=1\n");
    g.panel.userEdit("String3Edit", "12G4");
    EXPECT_TRUE(g.op.messages().empty());
    EXPECT_EQ(g.s.Config[84], 10);
    EXPECT_EQ(g.s.Config[88], 'G');
    g.panel.userEdit("String3Edit", "12-4");
    EXPECT_EQ(g.op.messages().size(), 1u);
    EXPECT_EQ(g.s.Config[88], 'G');

    // A text longer than the layout's maximum is cut, then checked once.
    PanelFixture h;
    Loaded(h);
    const ConfigImage kept = h.s.Config;
    h.panel.userEdit("String3Edit", std::string(100, 'G'));
    EXPECT_LT(h["String3Edit"].text.size(), 100u);
    EXPECT_EQ(h.op.messages().size(), 1u);
    EXPECT_EQ(h.s.Config, kept);
    // A long valid text is cut and written.
    h.op.clear();
    h.panel.userEdit("String3Edit", std::string(100, '7'));
    EXPECT_TRUE(h.op.messages().empty());
    EXPECT_EQ(h.s.Config[88], '7');
}

TEST(StringEncoding, StringCIsCutAtThirtyWithTheCaretBeforeItsLastCharacter) {
    PanelFixture f;
    Loaded(f);
    f.panel.userEdit("StringCEdit", std::string(35, 'c'));
    EXPECT_EQ(f["StringCEdit"].text, std::string(30, 'c'));
    EXPECT_EQ(f["StringCEdit"].caret, 29);
}

TEST(MapToHddString, TwentyFourCharactersOnAndOff) {
    PanelFixture f;
    Loaded(f);
    const std::string a24 = "ABCDEFGHIJKLMNOPQRSTUVWX";
    f.panel.userEdit("StringAEdit", a24);
    f.panel.userClick("StrA2DiskStrChk");
    EXPECT_EQ(f["VendorStrEdit"].text, "ABCDEFGH");
    EXPECT_EQ(f["ProdStrEdit"].text, "IJKLMNOPQRSTUVWX");
    EXPECT_FALSE(f["StringAEdit"].visible);
    EXPECT_TRUE(f["VendorStrEdit"].visible);
    EXPECT_TRUE(f["ProdStrEdit"].visible);
    EXPECT_TRUE(f["StrALabel"].visible);
    EXPECT_EQ(f.s.Config[6], 1);
    EXPECT_EQ(f.s.Config[10], 0x04 | 0x0A);
    ConfigImage e = f.s.Config;
    Desc(e, 12, a24, 1);
    for (std::size_t i = 38; i < 44; ++i)
        e[i] = 0;
    EXPECT_IMAGE(f.s.Config, e);

    f.panel.userClick("StrA2DiskStrChk");
    EXPECT_TRUE(f["StringAEdit"].visible);
    EXPECT_FALSE(f["VendorStrEdit"].visible);
    EXPECT_EQ(f["StringAEdit"].text, a24);
    EXPECT_EQ(f.s.Config[6], 10);
    EXPECT_EQ(f.s.Config[10], 0x04);
    EXPECT_EQ(f.s.Config[12], 50);
}

TEST(MapToHddString, PartsArePaddedIntoATwentyFourCharacterField) {
    PanelFixture f;
    Loaded(f);
    f.panel.userClick("StrA2DiskStrChk");
    f.panel.userEdit("VendorStrEdit", "VEL");
    f.panel.userEdit("ProdStrEdit", "Drive");
    EXPECT_EQ(f["StringAEdit"].text, "VEL     Drive");
    // 24 characters: the vendor padded with spaces, the product padded with zero bytes.
    EXPECT_EQ(f.s.Config[12], 50);
    EXPECT_EQ(f.s.Config[14], 'V');
    EXPECT_EQ(f.s.Config[17], ' ');
    EXPECT_EQ(f.s.Config[22], 'D');
    EXPECT_EQ(f.s.Config[27], 0);
    // Parts are limited to 8 and 16 characters.
    f.panel.userEdit("VendorStrEdit", "VENDOR-LONG");
    EXPECT_EQ(f["VendorStrEdit"].text, "VENDOR-L");
    EXPECT_EQ(f["VendorStrEdit"].caret, 7);

    // Off again: the vendor padded to 8 and the product, or the vendor alone.
    f.panel.userEdit("ProdStrEdit", "");
    f.panel.userClick("StrA2DiskStrChk");
    EXPECT_EQ(f["StringAEdit"].text, "VENDOR-L");
}

TEST(MapToHddString, NullMarkersInTheParts) {
    PanelFixture f;
    Loaded(f);
    f.panel.userClick("StrA2DiskStrChk");
    f.panel.userEdit("ProdStrEdit", "<<<< NULL >>>>");
    EXPECT_EQ(f["ProdStrEdit"].text, "");  // the other part is not NULL: emptied
    f.panel.userEdit("VendorStrEdit", "<<<< NULL >>>>");
    EXPECT_EQ(f["VendorStrEdit"].text, "");
    // Both NULL: 4 at the manufacturer string.
    f["ProdStrEdit"].text = "<<<< NULL >>>>";
    f.s.Config[12] = 0;
    f.panel.userEdit("VendorStrEdit", "<<<< NULL >>>>");
    EXPECT_EQ(f.s.Config[12], 4);
    EXPECT_EQ(f["VendorStrEdit"].text, "<<<< NULL >>>>");
    // Unchecking with both NULL leaves StringAEdit as it is.
    const std::string before = f["StringAEdit"].text;
    f.panel.userClick("StrA2DiskStrChk");
    EXPECT_EQ(f["StringAEdit"].text, before);
}

TEST(EepromTypeChange, Type3WithMapToHddStringAndChipKind17) {
    PanelFixture f;
    Loaded(f, "[VQEEPROM]\nMapToHDName=1\nStringA=ABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    EXPECT_EQ(f.s.Config[10], 0x0A);  // no ChipKind 17/18: the byte becomes 10
    EXPECT_EQ(f.s.Config[6], 1);
    EXPECT_EQ(f.s.Layout.stringA.maxChars, 30);

    f.panel.inputs().chipKind17or18Attached = true;
    f.panel.userSelect("EEPROMType", 2);
    EXPECT_EQ(f.s.Config[10], 0x0E);  // added to the template's bit 2
    EXPECT_EQ(f.s.Layout.stringA.maxChars, 20);
    EXPECT_EQ(f.s.Layout.serial.maxChars, 20);
    EXPECT_EQ(f.s.Layout.stringB.maxChars, 30);
    f.panel.userEdit("String3Edit", "0123456789012345678901234");
    EXPECT_EQ(f["String3Edit"].text.size(), 20u);
}

TEST(EepromTypeChange, EnableUsbFirstSetsBitTwoOfByte124) {
    PanelFixture f;
    Loaded(f);
    f["EnableUSBFirst"].checked = true;
    f.panel.userSelect("EEPROMType", 2);
    EXPECT_EQ(f.s.Config[124], 0x0C);
    f.panel.userSelect("EEPROMType", 0);
    EXPECT_EQ(f.s.Config[124], 0x00);
}

TEST(EepromTypeChange, RemembersTheFiveTextsAndWritesThemWithTheNewLimits) {
    PanelFixture f;
    Loaded(f);
    f.panel.userEdit("StringAEdit", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
    f.panel.userEdit("VendorIDEdit", "1D6B");
    f.panel.userSelect("EEPROMType", 1);
    EXPECT_EQ(f["StringAEdit"].text, "ABCDEFGHIJKLMNOPQR");  // Type 2 holds 18
    EXPECT_EQ(f.s.Config[12], 38);
    EXPECT_EQ(f.s.Config[0], 0x6B);
    EXPECT_EQ(f.s.Config[1], 0x1D);
    EXPECT_EQ(f["VendorIDEdit"].text, "1D6B");
}

TEST(MapToSerial, OfferedWithType1) {
    PanelFixture f;
    Loaded(f);
    f.panel.userSelect("EEPROMType", 0);
    f.panel.userEdit("StringAEdit", "abc12");
    f.panel.userClick("StrA2SNChk");
    EXPECT_EQ(f["StringAEdit"].text, "ABC12");
    EXPECT_TRUE(f["StrAAutoInc"].visible);
    EXPECT_TRUE(f["StringAEdit"].hexKeyFilter);
    EXPECT_EQ(f.s.Config[14], 1);
    EXPECT_EQ(f.s.Config[16], 10);
    EXPECT_TRUE(f.op.messages().empty());
    EXPECT_FALSE(f.panel.userKey("StringAEdit", 'x'));
    EXPECT_TRUE(f.panel.userKey("StringAEdit", 'e'));
    EXPECT_EQ(f["StringAEdit"].text, "ABC12E");

    f.panel.userClick("StrA2SNChk");
    EXPECT_FALSE(f["StrAAutoInc"].visible);
    EXPECT_FALSE(f["StringAEdit"].hexKeyFilter);
    EXPECT_EQ(f.s.Config[14], 10);
    EXPECT_EQ(f.s.Config[16], 5);

    f.panel.userEdit("StringAEdit", "ab-cd");
    f.panel.userClick("StrA2SNChk");
    EXPECT_EQ(f["StringAEdit"].text, "AB-cd");
    ASSERT_FALSE(f.op.messages().empty());
    EXPECT_EQ(f.op.messages().back().text, "Error Serial Number content (0-9 a-f A-F)!");
}

TEST(FromHddSerial, ProductIndexAndStringB) {
    PanelFixture f;
    Loaded(f, "[VQEEPROM]\nStrBFromHDSN=1\n");
    EXPECT_TRUE(f["StrBFromDiskSNChk"].visible);
    EXPECT_TRUE(f["StrBFromDiskSNChk"].checked);
    // The load applies the source-control rules after this box: with their boxes hidden
    // they enable StringBEdit again.
    EXPECT_TRUE(f["StringBEdit"].enabled);
    f.panel.userClick("StrBFromDiskSNChk");
    EXPECT_TRUE(f["StringBEdit"].enabled);
    EXPECT_EQ(f.s.Config[7], 11);  // StringB "USB" is set
    f.panel.userClick("StrBFromDiskSNChk");
    EXPECT_EQ(f.s.Config[7], 11);
    EXPECT_FALSE(f["StringBEdit"].enabled);
    f["StringBEdit"].text = "";
    f.panel.userClick("StrBFromDiskSNChk");
    EXPECT_EQ(f.s.Config[7], 2);
}

TEST(SourceControl, EnablesTheStringFieldsWhileShown) {
    PanelFixture f;
    Loaded(f);
    f["ManuProdSosctlchk"].visible = true;
    f["InquirySosctlchk"].visible = true;
    f.panel.ManuProdSosctlchkClick();
    f.panel.InquirySosctlchkClick();
    EXPECT_FALSE(f["StringBEdit"].enabled);
    EXPECT_FALSE(f["StringCEdit"].enabled);
    EXPECT_FALSE(f["VendorStrEdit"].enabled);
    f.panel.userClick("ManuProdSosctlchk");
    f.panel.userClick("InquirySosctlchk");
    EXPECT_TRUE(f["StringBEdit"].enabled);
    EXPECT_TRUE(f["StringCEdit"].enabled);
    EXPECT_TRUE(f["ProdStrEdit"].enabled);
    EXPECT_TRUE(f["StrALabel"].enabled);
    f.panel.userClick("ManuProdSosctlchk");
    f["ManuProdSosctlchk"].enabled = false;
    f.panel.ManuProdSosctlchkClick();
    EXPECT_TRUE(f["StringBEdit"].enabled);
}

}  // namespace
}  // namespace vq
