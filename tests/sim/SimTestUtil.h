// Helpers for the emulated bridge tests: a platform with one bridge and a way to send
// a command block written as hex text.
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/SimPlatform.h"
#include "tests/common/TestHex.h"

namespace vq::sim::test {

using vq::testing_util::Hex;

struct Answer {
    ScsiResult result;
    std::vector<std::uint8_t> data;
    bool good() const {
        return result.callSucceeded && result.lastError == 0 && result.scsiStatus == 0;
    }
};

class Rig {
  public:
    explicit Rig(BridgeConfig config = {}) {
        added = sim.addBridge(std::move(config));
        bridge = added.bridge;
    }

    std::unique_ptr<ScsiDevice> open() { return sim.scsi().open(added.physicalDrivePath); }

    // Data-in of `length` bytes (0: no data).
    Answer in(const std::string& cdb, std::size_t length, std::uint32_t timeout = 10) {
        return send(cdb, DataDirection::In, std::vector<std::uint8_t>(length), timeout);
    }
    Answer out(const std::string& cdb, std::vector<std::uint8_t> data, std::uint32_t timeout = 50) {
        return send(cdb, DataDirection::Out, std::move(data), timeout);
    }
    Answer none(const std::string& cdb, std::uint32_t timeout = 50) {
        return send(cdb, DataDirection::Out, {}, timeout);
    }
    Answer send(const std::string& cdb, DataDirection dir, std::vector<std::uint8_t> data,
                std::uint32_t timeout) {
        Answer a;
        auto dev = open();
        if (!dev)
            return a;
        const auto block = Hex(cdb);
        ScsiRequest r;
        r.cdb = block;
        r.direction = dir;
        r.data = data;
        r.timeoutSeconds = timeout;
        a.result = dev->execute(r);
        a.data = std::move(data);
        return a;
    }

    SimPlatform sim;
    AddedBridge added;
    std::shared_ptr<SimBridge> bridge;
};

inline BridgeConfig Kind(std::uint8_t kind) {
    BridgeConfig c;
    c.kind = kind;
    return c;
}

}  // namespace vq::sim::test
