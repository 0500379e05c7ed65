#include "base/Bytes.h"

#include <gtest/gtest.h>

#include <array>

namespace vq {
namespace {

TEST(Bytes, ReadsBothByteOrdersAtOddOffsets) {
    const std::array<std::uint8_t, 11> b{0xAA, 0x01, 0x02, 0x03, 0x04, 0x05,
                                         0x06, 0x07, 0x08, 0x09, 0xBB};
    EXPECT_EQ(GetLE16(b, 1), 0x0201);
    EXPECT_EQ(GetBE16(b, 1), 0x0102);
    EXPECT_EQ(GetLE24(b, 3), 0x050403u);
    EXPECT_EQ(GetBE24(b, 3), 0x030405u);
    EXPECT_EQ(GetLE32(b, 1), 0x04030201u);
    EXPECT_EQ(GetBE32(b, 1), 0x01020304u);
    EXPECT_EQ(GetLE64(b, 1), 0x0807060504030201ull);
    EXPECT_EQ(GetBE64(b, 3), 0x03040506070809BBull);
}

TEST(Bytes, WritesBothByteOrdersWithoutTouchingNeighbours) {
    std::array<std::uint8_t, 12> b{};
    b.fill(0xEE);
    PutLE16(b, 1, 0x7E8A);
    PutBE32(b, 3, 0x11223344);
    PutLE24(b, 7, 0xABCDEF);
    const std::array<std::uint8_t, 12> want{0xEE, 0x8A, 0x7E, 0x11, 0x22, 0x33,
                                            0x44, 0xEF, 0xCD, 0xAB, 0xEE, 0xEE};
    EXPECT_EQ(b, want);

    std::array<std::uint8_t, 9> c{};
    PutBE64(c, 1, 0x0102030405060708ull);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(c[1], 1);
    EXPECT_EQ(c[8], 8);
    PutLE64(c, 1, 0x0102030405060708ull);
    EXPECT_EQ(c[1], 8);
    EXPECT_EQ(GetLE64(c, 1), 0x0102030405060708ull);
}

}  // namespace
}  // namespace vq
