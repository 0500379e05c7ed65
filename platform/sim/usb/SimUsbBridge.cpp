#include "platform/sim/usb/SimUsbBridge.h"

#include <algorithm>

namespace vq::sim {

namespace {

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint8_t kSetSel = 0x30;
constexpr std::uint8_t kSetIsochDelay = 0x31;
// Mass-storage class requests.
constexpr std::uint8_t kMassStorageReset = 0xFF;
constexpr std::uint8_t kGetMaxLun = 0xFE;

UsbControlAnswer Stall() {
    return {UsbStatus::Stall, {}};
}

UsbControlAnswer Answer(std::vector<std::uint8_t> data, std::uint16_t length) {
    if (data.size() > length)
        data.resize(length);
    return {UsbStatus::Success, std::move(data)};
}

}  // namespace

UsbSpeed ConnectSpeed(PortSpeed port, const BusIdentity& identity) {
    switch (port) {
        case PortSpeed::Low:
            return UsbSpeed::Low;
        case PortSpeed::Full:
            return UsbSpeed::Full;
        case PortSpeed::High:
            return UsbSpeed::High;
        case PortSpeed::Super:
        case PortSpeed::SuperPlus:
            return identity.bcdUsb >= 0x0300 ? UsbSpeed::Super : UsbSpeed::High;
    }
    return UsbSpeed::High;
}

SimUsbBridge::SimUsbBridge(std::shared_ptr<SimBridge> bridge, std::shared_ptr<UsbFunction> function,
                           PortSpeed port, std::string name)
    : bridge_(std::move(bridge)),
      function_(std::move(function)),
      port_(port),
      name_(std::move(name)),
      transport_([this](const ScsiRequest& r) { return bridge_->execute(r, generation_); },
                 kBulkInEndpoint, kBulkOutEndpoint) {}

std::optional<std::uint64_t> SimUsbBridge::attachment() {
    if (!function_->onBus())
        return std::nullopt;
    return bridge_->generation();
}

UsbDeviceAnnounce SimUsbBridge::connect() {
    generation_ = bridge_->attach().value_or(0);
    const BusIdentity id = function_->identity();
    const UsbSpeed speed = ConnectSpeed(port_, id);
    descriptors_ = BuildMassStorageDescriptors(id, speed);
    configuration_ = 0;
    transport_.restart();

    UsbDeviceAnnounce a;
    a.speed = speed;
    a.vendorId = id.vid;
    a.productId = id.pid;
    a.bcdDevice = id.bcdDevice;
    a.interfaces.push_back({0, 0x08, 0x06, 0x50});
    const std::uint16_t mps = BulkPacketSize(speed);
    a.endpoints.push_back({kBulkInEndpoint, UsbEndpointType::Bulk, mps, 0});
    a.endpoints.push_back({kBulkOutEndpoint, UsbEndpointType::Bulk, mps, 0});
    a.name = name_;
    return a;
}

void SimUsbBridge::busReset() {
    configuration_ = 0;
    transport_.restart();
}

bool SimUsbBridge::setConfiguration(std::uint8_t value) {
    if (value > 1)
        return false;
    configuration_ = value;
    transport_.restart();
    return true;
}

bool SimUsbBridge::setAltSetting(std::uint8_t interfaceNumber, std::uint8_t alt) {
    if (configuration_ == 0 || interfaceNumber != 0 || alt != 0)
        return false;
    transport_.clearHalt(kBulkInEndpoint);
    transport_.clearHalt(kBulkOutEndpoint);
    return true;
}

void SimUsbBridge::transfer(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                            std::span<const std::uint8_t> out) {
    if (configuration_ == 0) {
        // Not configured: the endpoint does not exist yet. The transport completes it as a
        // stall (it is neither of its endpoints).
        transport_.transfer(id, 0, length, out);
        return;
    }
    transport_.transfer(id, endpoint, length, out);
}

UsbControlAnswer SimUsbBridge::control(const UsbSetup& setup, std::span<const std::uint8_t> out) {
    (void)out;
    const std::uint8_t type = setup.requestType & 0x60;
    if (type == 0x00)
        return standard(setup);
    if (type == 0x20 && (setup.requestType & 0x1F) == 0x01 && setup.index == 0) {
        if (setup.request == kGetMaxLun && setup.requestType == 0xA1 && setup.value == 0 &&
            setup.length >= 1)
            return Answer({0}, setup.length);
        if (setup.request == kMassStorageReset && setup.requestType == 0x21 && setup.value == 0 &&
            setup.length == 0) {
            transport_.massStorageReset();
            return {};
        }
    }
    return Stall();
}

UsbControlAnswer SimUsbBridge::standard(const UsbSetup& s) {
    const std::uint8_t recipient = s.requestType & 0x1F;
    const bool in = (s.requestType & 0x80) != 0;
    const auto endpoint = static_cast<std::uint8_t>(s.index & 0xFF);
    switch (s.request) {
        case kGetDescriptor: {
            if (!in || recipient != 0)
                return Stall();
            const auto kind = static_cast<std::uint8_t>(s.value >> 8);
            const auto index = static_cast<std::uint8_t>(s.value & 0xFF);
            if (kind == 1)
                return Answer(descriptors_.device, s.length);
            if (kind == 2 && index == 0)
                return Answer(descriptors_.configuration, s.length);
            if (kind == 3) {
                if (auto d = descriptors_.string(index))
                    return Answer(*d, s.length);
            }
            if (kind == 15 && !descriptors_.bos.empty())
                return Answer(descriptors_.bos, s.length);
            return Stall();
        }
        case kGetStatus:
            if (!in)
                return Stall();
            if (recipient == 2) {
                if ((endpoint & 0x7F) != 0 && endpoint != kBulkInEndpoint &&
                    endpoint != kBulkOutEndpoint)
                    return Stall();
                return Answer({static_cast<std::uint8_t>(transport_.halted(endpoint) ? 1 : 0), 0},
                              s.length);
            }
            return Answer({0, 0}, s.length);  // bus powered, no remote wake-up
        case kClearFeature:
        case kSetFeature:
            if (recipient == 2 && s.value == 0) {  // ENDPOINT_HALT
                const bool ok = s.request == kClearFeature ? transport_.clearHalt(endpoint)
                                                           : transport_.setHalt(endpoint);
                return ok ? UsbControlAnswer{} : Stall();
            }
            // Device features (remote wake-up, U1/U2 enable) and interface features are
            // taken without effect.
            return recipient <= 1 ? UsbControlAnswer{} : Stall();
        case kGetConfiguration:
            return in ? Answer({configuration_}, s.length) : Stall();
        case kSetConfiguration:
            return setConfiguration(static_cast<std::uint8_t>(s.value)) ? UsbControlAnswer{}
                                                                        : Stall();
        case kGetInterface:
            return in && configuration_ != 0 && s.index == 0 ? Answer({0}, s.length) : Stall();
        case kSetInterface:
            return setAltSetting(static_cast<std::uint8_t>(s.index),
                                 static_cast<std::uint8_t>(s.value))
                       ? UsbControlAnswer{}
                       : Stall();
        case kSetSel:
        case kSetIsochDelay:
            return recipient == 0 && !in ? UsbControlAnswer{} : Stall();
        default:
            return Stall();
    }
}

}  // namespace vq::sim
