// An emulated bridge board as a USB device on a host's bus: it connects with the identity
// the board booted with (descriptors, strings), answers the standard and mass-storage
// requests on endpoint 0, and carries the bulk-only transport's command blocks to the
// board itself, the same object the emulated station uses. Each time the board leaves the
// bus (a reset, an activation, its power switched off, a fault) its attachment ends; when
// it is back the next connect shows what it booted with then.
#pragma once

#include <memory>
#include <optional>

#include "platform/UsbDeviceSide.h"
#include "platform/sim/SimBridge.h"
#include "platform/sim/SimStation.h"
#include "platform/sim/usb/BulkOnlyTransport.h"
#include "platform/sim/usb/MassStorageDescriptors.h"

namespace vq::sim {

// The speed a device connects at on a port: a USB 3 device reaches SuperSpeed on a
// SuperSpeed port, every other runs at most at high speed.
UsbSpeed ConnectSpeed(PortSpeed port, const BusIdentity& identity);

class SimUsbBridge final : public UsbDeviceSide {
  public:
    // `function` is the board's USB function on the emulated station (its identity and
    // presence); `port` the speed of the port it hangs on.
    SimUsbBridge(std::shared_ptr<SimBridge> bridge, std::shared_ptr<UsbFunction> function,
                 PortSpeed port, std::string name);

    std::optional<std::uint64_t> attachment() override;
    UsbDeviceAnnounce connect() override;
    void busReset() override;
    bool setConfiguration(std::uint8_t value) override;
    std::uint8_t configuration() override { return configuration_; }
    bool setAltSetting(std::uint8_t interfaceNumber, std::uint8_t alt) override;
    UsbControlAnswer control(const UsbSetup& setup, std::span<const std::uint8_t> out) override;
    void transfer(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                  std::span<const std::uint8_t> out) override;
    void cancel(std::uint64_t id) override { transport_.cancel(id); }
    std::vector<UsbCompletion> takeCompletions() override { return transport_.takeCompletions(); }
    bool answerPending() override { return configuration_ != 0 && transport_.answerPending(); }

    const MassStorageDescriptors& descriptors() const { return descriptors_; }

  private:
    UsbControlAnswer standard(const UsbSetup& setup);

    std::shared_ptr<SimBridge> bridge_;
    std::shared_ptr<UsbFunction> function_;
    PortSpeed port_;
    std::string name_;
    std::uint64_t generation_ = 0;  // the board's bus generation at the last connect
    MassStorageDescriptors descriptors_;
    std::uint8_t configuration_ = 0;
    BulkOnlyTransport transport_;
};

}  // namespace vq::sim
