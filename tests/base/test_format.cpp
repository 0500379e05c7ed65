#include "base/Format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vq {
namespace {

TEST(Format, HexWithWidthAndCase) {
    EXPECT_EQ(Format("%04X", 0x7E8A), "7E8A");
    EXPECT_EQ(Format("%04X", 0xA), "000A");
    EXPECT_EQ(Format("%04X", 0x12345), "12345");
    EXPECT_EQ(Format("%04X", -1), "FFFFFFFF");
    EXPECT_EQ(Format("%02X", 5), "05");
    EXPECT_EQ(Format("%02X", std::uint8_t{0xFF}), "FF");
    EXPECT_EQ(Format("%02X %02X", 0x1, 0xAB), "01 AB");
    EXPECT_EQ(Format("%x%x", 0x1, 0xc), "1c");
    EXPECT_EQ(Format("%x0%x", 0x2, 0xa), "20a");
}

TEST(Format, DecimalPrecisionWidthAndSign) {
    EXPECT_EQ(Format("%.2d", 5), "05");
    EXPECT_EQ(Format("%.2d", -5), "-05");
    EXPECT_EQ(Format("%.2d", 123), "123");
    EXPECT_EQ(Format("%06d", 42), "000042");
    EXPECT_EQ(Format("%06d", -42), "-00042");
    EXPECT_EQ(Format("%03d", 7), "007");
    EXPECT_EQ(Format("%03d", 1234), "1234");
    EXPECT_EQ(Format("%d Port : GetDiskLetter Fail %d times!!\n", 3, 101),
              "3 Port : GetDiskLetter Fail 101 times!!\n");
    EXPECT_EQ(Format("%5d|%-5d|", -12, 7), "  -12|7    |");
}

TEST(Format, IntegerArgumentsTakeTheConversionsSize) {
    // As on Windows: plain and "l" conversions are 32 bits, "I64"/"ll" are 64.
    EXPECT_EQ(Format("%d", std::int64_t{0x100000005}), "5");
    EXPECT_EQ(Format("%ld", std::int64_t{-1}), "-1");
    EXPECT_EQ(Format("%u", -1), "4294967295");
    EXPECT_EQ(Format("%hd", 70000), "4464");
    EXPECT_EQ(Format("%I64d", std::int64_t{1234567890123}), "1234567890123");
    EXPECT_EQ(Format("%I64d", std::int64_t{-9000000000}), "-9000000000");
    EXPECT_EQ(Format("%I64u", std::uint64_t{18446744073709551615ull}), "18446744073709551615");
    EXPECT_EQ(Format("%lld", std::int64_t{-2}), "-2");
}

TEST(Format, FloatingPoint) {
    EXPECT_EQ(Format("%.1f", 12.345), "12.3");
    EXPECT_EQ(Format("%.1f", 99.96), "100.0");
    EXPECT_EQ(Format("%.1f", -3.14), "-3.1");
    EXPECT_EQ(Format("%.1f", 0), "0.0");
    EXPECT_EQ(Format("%5.1f MB/s", 7.25f), "  7.2 MB/s");
    EXPECT_EQ(Format("%f", 1.5), "1.500000");
    EXPECT_EQ(Format("%g seconds", 0.25), "0.25 seconds");
}

TEST(Format, NarrowAndWideStrings) {
    EXPECT_EQ(Format("%s", "abc"), "abc");
    EXPECT_EQ(Format("%ws", std::u16string(u"Port")), "Port");
    EXPECT_EQ(Format("%ls:%S", u"A", u"B"), "A:B");
    EXPECT_EQ(Format("%ws", u"\u00e9\u4e2d"), "\xe9?");
    EXPECT_EQ(Format("%-5s|%5s|", "ab", "cd"), "ab   |   cd|");
    EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
    EXPECT_EQ(Format("%04s / %04s / %s", "7e8a", "2429", "x"), "7e8a / 2429 / x");
    EXPECT_EQ(Format("%c%c", 'O', 75), "OK");
}

TEST(Format, PercentMissingArgumentsAndOddSpecs) {
    EXPECT_EQ(Format("%d percent completed.\r", 50), "50 percent completed.\r");
    EXPECT_EQ(Format("100%%"), "100%");
    EXPECT_EQ(Format("[%s][%d]"), "[][0]");
    EXPECT_EQ(Format("%*d|%-*d|", 4, 1, 3, 2), "   1|2  |");
    EXPECT_EQ(Format("tail %"), "tail %");
    EXPECT_EQ(Format("%y"), "%y");
}

}  // namespace
}  // namespace vq
