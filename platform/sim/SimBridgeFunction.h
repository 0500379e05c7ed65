// An emulated bridge board as a USB function of the station: its bus identity is the one
// decoded from the configuration it booted with, it is on the bus while the board is,
// and its storage class follows the drive behind it.
#pragma once

#include <memory>

#include "platform/sim/SimBridge.h"
#include "platform/sim/SimStation.h"

namespace vq::sim {

class BridgeFunction final : public UsbFunction {
  public:
    BridgeFunction(std::shared_ptr<SimBridge> bridge, bool uas)
        : bridge_(std::move(bridge)), uas_(uas) {}

    BusIdentity identity() override {
        const UsbIdentity id = bridge_->identity();
        BusIdentity b;
        b.vid = id.vid;
        b.pid = id.pid;
        b.bcdUsb = IsUsb3(bridge_->config().kind) ? 0x0320 : 0x0210;
        b.manufacturer = id.manufacturer;
        b.product = id.product;
        if (!id.serial.empty())
            b.serial = id.serial;
        return b;
    }
    bool onBus() override { return bridge_->present(); }
    StorageClass storageClass() override {
        const auto& master = bridge_->config().master;
        return (master && master->packet) ? StorageClass::Optical : StorageClass::Disk;
    }
    bool uas() override { return uas_; }
    std::uint32_t diskNumber() override { return bridge_->storageNumber(); }
    std::uint64_t busGeneration() override { return bridge_->generation(); }
    // Called under the machine's lock, one call at a time.
    void powerChanged(bool on) override {
        if (on == powered_)
            return;
        powered_ = on;
        if (on)
            bridge_->plugIn();
        else
            bridge_->unplug();
    }
    void supplyChanged(bool on) override {
        if (on == powered_)
            return;
        powered_ = on;
        if (on)
            bridge_->plugIn();
        else
            bridge_->powerLost();
    }
    bool onCharge() override { return bridge_->onCharge(); }
    void watchBus(std::function<void()> changed) override {
        bridge_->setBusListener(std::move(changed));
    }

    const std::shared_ptr<SimBridge>& bridge() const { return bridge_; }

  private:
    // The chip families that run on USB 3 ports.
    static bool IsUsb3(std::uint8_t kind) { return kind == 13 || (kind >= 19 && kind <= 29); }

    std::shared_ptr<SimBridge> bridge_;
    bool uas_;
    bool powered_ = true;
};

}  // namespace vq::sim
