// The USB host controllers and hubs of the machine, as the hub requests show them: the
// hub interfaces in enumeration order, and per open hub its port count and, per port, the
// connection information, speeds, downstream hub name, driver key and string descriptors.
// The answers mirror the system's hub requests field for field, so the station's hub walk
// reads like the procedure it implements.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

// Connection states of a hub port, numbered as the system numbers them.
enum class UsbConnectionStatus : std::uint32_t {
    NoDeviceConnected = 0,
    DeviceConnected = 1,
    DeviceFailedEnumeration = 2,
    DeviceGeneralFailure = 3,
    DeviceCausedOvercurrent = 4,
    DeviceNotEnoughPower = 5,
    DeviceNotEnoughBandwidth = 6,
    DeviceHubNestedTooDeeply = 7,
    DeviceInLegacyHub = 8,
    DeviceEnumerating = 9,
    DeviceReset = 10,
};

// The speed field of the connection information: 0 low, 1 full, 2 high, 3 SuperSpeed.
enum class UsbBusSpeed : std::uint8_t { Low = 0, Full = 1, High = 2, Super = 3 };

struct UsbDeviceDescriptor {
    std::uint16_t bcdUSB = 0x0200;
    std::uint8_t bDeviceClass = 0;
    std::uint8_t bMaxPacketSize0 = 64;
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    std::uint8_t iManufacturer = 0;
    std::uint8_t iProduct = 0;
    std::uint8_t iSerialNumber = 0;
    std::uint8_t bNumConfigurations = 1;
};

struct UsbConnectionInfo {
    std::uint32_t connectionIndex = 0;  // the port number, from 1
    UsbDeviceDescriptor deviceDescriptor;
    std::uint8_t currentConfigurationValue = 0;
    std::uint8_t speed = 0;  // UsbBusSpeed
    bool deviceIsHub = false;
    std::uint16_t deviceAddress = 0;
    std::uint32_t numberOfOpenPipes = 0;
    UsbConnectionStatus connectionStatus = UsbConnectionStatus::NoDeviceConnected;
};

// The second version of the extended connection information.
struct UsbConnectionInfoV2 {
    static constexpr std::uint32_t kUsb110 = 0x1, kUsb200 = 0x2, kUsb300 = 0x4;
    static constexpr std::uint32_t kOperatingAtSuperSpeedOrHigher = 0x1;
    static constexpr std::uint32_t kSuperSpeedCapableOrHigher = 0x2;
    static constexpr std::uint32_t kOperatingAtSuperSpeedPlusOrHigher = 0x4;
    static constexpr std::uint32_t kSuperSpeedPlusCapableOrHigher = 0x8;

    std::uint32_t connectionIndex = 0;
    std::uint32_t supportedUsbProtocols = 0;
    std::uint32_t flags = 0;
};

// One open hub (a handle on the hub's device path).
class UsbHub {
  public:
    virtual ~UsbHub() = default;
    // Node information: the number of downstream ports of the hub.
    virtual std::optional<std::uint32_t> numberOfPorts() = 0;
    virtual std::optional<UsbConnectionInfo> connectionInfo(std::uint32_t port) = 0;
    // The extended form; its speed field can report SuperSpeed.
    virtual std::optional<UsbConnectionInfo> connectionInfoEx(std::uint32_t port) = 0;
    virtual std::optional<UsbConnectionInfoV2> connectionInfoExV2(
        std::uint32_t port, std::uint32_t supportedUsbProtocols) = 0;
    // Symbolic name of the hub on this port (without the "\\.\" prefix).
    virtual std::optional<std::string> connectionName(std::uint32_t port) = 0;
    // Driver key name of the device on this port (UTF-16 as the system gives it).
    virtual std::optional<std::u16string> driverKeyName(std::uint32_t port) = 0;
    // GET_DESCRIPTOR(STRING, index) with a language id, at most `length` bytes of the
    // descriptor as the device sends it (bLength, bDescriptorType 3, UTF-16LE text).
    virtual std::optional<std::vector<std::uint8_t>> stringDescriptor(std::uint32_t port,
                                                                      std::uint8_t index,
                                                                      std::uint16_t languageId,
                                                                      std::uint16_t length) = 0;
};

class UsbTopology {
  public:
    virtual ~UsbTopology() = default;
    // Device paths of the present USB hub interfaces, in enumeration order; nullopt when
    // the list cannot be obtained.
    virtual std::optional<std::vector<std::string>> hubInterfacePaths() = 0;
    // Opens a hub by its device path ("\\.\" + connection name, or a hub interface path).
    virtual std::unique_ptr<UsbHub> openHub(std::string_view path) = 0;
    // Instance id of the device whose driver key equals `driverKey` (ignoring case).
    virtual std::optional<std::string> instanceIdOfDriverKey(std::string_view driverKey) = 0;
};

}  // namespace vq
