#include "platform/linux/Sysfs.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vq {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRootHubPrefix = "usb-root_hub:";
constexpr std::string_view kHubPrefix = "usb-hub:";
constexpr std::uint8_t kHubClass = 9;

std::optional<std::string> ReadLine(const fs::path& p) {
    std::ifstream in(p);
    if (!in)
        return std::nullopt;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    while (!line.empty() && line.front() == ' ')
        line.erase(line.begin());
    return line;
}

template <typename T>
std::optional<T> ReadNumber(const fs::path& p, int base = 10) {
    const auto line = ReadLine(p);
    if (!line || line->empty())
        return std::nullopt;
    T v{};
    const auto [end, ec] = std::from_chars(line->data(), line->data() + line->size(), v, base);
    if (ec != std::errc())
        return std::nullopt;
    return v;
}

// "version" reads " 2.10": the BCD release number 0x0210.
std::uint16_t ReadBcdVersion(const fs::path& p) {
    const auto line = ReadLine(p);
    unsigned major = 0, minor = 0;
    if (!line || std::sscanf(line->c_str(), "%u.%x", &major, &minor) != 2)
        return 0x0200;
    return static_cast<std::uint16_t>(((major & 0xFF) << 8) | (minor & 0xFF));
}

std::vector<std::uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names come from the station (driver keys, hub paths): plain sysfs names only.
bool PlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// Whole numbers compare by value, so "usb10" follows "usb9" and "1-10" follows "1-9".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ++ej;
            const std::string_view na(a.data() + i, ei - i), nb(b.data() + j, ej - j);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> SortedNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

// UTF-8 text as the UTF-16LE body of a string descriptor (malformed bytes become U+FFFD).
std::u16string Utf16Of(std::string_view s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 6 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            n = 2;
        } else if ((c >> 4) == 14 && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            n = 3;
        } else if ((c >> 3) == 30 && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            n = 4;
        }
        i += n;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(cp > 0xFFFF ? u'\uFFFD' : static_cast<char16_t>(cp));
        }
    }
    return out;
}

class SysfsHub final : public UsbHub {
  public:
    SysfsHub(fs::path devices, std::string name)
        : devices_(std::move(devices)), name_(std::move(name)) {}

    std::optional<std::uint32_t> numberOfPorts() override {
        return ReadNumber<std::uint32_t>(devices_ / name_ / "maxchild");
    }

    std::optional<UsbConnectionInfo> connectionInfo(std::uint32_t port) override {
        auto info = connectionInfoEx(port);
        if (info && info->speed > static_cast<std::uint8_t>(UsbBusSpeed::High))
            info->speed = static_cast<std::uint8_t>(UsbBusSpeed::High);
        return info;
    }

    std::optional<UsbConnectionInfo> connectionInfoEx(std::uint32_t port) override {
        if (!validPort(port))
            return std::nullopt;
        UsbConnectionInfo info;
        info.connectionIndex = port;
        const fs::path dir = child(port);
        std::error_code ec;
        if (!fs::is_directory(dir, ec))
            return info;
        info.connectionStatus = UsbConnectionStatus::DeviceConnected;
        info.deviceDescriptor = descriptorOf(dir);
        info.deviceIsHub = info.deviceDescriptor.bDeviceClass == kHubClass;
        info.currentConfigurationValue =
            ReadNumber<std::uint8_t>(dir / "bConfigurationValue").value_or(0);
        info.deviceAddress = ReadNumber<std::uint16_t>(dir / "devnum").value_or(0);
        info.speed = static_cast<std::uint8_t>(speedOf(dir));
        info.numberOfOpenPipes = endpointsOf(dir);
        return info;
    }

