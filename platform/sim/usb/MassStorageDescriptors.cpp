#include "platform/sim/usb/MassStorageDescriptors.h"

#include <algorithm>

namespace vq::sim {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, UsbSpeed speed) {
    out.insert(out.end(), {7, 0x05, address, 0x02});  // bulk
    Put16(out, BulkPacketSize(speed));
    out.push_back(0);
    if (speed == UsbSpeed::Super)
        out.insert(out.end(), {6, 0x30, 15, 0, 0, 0});  // companion: bursts of 16, no streams
}

}  // namespace

std::uint16_t ControlPacketSize(UsbSpeed speed) {
    switch (speed) {
        case UsbSpeed::Low:
            return 8;
        case UsbSpeed::Super:
            return 512;
        default:
            return 64;
    }
}

std::uint16_t BulkPacketSize(UsbSpeed speed) {
    switch (speed) {
        case UsbSpeed::High:
            return 512;
        case UsbSpeed::Super:
            return 1024;
        default:
            return 64;
    }
}

std::uint16_t BcdUsbAt(const BusIdentity& identity, UsbSpeed speed) {
    if (speed == UsbSpeed::Super)
        return std::max<std::uint16_t>(identity.bcdUsb, 0x0300);
    return std::min<std::uint16_t>(identity.bcdUsb, 0x0210);
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * n), 0x03};
    for (std::size_t i = 0; i < n; ++i)
        Put16(out, static_cast<std::uint8_t>(text[i]));
    return out;
}

std::optional<std::vector<std::uint8_t>> MassStorageDescriptors::string(std::uint8_t index) const {
    if (index >= strings.size() || strings[index].empty())
        return std::nullopt;
    return strings[index];
}

MassStorageDescriptors BuildMassStorageDescriptors(const BusIdentity& identity, UsbSpeed speed) {
    MassStorageDescriptors d;
    d.strings.push_back({4, 0x03, 0x09, 0x04});  // US English
    auto addString = [&](const std::string& text) -> std::uint8_t {
        d.strings.push_back(StringDescriptor(text));
        return static_cast<std::uint8_t>(d.strings.size() - 1);
    };
    const std::uint8_t iManufacturer =
        identity.manufacturer.empty() ? 0 : addString(identity.manufacturer);
    const std::uint8_t iProduct = identity.product.empty() ? 0 : addString(identity.product);
    const std::uint8_t iSerial = identity.serial ? addString(*identity.serial) : 0;

    const std::uint16_t bcdUsb = BcdUsbAt(identity, speed);
    const std::uint16_t ep0 = ControlPacketSize(speed);
    d.device = {18, 0x01};
    Put16(d.device, bcdUsb);
    d.device.insert(d.device.end(), {0, 0, 0});  // class in the interface
    // SuperSpeed gives the exponent of endpoint 0's packet size (2^9 = 512).
    d.device.push_back(static_cast<std::uint8_t>(speed == UsbSpeed::Super ? 9 : ep0));
    Put16(d.device, identity.vid);
    Put16(d.device, identity.pid);
    Put16(d.device, identity.bcdDevice);
    d.device.insert(d.device.end(), {iManufacturer, iProduct, iSerial, 1});

    auto& c = d.configuration;
    c = {9, 0x02, 0, 0, 1, 1, 0, 0x80};  // one interface, configuration 1, bus powered
    c.push_back(speed == UsbSpeed::Super ? 0x70 : 0xFA);  // 896 mA in 8 mA units, 500 mA in 2
    c.insert(c.end(), {9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0});  // mass storage, SCSI, bulk-only
    Endpoint(c, kBulkInEndpoint, speed);
    Endpoint(c, kBulkOutEndpoint, speed);
    c[2] = static_cast<std::uint8_t>(c.size());

    if (bcdUsb >= 0x0201) {
        auto& b = d.bos;
        b = {5, 0x0F, 0, 0, 1};
        b.insert(b.end(), {7, 0x10, 0x02, 0, 0, 0, 0});  // USB 2.0 extension, no LPM
        if (speed == UsbSpeed::Super) {
            // SuperSpeed: full to 5 Gb/s, lowest full function at full speed, exit latencies.
            b.insert(b.end(), {10, 0x10, 0x03, 0, 0x0E, 0, 1, 0x0A, 0xFF, 0x07});
            b[4] = 2;
        }
        b[2] = static_cast<std::uint8_t>(b.size());
    }
    return d;
}

}  // namespace vq::sim
