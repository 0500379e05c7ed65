#include "resources/Resources.h"

#include "base/Text.h"

namespace vq::resources {

std::span<const EmbeddedImage> AllResources() {
    return {kEmbeddedImages, kEmbeddedImageCount};
}

std::optional<std::span<const std::uint8_t>> FindResource(std::string_view type,
                                                          std::string_view name) {
    for (const auto& r : AllResources()) {
        if (EqualsNoCase(r.type, type) && EqualsNoCase(r.name, name)) {
            return std::span<const std::uint8_t>(r.data, r.size);
        }
    }
    return std::nullopt;
}

}  // namespace vq::resources
