// Shared between the files of the bridge model; not for use outside platform/sim.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/ScsiPassThrough.h"
#include "platform/sim/SimBridge.h"

namespace vq::sim {

// System error codes the emulated pass-through reports.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// One command in flight inside the device.
struct SimBridge::Exchange {
    std::array<std::uint8_t, 16> c{};  // the block, zero-padded to 16 bytes
    std::size_t cdbLength = 0;
    DataDirection dir = DataDirection::None;
    std::span<std::uint8_t> data;
    CommandKind kind = CommandKind::Unknown;
    std::int64_t start = 0;  // emulated ns when the command arrived
    std::int64_t cost = 0;   // emulated ns the command has taken so far
    ScsiResult result;
    bool resetAfter = false;  // leave the bus once the command is answered
};

}  // namespace vq::sim
