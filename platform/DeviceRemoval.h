// Removing a device from the system (safe removal): the device node and its subtree
// are removed, or the system (or a program holding it open) vetoes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/StorageEnumerator.h"

namespace vq {

struct RemovalResult {
    bool callSucceeded = false;
    std::uint32_t vetoType = 0;  // 0: no veto
    std::string vetoName;
};

class DeviceRemoval {
  public:
    virtual ~DeviceRemoval() = default;
    // Query-and-remove of the node's subtree, without restart.
    virtual RemovalResult queryAndRemoveSubtree(DevNode node) = 0;
    // Eject request for the node.
    virtual RemovalResult requestEject(DevNode node) = 0;
};

}  // namespace vq
