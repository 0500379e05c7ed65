// The emulated machine's SCSI pass-through: device paths of the emulated bridges and
// handles that carry command blocks to them.
#pragma once

#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ScsiPassThrough.h"
#include "platform/sim/SimBridge.h"

namespace vq::sim {

class SimScsi final : public ScsiPassThrough {
  public:
    // Paths are matched without regard to case, as the system does.
    void addPath(std::string_view path, std::shared_ptr<SimBridge> bridge);
    void removePath(std::string_view path);
    void clear();
    std::shared_ptr<SimBridge> find(std::string_view path) const;
    std::vector<std::string> pathsOf(const SimBridge& bridge) const;
    // Asked for paths that were not added (the station's interface and volume paths,
    // which follow the devices on the bus).
    void setResolver(std::function<std::shared_ptr<SimBridge>(std::string_view)> resolver);

    std::unique_ptr<ScsiDevice> open(std::string_view path,
                                     std::uint32_t* lastError = nullptr) override;

  private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<SimBridge>> paths_;
    std::function<std::shared_ptr<SimBridge>(std::string_view)> resolver_;
};

}  // namespace vq::sim
