// The built-in images of resource type "FW" and the rule that makes their bytes.
//
// The real images are not part of this code base. Each one is made deterministically:
//   bytes  0..31  the image name in ASCII, NUL-padded (so a dump shows what it is);
//   bytes 32..35  the image size, little-endian;
//   bytes 36..    a pseudo-random body: xorshift32 seeded with the FNV-1a hash of the name,
//                 one byte per step (the low byte of the state).
// The build generates the images with this rule and embeds them in the programs; the
// emulated bridges accept an image by checking the same rule.
// This header is also compiled by the build-time generator, so it uses only the
// standard library and no project headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vq::resources {

struct ImageInfo {
    std::string_view type;
    std::string_view name;
    std::size_t size;
};

inline constexpr ImageInfo kBuiltInImages[] = {
    {"FW", "VQS671_ROM0_MFG", 65536},   {"FW", "VQS672_ROM0_MFG", 65536},
    {"FW", "VQS671_ROM1_MFG", 65536},   {"FW", "VQS672_ROM1_MFG", 65536},
    {"FW", "VQS673_ROM1_MFG", 65536},   {"FW", "VQS675_ROM1_MFG", 65536},
    {"FW", "VQS703_ROM0_MFG", 50176},   {"FW", "VQS702_ROM_MFG_A0", 50176},
    {"FW", "VQS702_ROM_MFG_A1", 50176}, {"FW", "VQS708_ROM0_MFG", 65536},
    {"FW", "VQS712_ROM0_MFG", 65536},   {"FW", "VQB418FW", 32768},
};

inline constexpr std::size_t kImageHeaderSize = 36;

inline std::uint32_t ImageSeed(std::string_view name) {
    std::uint32_t h = 2166136261u;
    for (char c : name) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 16777619u;
    }
    return h == 0 ? 1u : h;
}

// Byte `offset` of the image of this name and size.
class ImageByteStream {
  public:
    ImageByteStream(std::string_view name, std::size_t size)
        : name_(name), size_(size), state_(ImageSeed(name)) {}

    std::uint8_t next() {
        const std::size_t i = pos_++;
        if (i < 32)
            return i < name_.size() ? static_cast<std::uint8_t>(name_[i]) : 0;
        if (i < kImageHeaderSize)
            return static_cast<std::uint8_t>(size_ >> (8 * (i - 32)));
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<std::uint8_t>(state_);
    }

  private:
    std::string_view name_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint32_t state_;
};

// True when `data` is exactly the image of this name made by the rule above.
inline bool MatchesImageRule(std::string_view name, const std::uint8_t* data, std::size_t size) {
    ImageByteStream s(name, size);
    for (std::size_t i = 0; i < size; ++i) {
        if (s.next() != data[i])
            return false;
    }
    return true;
}

}  // namespace vq::resources
