#include "devices/SafeRemoval.h"

#include <thread>

namespace vq {

RemovalOutcome RemoveDeviceThread(DeviceRemoval& removal, Clock& clock, DevNode node) {
    constexpr int kAttempts = 5;
    RemovalOutcome out;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        out.attempts = attempt;
        RemovalResult r = removal.queryAndRemoveSubtree(node);
        if (!r.callSucceeded)
            r = removal.requestEject(node);
        out.lastVetoType = r.vetoType;
        out.lastVetoName = r.vetoName;
        if (r.callSucceeded && r.vetoType == 0) {
            out.removed = true;
            return out;
        }
        clock.sleepMs(500);
        removal.requestEject(node);  // its outcome is not examined
    }
    return out;
}

std::vector<RemovalOutcome> RemoveDevices(DeviceRemoval& removal, Clock& clock,
                                          const std::vector<DevNode>& nodes) {
    std::vector<RemovalOutcome> outcomes(nodes.size());
    std::vector<std::thread> threads;
    threads.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        threads.emplace_back(
            [&, i] { outcomes[i] = RemoveDeviceThread(removal, clock, nodes[i]); });
    }
    for (auto& t : threads)
        t.join();
    return outcomes;
}

}  // namespace vq