    std::optional<UsbConnectionInfoV2> connectionInfoExV2(std::uint32_t port,
                                                          std::uint32_t protocols) override {
        if (!validPort(port))
            return std::nullopt;
        UsbConnectionInfoV2 v2;
        v2.connectionIndex = port;
        // The kernel shows a USB 3 host's SuperSpeed ports on a root hub of their own, so
        // a port's protocols are those of the hub it is on.
        const bool superHub = MegabitsOf(devices_ / name_) >= 5000;
        const std::uint32_t offered =
            superHub ? UsbConnectionInfoV2::kUsb300
                     : (UsbConnectionInfoV2::kUsb200 | UsbConnectionInfoV2::kUsb110);
        v2.supportedUsbProtocols = offered & protocols;
        const fs::path dir = child(port);
        std::error_code ec;
        if (fs::is_directory(dir, ec)) {
            const double mbps = MegabitsOf(dir);
            const std::uint16_t bcd = descriptorOf(dir).bcdUSB;
            if (mbps >= 5000)
                v2.flags |= UsbConnectionInfoV2::kOperatingAtSuperSpeedOrHigher;
            if (mbps > 5000)
                v2.flags |= UsbConnectionInfoV2::kOperatingAtSuperSpeedPlusOrHigher;
            if (bcd >= 0x0300)
                v2.flags |= UsbConnectionInfoV2::kSuperSpeedCapableOrHigher;
            if (bcd >= 0x0310 && mbps > 5000)
                v2.flags |= UsbConnectionInfoV2::kSuperSpeedPlusCapableOrHigher;
        }
        return v2;
    }

    std::optional<std::string> connectionName(std::uint32_t port) override {
        if (!validPort(port))
            return std::nullopt;
        const fs::path dir = child(port);
        std::error_code ec;
        if (!fs::is_directory(dir, ec) || descriptorOf(dir).bDeviceClass != kHubClass)
            return std::nullopt;
        return std::string(kHubPrefix) + childName(port);
    }

    std::optional<std::u16string> driverKeyName(std::uint32_t port) override {
        std::error_code ec;
        if (!validPort(port) || !fs::is_directory(child(port), ec))
            return std::nullopt;
        const std::string name = childName(port);
        return std::u16string(name.begin(), name.end());
    }

    std::optional<std::vector<std::uint8_t>> stringDescriptor(std::uint32_t port,
                                                              std::uint8_t index, std::uint16_t,
                                                              std::uint16_t length) override {
        std::error_code ec;
        if (!validPort(port) || !fs::is_directory(child(port), ec))
            return std::nullopt;
        const fs::path dir = child(port);
        std::vector<std::uint8_t> d;
        if (index == 0) {
            d = {4, 3, 0x09, 0x04};  // the language list: US English
        } else {
            // The kernel publishes the three strings the device descriptor names.
            const UsbDeviceDescriptor dd = descriptorOf(dir);
            const char* file = index == dd.iManufacturer   ? "manufacturer"
                               : index == dd.iProduct      ? "product"
                               : index == dd.iSerialNumber ? "serial"
                                                           : nullptr;
            if (!file)
                return std::nullopt;
            const auto text = ReadLine(dir / file);
            if (!text)
                return std::nullopt;
            std::u16string w = Utf16Of(*text);
            w.resize(std::min<std::size_t>(w.size(), 126));
            d.push_back(static_cast<std::uint8_t>(2 + 2 * w.size()));
            d.push_back(3);
            for (char16_t c : w) {
                d.push_back(static_cast<std::uint8_t>(c & 0xFF));
                d.push_back(static_cast<std::uint8_t>(c >> 8));
            }
        }
        d.resize(std::min<std::size_t>(d.size(), length));
        return d;
    }

  private:
    bool validPort(std::uint32_t port) {
        const auto n = numberOfPorts();
        return n && port >= 1 && port <= *n;
    }
    // The device on port P of root hub "usbB" is "B-P"; of hub "B-X" it is "B-X.P".
    std::string childName(std::uint32_t port) const {
        if (name_.starts_with("usb"))
            return name_.substr(3) + "-" + std::to_string(port);
        return name_ + "." + std::to_string(port);
    }
    fs::path child(std::uint32_t port) const { return devices_ / childName(port); }

