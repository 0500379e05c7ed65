// The serial increment from device to device and the comparison with the maximum.
#include "run/Serials.h"

#include <gtest/gtest.h>

namespace vq {
namespace {

TEST(Serials, HexIncrement) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"00FF", "0100"}, {"FFFF", "0000"}, {"0009", "000A"}, {"000e", "000F"},   {"12G", "120"},
        {"1GF", "100"},   {"Z", "0"},       {"", ""},         {"0A\n9", "0B\n9"}, {"F", "0"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(HexIncrement(r.in), r.out) << r.in;
}

TEST(Serials, CompareDropsLeadingZeros) {
    EXPECT_FALSE(SerialGreater("0010", "0010"));
    EXPECT_TRUE(SerialGreater("0011", "0010"));
    EXPECT_FALSE(SerialGreater("000F", "10"));
    EXPECT_TRUE(SerialGreater("100", "0FF"));
    EXPECT_FALSE(SerialGreater("0000", "0"));
}

TEST(Serials, RepeatedSerialFindsTheWrapOfAShortSerial) {
    EXPECT_EQ(RepeatedSerial("0", 16), "");
    EXPECT_EQ(RepeatedSerial("1", 17), "1");
    // A letter beyond F turns to '0' without a carry: "G" is followed by 0..F, which wraps
    // back to "0" at the 17th device.
    EXPECT_EQ(RepeatedSerial("G", 16), "");
    EXPECT_EQ(RepeatedSerial("G", 18), "0");
    EXPECT_EQ(RepeatedSerial("000000000001", 16), "");
}

}  // namespace
}  // namespace vq
