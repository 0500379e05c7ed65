#include "bridge/ImageCrc.h"

#include <array>

namespace vq::bridge {

namespace {

constexpr std::uint8_t Reverse8(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        r = static_cast<std::uint8_t>((r << 1) | ((b >> i) & 1));
    return r;
}

// Feeding a byte least significant bit first into a register that shifts left is feeding
// its mirror image most significant bit first: one table step per byte.
constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[i] = r;
    }
    return t;
}

constexpr std::array<std::uint8_t, 256> MakeReverseTable() {
    std::array<std::uint8_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i)
        t[i] = Reverse8(static_cast<std::uint8_t>(i));
    return t;
}

constexpr auto kCrc32Table = MakeCrc32Table();
constexpr auto kReverse = MakeReverseTable();

}  // namespace

std::uint32_t ImageCrc32(ConstBytes data) {
    std::uint32_t r = 0xFFFFFFFFu;
    const std::size_t groups = data.size() / 4;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* p = data.data() + 4 * g;
        for (int i = 3; i >= 0; --i)
            r = (r << 8) ^ kCrc32Table[(r >> 24) ^ kReverse[p[i]]];
    }
    return r;
}

std::uint16_t BlockCrc16(ConstBytes data) {
    std::uint16_t r = 0xFFFF;
    for (std::uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool in = (byte >> bit) & 1;
            r = ((r & 1) != in) ? static_cast<std::uint16_t>((r >> 1) ^ 0xD008) : r >> 1;
        }
    }
    std::uint16_t reversed = 0;
    for (int i = 0; i < 16; ++i)
        reversed = static_cast<std::uint16_t>((reversed << 1) | ((r >> i) & 1));
    return reversed;
}

}  // namespace vq::bridge
