// A USB device seen from its own side of the cable: what it announces when it connects
// (speed, ids, interfaces, endpoints) and how it answers the host's control requests and
// data transfers. A bus server (the usbredir one on Linux) puts such a device on a real or
// virtual host's bus; the device itself is portable code.
//
// Data transfers are asynchronous as on a real bus: the host queues a transfer with an id,
// the device completes it now or later (an IN transfer waits until the device has
// something to send), and the host may cancel a transfer that has not completed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vq {

enum class UsbSpeed : std::uint8_t { Low, Full, High, Super };

enum class UsbEndpointType : std::uint8_t { Control, Isochronous, Bulk, Interrupt };

enum class UsbStatus : std::uint8_t { Success, Cancelled, Stall };

struct UsbEndpointInfo {
    std::uint8_t address = 0;  // bit 7 set: IN
    UsbEndpointType type = UsbEndpointType::Bulk;
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interfaceNumber = 0;
};

struct UsbInterfaceInfo {
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;
};

// What the device announces when it connects.
struct UsbDeviceAnnounce {
    UsbSpeed speed = UsbSpeed::High;
    std::uint8_t deviceClass = 0;
    std::uint8_t deviceSubclass = 0;
    std::uint8_t deviceProtocol = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0;
    std::vector<UsbInterfaceInfo> interfaces;
    std::vector<UsbEndpointInfo> endpoints;  // besides endpoint 0
    std::string name;                        // for the server's log lines
};

// The eight bytes of a control request's setup stage.
struct UsbSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

struct UsbControlAnswer {
    UsbStatus status = UsbStatus::Success;
    std::vector<std::uint8_t> data;  // IN requests: at most setup.length bytes
};

// One data transfer the device completed.
struct UsbCompletion {
    std::uint64_t id = 0;
    std::uint8_t endpoint = 0;
    UsbStatus status = UsbStatus::Success;
    std::vector<std::uint8_t> data;  // IN transfers: what the device sent
    std::uint32_t length = 0;        // bytes moved (OUT: taken by the device)
};

class UsbDeviceSide {
  public:
    virtual ~UsbDeviceSide() = default;

    // The device's current attachment while it is on the bus; a new value means it left
    // and came back (a reset, a new identity, power cycled), nothing means it is off now.
    virtual std::optional<std::uint64_t> attachment() = 0;
    // Called each time the server announces the device; the device starts afresh
    // (unconfigured, transfers forgotten).
    virtual UsbDeviceAnnounce connect() = 0;
    // The host reset the port.
    virtual void busReset() = 0;
    // Configuration and alternate setting requests; false: the device refuses them.
    virtual bool setConfiguration(std::uint8_t value) = 0;
    virtual std::uint8_t configuration() = 0;
    virtual bool setAltSetting(std::uint8_t interfaceNumber, std::uint8_t alt) = 0;
    // Any other request on endpoint 0; `out` carries the data stage of OUT requests.
    virtual UsbControlAnswer control(const UsbSetup& setup, std::span<const std::uint8_t> out) = 0;
    // A data transfer: IN of `length` bytes, or OUT carrying `out`.
    virtual void transfer(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                          std::span<const std::uint8_t> out) = 0;
    // The host takes back a transfer that has not completed; the device completes it as
    // cancelled (among takeCompletions) when it still held it.
    virtual void cancel(std::uint64_t id) = 0;
    // The transfers completed since the last call, in order.
    virtual std::vector<UsbCompletion> takeCompletions() = 0;
    // Whether the device still has an answer to send for a command it took before it left
    // the bus (a device that resets on a command sends the command's status first).
    virtual bool answerPending() { return false; }
};

}  // namespace vq
