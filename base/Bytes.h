// Little- and big-endian access to byte buffers. Every multi-byte field the station
// reads or writes (command blocks, descriptors, images, disk structures) goes through
// these helpers with an explicit offset, so no code depends on the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vq {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

namespace detail {
template <typename T, std::size_t N>
T GetLE(ConstBytes b, std::size_t off) {
    auto s = b.subspan(off, N);
    T v = 0;
    for (std::size_t i = N; i-- > 0;)
        v = static_cast<T>((v << 8) | s[i]);
    return v;
}
template <typename T, std::size_t N>
T GetBE(ConstBytes b, std::size_t off) {
    auto s = b.subspan(off, N);
    T v = 0;
    for (std::size_t i = 0; i < N; ++i)
        v = static_cast<T>((v << 8) | s[i]);
    return v;
}
template <typename T, std::size_t N>
void PutLE(Bytes b, std::size_t off, T v) {
    auto s = b.subspan(off, N);
    for (std::size_t i = 0; i < N; ++i)
        s[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
template <typename T, std::size_t N>
void PutBE(Bytes b, std::size_t off, T v) {
    auto s = b.subspan(off, N);
    for (std::size_t i = 0; i < N; ++i)
        s[N - 1 - i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace detail

inline std::uint16_t GetLE16(ConstBytes b, std::size_t off) {
    return detail::GetLE<std::uint16_t, 2>(b, off);
}
inline std::uint32_t GetLE24(ConstBytes b, std::size_t off) {
    return detail::GetLE<std::uint32_t, 3>(b, off);
}
inline std::uint32_t GetLE32(ConstBytes b, std::size_t off) {
    return detail::GetLE<std::uint32_t, 4>(b, off);
}
inline std::uint64_t GetLE64(ConstBytes b, std::size_t off) {
    return detail::GetLE<std::uint64_t, 8>(b, off);
}
inline std::uint16_t GetBE16(ConstBytes b, std::size_t off) {
    return detail::GetBE<std::uint16_t, 2>(b, off);
}
inline std::uint32_t GetBE24(ConstBytes b, std::size_t off) {
    return detail::GetBE<std::uint32_t, 3>(b, off);
}
inline std::uint32_t GetBE32(ConstBytes b, std::size_t off) {
    return detail::GetBE<std::uint32_t, 4>(b, off);
}
inline std::uint64_t GetBE64(ConstBytes b, std::size_t off) {
    return detail::GetBE<std::uint64_t, 8>(b, off);
}
inline void PutLE16(Bytes b, std::size_t off, std::uint16_t v) {
    detail::PutLE<std::uint16_t, 2>(b, off, v);
}
inline void PutLE24(Bytes b, std::size_t off, std::uint32_t v) {
    detail::PutLE<std::uint32_t, 3>(b, off, v);
}
inline void PutLE32(Bytes b, std::size_t off, std::uint32_t v) {
    detail::PutLE<std::uint32_t, 4>(b, off, v);
}
inline void PutLE64(Bytes b, std::size_t off, std::uint64_t v) {
    detail::PutLE<std::uint64_t, 8>(b, off, v);
}
inline void PutBE16(Bytes b, std::size_t off, std::uint16_t v) {
    detail::PutBE<std::uint16_t, 2>(b, off, v);
}
inline void PutBE24(Bytes b, std::size_t off, std::uint32_t v) {
    detail::PutBE<std::uint32_t, 3>(b, off, v);
}
inline void PutBE32(Bytes b, std::size_t off, std::uint32_t v) {
    detail::PutBE<std::uint32_t, 4>(b, off, v);
}
inline void PutBE64(Bytes b, std::size_t off, std::uint64_t v) {
    detail::PutBE<std::uint64_t, 8>(b, off, v);
}

}  // namespace vq