    static double MegabitsOf(const fs::path& dir) {
        const auto s = ReadLine(dir / "speed");
        if (!s)
            return 0;
        try {
            return std::stod(*s);
        } catch (...) {
            return 0;
        }
    }
    static UsbBusSpeed speedOf(const fs::path& dir) {
        const double mbps = MegabitsOf(dir);
        if (mbps >= 5000)
            return UsbBusSpeed::Super;
        if (mbps >= 480)
            return UsbBusSpeed::High;
        if (mbps >= 12)
            return UsbBusSpeed::Full;
        return UsbBusSpeed::Low;
    }
    // The device descriptor as the device sent it (the head of "descriptors"); the single
    // attribute files when that file is short.
    static UsbDeviceDescriptor descriptorOf(const fs::path& dir) {
        UsbDeviceDescriptor d;
        const std::vector<std::uint8_t> raw = ReadBytes(dir / "descriptors");
        if (raw.size() >= 18 && raw[0] == 18 && raw[1] == 1) {
            const auto u16 = [&raw](std::size_t i) {
                return static_cast<std::uint16_t>(raw[i] | (raw[i + 1] << 8));
            };
            d.bcdUSB = u16(2);
            d.bDeviceClass = raw[4];
            d.bMaxPacketSize0 = raw[7];
            d.idVendor = u16(8);
            d.idProduct = u16(10);
            d.bcdDevice = u16(12);
            d.iManufacturer = raw[14];
            d.iProduct = raw[15];
            d.iSerialNumber = raw[16];
            d.bNumConfigurations = raw[17];
            return d;
        }
        d.bcdUSB = ReadBcdVersion(dir / "version");
        d.bDeviceClass = ReadNumber<std::uint8_t>(dir / "bDeviceClass", 16).value_or(0);
        d.bMaxPacketSize0 = ReadNumber<std::uint8_t>(dir / "bMaxPacketSize0").value_or(64);
        d.idVendor = ReadNumber<std::uint16_t>(dir / "idVendor", 16).value_or(0);
        d.idProduct = ReadNumber<std::uint16_t>(dir / "idProduct", 16).value_or(0);
        d.bcdDevice = ReadNumber<std::uint16_t>(dir / "bcdDevice", 16).value_or(0);
        d.bNumConfigurations = ReadNumber<std::uint8_t>(dir / "bNumConfigurations").value_or(1);
        return d;
    }
    // Endpoints of the active configuration's interfaces ("B-P:C.I/ep_XX").
    static std::uint32_t endpointsOf(const fs::path& dir) {
        std::uint32_t n = 0;
        std::error_code ec;
        const std::string prefix = dir.filename().string() + ":";
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            if (!e.path().filename().string().starts_with(prefix))
                continue;
            std::error_code ec2;
            for (const auto& ep : fs::directory_iterator(e.path(), ec2))
                n += ep.path().filename().string().starts_with("ep_") ? 1 : 0;
        }
        return n;
    }

    fs::path devices_;
    std::string name_;
};

std::string Hex4(std::uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

}  // namespace

std::string_view InterfaceNode(std::string_view interfacePath) {
    return interfacePath.substr(0, interfacePath.find('#'));
}

std::string UsbInstanceIdOf(const fs::path& dir) {
    const auto vid = ReadNumber<std::uint16_t>(dir / "idVendor", 16);
    const auto pid = ReadNumber<std::uint16_t>(dir / "idProduct", 16);
    if (!vid || !pid)
        return {};
    return "usb\\vid_" + Hex4(*vid) + "&pid_" + Hex4(*pid) + "\\" + dir.filename().string();
}

SysfsUsbTopology::SysfsUsbTopology(fs::path sysfsRoot) : root_(std::move(sysfsRoot)) {}

std::optional<std::vector<std::string>> SysfsUsbTopology::hubInterfacePaths() {
    const fs::path devices = root_ / "bus/usb/devices";
    std::vector<std::string> roots, hubs;
    for (const std::string& name : SortedNames(devices)) {
        if (name.find(':') != std::string::npos)
            continue;  // an interface, not a device
        if (ReadNumber<std::uint8_t>(devices / name / "bDeviceClass", 16) != kHubClass)
            continue;
        if (name.starts_with("usb"))
            roots.push_back(std::string(kRootHubPrefix) + name);
        else
            hubs.push_back(std::string(kHubPrefix) + name);
    }
    roots.insert(roots.end(), hubs.begin(), hubs.end());
    return roots;
}

