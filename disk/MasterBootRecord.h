// The master boot record the station carries: the boot code of disk/mbr/mbr.asm (loads the
// active partition's boot sector), the disk signature, an empty partition table and the
// boot signature.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vq::disk {

inline constexpr std::size_t kMbrBootCodeSize = 446;
inline constexpr std::size_t kMbrSignatureOffset = 440;

// The whole 512-byte sector.
const std::array<std::uint8_t, 512>& BuiltInMasterBootRecord();

}  // namespace vq::disk
