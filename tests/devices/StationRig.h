// An emulated station machine built device by device for the discovery and refresh tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Operator.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"

namespace vq::test {

// A storage function whose chip answers nothing: the machine lists its disk, but no
// pass-through request reaches it.
class SilentDisk final : public sim::UsbFunction {
  public:
    explicit SilentDisk(std::string serial) : serial_(std::move(serial)) {}
    sim::BusIdentity identity() override {
        sim::BusIdentity id;
        id.vid = 0x1234;
        id.pid = 0x5678;
        id.manufacturer = "Other";
        id.product = "Other Disk";
        id.serial = serial_;
        return id;
    }
    sim::StorageClass storageClass() override { return sim::StorageClass::Disk; }

  private:
    std::string serial_;
};

struct StationRig {
    sim::SimPlatform sim;
    RecordingOperator op;

    explicit StationRig(sim::SimOptions options = {}) : sim(std::move(options)) {
        sim.platform().op = &op;
        sim.platform().osVersion = OsVersion{10, 0, 0};
        sim.station().setSystemDrive('C');
        sim.station().addVolume({'C', DriveType::Fixed, true, 0, nullptr, 1ull << 30, "System"});
    }

    // The physical drive numbers of the bridges plugged so far, in order.
    std::vector<std::uint32_t> deviceNumbers;

    sim::SimStation& st() { return sim.station(); }
    Platform& platform() { return sim.platform(); }

    static sim::BridgeConfig Config(const std::string& serial, std::uint8_t kind = 19) {
        sim::BridgeConfig c;
        c.kind = kind;
        c.defaultIdentity.serial = serial;
        c.defaultIdentity.product = "Bridge " + serial;
        return c;
    }

    // Plugs a bridge; its volumes (letter, free MiB) lie on its master drive.
    std::shared_ptr<sim::BridgeFunction> bridge(
        const std::string& hub, std::uint32_t port, sim::BridgeConfig config,
        std::vector<std::pair<char, std::uint64_t>> volumes = {},
        sim::PortSpeed speed = sim::PortSpeed::Super, bool uas = false) {
        const sim::AddedBridge added = sim.addBridge(std::move(config));
        deviceNumbers.push_back(added.deviceNumber);
        auto fn = std::make_shared<sim::BridgeFunction>(added.bridge, uas);
        st().plug(hub, port, fn, speed);
        for (auto [letter, mib] : volumes) {
            st().addVolume(
                {letter, DriveType::Fixed, false, added.deviceNumber, fn, mib << 20, ""});
        }
        return fn;
    }
    std::shared_ptr<sim::BridgeFunction> bridge(
        const std::string& hub, std::uint32_t port, const std::string& serial,
        std::vector<std::pair<char, std::uint64_t>> volumes = {},
        sim::PortSpeed speed = sim::PortSpeed::Super) {
        return bridge(hub, port, Config(serial), std::move(volumes), speed);
    }

    // A device that is not a storage device; without serial it has no serial string.
    void plain(const std::string& hub, std::uint32_t port, std::optional<std::string> serial) {
        sim::BusIdentity id;
        id.vid = 0x046D;
        id.pid = 0xC077;
        id.manufacturer = "Generic";
        id.product = "Mouse";
        id.serial = std::move(serial);
        st().plug(hub, port, std::make_shared<sim::PlainUsbFunction>(id), sim::PortSpeed::Full);
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& m : op.messages())
            out.push_back(m.title + "|" + m.text);
        return out;
    }
};

}  // namespace vq::test