std::unique_ptr<UsbHub> SysfsUsbTopology::openHub(std::string_view path) {
    if (path.starts_with("\\\\.\\"))
        path.remove_prefix(4);
    if (path.starts_with(kRootHubPrefix))
        path.remove_prefix(kRootHubPrefix.size());
    else if (path.starts_with(kHubPrefix))
        path.remove_prefix(kHubPrefix.size());
    else
        return nullptr;
    const std::string name(path);
    const fs::path devices = root_ / "bus/usb/devices";
    if (!PlainName(name) ||
        ReadNumber<std::uint8_t>(devices / name / "bDeviceClass", 16) != kHubClass)
        return nullptr;
    return std::make_unique<SysfsHub>(devices, name);
}

std::optional<std::string> SysfsUsbTopology::instanceIdOfDriverKey(std::string_view driverKey) {
    std::string name(driverKey);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!PlainName(name))
        return std::nullopt;
    std::string id = UsbInstanceIdOf(root_ / "bus/usb/devices" / name);
    if (id.empty())
        return std::nullopt;
    return id;
}

SysfsStorageEnumerator::SysfsStorageEnumerator(fs::path sysfsRoot, fs::path devRoot)
    : root_(std::move(sysfsRoot)), dev_(std::move(devRoot)) {}

std::optional<std::vector<StorageInterface>> SysfsStorageEnumerator::diskInterfaces() {
    return list(false);
}

std::optional<std::vector<StorageInterface>> SysfsStorageEnumerator::opticalInterfaces() {
    return list(true);
}

std::optional<std::vector<StorageInterface>> SysfsStorageEnumerator::list(bool optical) {
    constexpr unsigned kDisk = 0, kOptical = 5, kSimplifiedDisk = 14;  // SCSI device types
    std::vector<StorageInterface> out;
    const fs::path blocks = root_ / "class/block";
    std::error_code ec;
    if (!fs::is_directory(blocks, ec))
        return out;
    for (const std::string& name : SortedNames(blocks)) {
        const fs::path entry = blocks / name;
        if (fs::exists(entry / "partition", ec))
            continue;
        const fs::path scsi = fs::canonical(entry / "device", ec);
        if (ec)
            continue;
        const auto type = ReadNumber<unsigned>(scsi / "type");
        if (!type)
            continue;
        const bool isOptical = *type == kOptical;
        if (isOptical != optical || (!isOptical && *type != kDisk && *type != kSimplifiedDisk))
            continue;
        // The USB interface the SCSI host hangs from, bound to usb-storage or uas.
        std::string tag;
        fs::path usbDevice;
        for (fs::path p = scsi.parent_path(); p.has_relative_path() && p != p.parent_path();
             p = p.parent_path()) {
            std::error_code le;
            const fs::path driver = fs::read_symlink(p / "driver", le);
            if (le)
                continue;
            const std::string d = driver.filename().string();
            if (d == "usb-storage" || d == "uas") {
                tag = d == "uas" ? "scsi" : "usbstor";
                usbDevice = p.parent_path();
            }
            break;
        }
        if (tag.empty())
            continue;
        StorageInterface si;
        // The sg node when there is one (it takes every command block), else the block node.
        fs::path node = dev_ / name;
        for (const std::string& sg : SortedNames(scsi / "scsi_generic")) {
            node = dev_ / sg;
            break;
        }
        si.interfacePath = node.string() + "#" + tag;
        si.parentInstanceId = UsbInstanceIdOf(usbDevice);
        if (const auto dev = ReadLine(entry / "dev")) {
            unsigned major = 0, minor = 0;
            if (std::sscanf(dev->c_str(), "%u:%u", &major, &minor) == 2)
                si.diskNode = (major << 20) | (minor & 0xFFFFF);
        }
        const auto bus = ReadNumber<std::uint32_t>(usbDevice / "busnum");
        const auto devnum = ReadNumber<std::uint32_t>(usbDevice / "devnum");
        if (bus && devnum)
            si.parentNode = (*bus << 16) | *devnum;
        out.push_back(std::move(si));
    }
    return out;
}

}  // namespace vq
