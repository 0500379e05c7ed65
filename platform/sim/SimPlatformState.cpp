// The emulated machine kept between two runs of a program: boards take back what they
// stored, pulled ports stay empty, switched hubs stay off.
#include <algorithm>

#include "base/Format.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "platform/sim/SimStateFolder.h"

namespace vq::sim {

std::string BuildKeptStation(SimPlatform& sim, const Scenario& scenario,
                             const std::optional<MachineState>& kept) {
    if (kept)
        sim.restoreFrom(*kept);
    BuildStation(sim, scenario);
    return kept ? sim.finishRestore() : std::string();
}

void SimPlatform::restoreFrom(const MachineState& state) {
    std::lock_guard lock(mutex_);
    restoring_ = state;
    restore_.clear();
    for (const KeptBoard& b : state.boards)
        restore_[b.storageNumber] = b;
    restoreError_.clear();
}

void SimPlatform::applyKept(SimBridge& bridge) {
    if (!restoring_)
        return;
    auto it = restore_.find(bridge.storageNumber());
    if (it == restore_.end()) {
        if (restoreError_.empty())
            restoreError_ = Format("board %u is not in the state", bridge.storageNumber());
        return;
    }
    std::string why;
    if (it->second.kind != bridge.config().kind)
        why = Format("kept as chip kind %u, built as %u", it->second.kind, bridge.config().kind);
    else
        why = bridge.restoreKept(it->second.kept, false);
    if (!why.empty() && restoreError_.empty())
        restoreError_ = Format("board %u: %s", bridge.storageNumber(), why);
    restore_.erase(it);
}

std::string SimPlatform::finishRestore() {
    MachineState state;
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (!restoring_)
            return {};
        state = std::move(*restoring_);
        restoring_.reset();
        error = restoreError_;
        if (error.empty() && !restore_.empty())
            error = Format("board %u of the state is not on this machine", restore_.begin()->first);
        restore_.clear();
    }
    if (!error.empty())
        return error;
    for (const auto& [hub, on] : state.hubPower) {
        if (!setHubPower(hub, on))
            return "hub " + hub + " of the state is not on this machine";
    }
    for (const auto& [hub, port] : state.unplugged) {
        if (!unplugPort(hub, port))
            return Format("port %u of hub %s of the state holds nothing", port, hub);
    }
    if (powerControl_) {
        for (const KeptBoard& b : state.boards) {
            if (b.storageNumber == powerControl_->storageNumber())
                powerControl_->restoreKept(b.kept, true);
        }
    }
    station_.poll();
    return {};
}

MachineState SimPlatform::capture(std::uint64_t scenarioHash) {
    MachineState s;
    s.scenarioHash = scenarioHash;
    for (const auto& b : bridges())
        s.boards.push_back({b->storageNumber(), b->config().kind, b->kept()});
    std::lock_guard lock(mutex_);
    s.unplugged = unplugged_;
    s.hubPower.assign(hubPower_.begin(), hubPower_.end());
    return s;
}

bool SimPlatform::unplugPort(const std::string& hub, std::uint32_t port) {
    auto fn = station_.functionAt(hub, port);
    const SimHub* h = station_.hub(hub);
    const PortSpeed speed =
        h && port >= 1 && port <= h->ports.size() ? h->ports[port - 1].speed : PortSpeed::High;
    if (!station_.unplug(hub, port))
        return false;
    std::lock_guard lock(mutex_);
    if (fn)
        pulled_[{hub, port}] = {fn, speed};
    unplugged_.emplace_back(hub, port);
    return true;
}

bool SimPlatform::replugPort(const std::string& hub, std::uint32_t port) {
    Pulled pulled;
    {
        std::lock_guard lock(mutex_);
        auto it = pulled_.find({hub, port});
        if (it == pulled_.end())
            return false;
        pulled = it->second;
    }
    if (!station_.plug(hub, port, pulled.function, pulled.speed))
        return false;
    std::lock_guard lock(mutex_);
    pulled_.erase({hub, port});
    std::erase(unplugged_, std::pair(hub, port));
    return true;
}

bool SimPlatform::setHubPower(const std::string& hub, bool on) {
    if (!station_.hub(hub))
        return false;
    station_.setHubPower(hub, on);
    std::lock_guard lock(mutex_);
    hubPower_[hub] = on;
    return true;
}

}  // namespace vq::sim
