#include "platform/sim/SimScsi.h"

#include <mutex>

#include "base/Text.h"
#include "platform/sim/SimBridgeInternal.h"

namespace vq::sim {

namespace {

// A handle on one bridge, valid for the bus generation it was opened in.
class SimScsiDevice final : public ScsiDevice {
  public:
    SimScsiDevice(std::shared_ptr<SimBridge> bridge, std::uint64_t generation)
        : bridge_(std::move(bridge)), generation_(generation) {}

    ScsiResult execute(const ScsiRequest& request) override {
        return bridge_->execute(request, generation_);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override {
        return bridge_->deviceNumber(generation_);
    }

  private:
    std::shared_ptr<SimBridge> bridge_;
    std::uint64_t generation_;
};

}  // namespace

void SimScsi::addPath(std::string_view path, std::shared_ptr<SimBridge> bridge) {
    std::unique_lock lock(mutex_);
    paths_[ToLower(path)] = std::move(bridge);
}

void SimScsi::removePath(std::string_view path) {
    std::unique_lock lock(mutex_);
    paths_.erase(ToLower(path));
}

void SimScsi::clear() {
    std::unique_lock lock(mutex_);
    paths_.clear();
    resolver_ = nullptr;
}

std::shared_ptr<SimBridge> SimScsi::find(std::string_view path) const {
    std::function<std::shared_ptr<SimBridge>(std::string_view)> resolver;
    {
        std::shared_lock lock(mutex_);
        auto it = paths_.find(ToLower(path));
        if (it != paths_.end())
            return it->second;
        resolver = resolver_;
    }
    return resolver ? resolver(path) : nullptr;
}

void SimScsi::setResolver(std::function<std::shared_ptr<SimBridge>(std::string_view)> resolver) {
    std::unique_lock lock(mutex_);
    resolver_ = std::move(resolver);
}

std::vector<std::string> SimScsi::pathsOf(const SimBridge& bridge) const {
    std::shared_lock lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [p, b] : paths_) {
        if (b.get() == &bridge)
            out.push_back(p);
    }
    return out;
}

std::unique_ptr<ScsiDevice> SimScsi::open(std::string_view path, std::uint32_t* lastError) {
    auto bridge = find(path);
    std::optional<std::uint64_t> generation;
    if (bridge)
        generation = bridge->attach();
    if (!generation) {
        if (lastError)
            *lastError = kErrorFileNotFound;
        return nullptr;
    }
    if (lastError)
        *lastError = 0;
    return std::make_unique<SimScsiDevice>(std::move(bridge), *generation);
}

}  // namespace vq::sim
