// The two checksums the later bridge families keep in their firmware images and setting
// blocks.
#pragma once

#include <cstdint>

#include "base/Bytes.h"

namespace vq::bridge {

// 32-bit image checksum: register starting at 0xFFFFFFFF, polynomial 0x04C11DB7 shifted in
// at the top, no final inversion. The data is taken four bytes at a time (a trailing group
// of fewer than four bytes is ignored), each group fed from its last byte to its first and
// each byte from its least significant bit.
std::uint32_t ImageCrc32(ConstBytes data);

// 16-bit block checksum: register starting at 0xFFFF, shifted right with 0xD008 folded in
// whenever bit 0 and the data bit (least significant first) differ; the 16 register bits
// are reversed at the end.
std::uint16_t BlockCrc16(ConstBytes data);

}  // namespace vq::bridge
