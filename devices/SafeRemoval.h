// Removing the tested devices from the system: one thread per device, each asking the
// system to remove the device's subtree (or to eject it) until nothing vetoes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeviceRemoval.h"

namespace vq {

struct RemovalOutcome {
    bool removed = false;
    int attempts = 0;
    std::uint32_t lastVetoType = 0;  // the veto of the last attempt, 0 when none
    std::string lastVetoName;
};

// The body of one removal thread: up to five attempts of query-and-remove (an eject when
// that call fails); a veto or a failed call waits 500 ms and sends one more eject request
// before the next attempt.
RemovalOutcome RemoveDeviceThread(DeviceRemoval& removal, Clock& clock, DevNode node);

// Removes the devices in parallel, one thread each, and waits for every thread.
std::vector<RemovalOutcome> RemoveDevices(DeviceRemoval& removal, Clock& clock,
                                          const std::vector<DevNode>& nodes);

}  // namespace vq
