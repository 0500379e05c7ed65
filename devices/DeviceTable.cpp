#include "devices/DeviceTable.h"

#include <algorithm>

#include "base/Text.h"

namespace vq {

int FindEntryOfDevice(const DeviceTable& devices, std::uint32_t entries,
                      std::string_view instanceId) {
    if (instanceId.empty())
        return kNoEntry;
    const std::string id = ToLower(instanceId);
    int found = kNoEntry;
    const std::size_t n = std::min<std::size_t>(entries, devices.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (devices[i].parentDeviceId != id)
            continue;
        if (found != kNoEntry)
            return kAmbiguousEntry;
        found = static_cast<int>(i);
    }
    return found;
}

}  // namespace vq
