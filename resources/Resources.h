// Images embedded in the programs, looked up by resource type and name (both matched
// without regard to case, as the system's resource lookup does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vq::resources {

struct EmbeddedImage {
    const char* type;
    const char* name;
    const unsigned char* data;
    std::size_t size;
};

extern const EmbeddedImage kEmbeddedImages[];
extern const std::size_t kEmbeddedImageCount;

std::span<const EmbeddedImage> AllResources();

// The bytes of the resource, or nullopt when there is none of that type and name.
std::optional<std::span<const std::uint8_t>> FindResource(std::string_view type,
                                                          std::string_view name);

}  // namespace vq::resources
