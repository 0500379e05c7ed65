#include "base/Text.h"

#include <gtest/gtest.h>

#include <limits>

namespace vq {
namespace {

TEST(Text, CaseInsensitiveCompareAndContains) {
    EXPECT_TRUE(EqualsNoCase("USBSTOR", "usbstor"));
    EXPECT_FALSE(EqualsNoCase("usbstor", "usbsto"));
    EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
    EXPECT_GT(CompareNoCase("b", "A"), 0);
    EXPECT_LT(CompareNoCase("ab", "ABC"), 0);
    EXPECT_EQ(CompareNoCase("", ""), 0);
    EXPECT_TRUE(ContainsNoCase("\\\\?\\usbstor#disk&ven_x", "USBSTOR"));
    EXPECT_TRUE(ContainsNoCase("anything", ""));
    EXPECT_FALSE(ContainsNoCase("scs", "scsi"));
    EXPECT_EQ(ToUpper("7e8a-z\xe9"), "7E8A-Z\xe9");  // only ASCII letters change
    EXPECT_EQ(ToLower("USB\\VID_7E8A"), "usb\\vid_7e8a");
}

TEST(Text, HexParsingLikeStrtoul) {
    EXPECT_EQ(ParseHex("7E8A"), 0x7E8Au);
    EXPECT_EQ(ParseHex("7e8a"), 0x7E8Au);
    EXPECT_EQ(ParseHex("1"), 1u);
    EXPECT_EQ(ParseHex(""), 0u);
    EXPECT_EQ(ParseHex("  0x1f"), 0x1Fu);
    EXPECT_EQ(ParseHex("0x"), 0u);
    EXPECT_EQ(ParseHex("0xG"), 0u);
    EXPECT_EQ(ParseHex("12G4"), 0x12u);
    EXPECT_EQ(ParseHex("G"), 0u);
    EXPECT_EQ(ParseHex("FFFFFFFFFF"), 0xFFFFFFFFu);
}

TEST(Text, DecimalParsingSaturatesAndReportsDigits) {
    bool ok = false;
    EXPECT_EQ(ParseDecimal(" -42x", &ok), -42);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ParseDecimal("abc", &ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ParseDecimal("99999999999999999999999"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(ParseDecimal("-99999999999999999999999"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ParseDecimal("+7"), 7);
    EXPECT_EQ(Trim("  a b \r\n"), "a b");
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

TEST(Text, ThirtyTwoBitDecimalsAndHexDigits) {
    EXPECT_EQ(ParseDecimal32("  123abc"), 123);
    EXPECT_EQ(ParseDecimal32("x"), 0);
    EXPECT_EQ(ParseDecimal32("99999999999"), 2147483647);
    EXPECT_EQ(ParseDecimal32("-99999999999"), -2147483647 - 1);
    EXPECT_EQ(HexDigitValue('7'), 7);
    EXPECT_EQ(HexDigitValue('b'), 11);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
}

}  // namespace
}  // namespace vq
