#include "platform/linux/LinuxRemoval.h"

#include <algorithm>
#include <charconv>
#include <fstream>

#include "platform/linux/LinuxVolumes.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

std::uint32_t ReadNumber(const fs::path& p) {
    const std::string s = ReadLine(p);
    std::uint32_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

bool WriteOne(const fs::path& p, const char* text = "1") {
    std::error_code ec;
    if (!fs::exists(p, ec))
        return false;
    std::ofstream out(p);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

std::vector<std::string> MountedDevicesOfSystem() {
    std::ifstream in("/proc/self/mountinfo");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::string> out;
    for (const MountEntry& m : ParseMountInfo(text))
        out.push_back(m.majorMinor);
    return out;
}

// A SCSI device's folder is named host:channel:target:lun.
bool IsScsiDeviceName(const std::string& name) {
    return std::count(name.begin(), name.end(), ':') == 3 &&
           std::all_of(name.begin(), name.end(),
                       [](char c) { return c == ':' || (c >= '0' && c <= '9'); });
}

}  // namespace

LinuxRemoval::LinuxRemoval(fs::path sysfsRoot,
                           std::function<bool(const std::string&)> releaseMounts,
                           std::function<std::vector<std::string>()> mountedDevices)
    : root_(std::move(sysfsRoot)),
      releaseMounts_(std::move(releaseMounts)),
      mountedDevices_(mountedDevices ? std::move(mountedDevices) : MountedDevicesOfSystem) {}

fs::path LinuxRemoval::usbDevice(DevNode node) {
    const std::uint32_t bus = node >> 16, devnum = node & 0xFFFF;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ / "bus/usb/devices", ec)) {
        if (fs::exists(e.path() / "busnum", ec) && ReadNumber(e.path() / "busnum") == bus &&
            ReadNumber(e.path() / "devnum") == devnum)
            return e.path();
    }
    return {};
}

RemovalResult LinuxRemoval::removeDisk(const fs::path& blockDir) {
    RemovalResult r;
    const std::string name = fs::canonical(blockDir).filename().string();
    if (releaseMounts_ && !releaseMounts_(name)) {
        r.vetoType = kVetoOutstandingOpen;
        r.vetoName = "/dev/" + name;
        return r;
    }
    // The disk and its partitions must be mounted nowhere.
    std::vector<std::string> devs = {ReadLine(blockDir / "dev")};
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(blockDir, ec)) {
        if (fs::exists(e.path() / "partition", ec))
            devs.push_back(ReadLine(e.path() / "dev"));
    }
    for (const std::string& m : mountedDevices_()) {
        if (std::find(devs.begin(), devs.end(), m) != devs.end()) {
            r.vetoType = kVetoOutstandingOpen;
            r.vetoName = "/dev/" + name;
            return r;
        }
    }
    r.callSucceeded = WriteOne(blockDir / "device/delete");
    return r;
}

RemovalResult LinuxRemoval::queryAndRemoveSubtree(DevNode node) {
    std::error_code ec;
    const fs::path block =
        root_ / "dev/block" / (std::to_string(node >> 20) + ":" + std::to_string(node & 0xFFFFF));
    if (node >= (1u << 20) && fs::exists(block, ec))
        return removeDisk(block);
    const fs::path usb = usbDevice(node);
    if (usb.empty())
        return {};
    // Every disk below the USB device first, so that a mounted one vetoes.
    std::vector<fs::path> scsi;
    for (auto it = fs::recursive_directory_iterator(fs::canonical(usb, ec), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        if (it->is_directory(ec) && !it->is_symlink(ec) &&
            IsScsiDeviceName(it->path().filename().string()))
            scsi.push_back(it->path());
    }
    for (const fs::path& s : scsi) {
        for (const auto& b : fs::directory_iterator(s / "block", ec)) {
            RemovalResult r = removeDisk(b.path());
            if (!r.callSucceeded)
                return r;
        }
    }
    RemovalResult r;
    r.callSucceeded = WriteOne(usb / "remove");
    if (!r.callSucceeded && !scsi.empty()) {
        r.callSucceeded = true;
        for (const fs::path& s : scsi)
            r.callSucceeded =
                (fs::exists(s, ec) ? WriteOne(s / "delete") : true) && r.callSucceeded;
    }
    return r;
}

RemovalResult LinuxRemoval::requestEject(DevNode node) {
    const fs::path usb = usbDevice(node);
    if (usb.empty())
        return queryAndRemoveSubtree(node);
    // "1-2.3" sits on port 3 of hub "1-2"; "1-2" on port 2 of root hub "usb1".
    const std::string name = usb.filename().string();
    const auto dot = name.rfind('.'), dash = name.rfind('-');
    if (dash == std::string::npos)
        return {};
    const bool onRoot = dot == std::string::npos || dot < dash;
    const std::string hub = onRoot ? "usb" + name.substr(0, dash) : name.substr(0, dot);
    const std::string port = name.substr((onRoot ? dash : dot) + 1);
    std::uint32_t n = 0;
    std::from_chars(port.data(), port.data() + port.size(), n);
    RemovalResult r;
    r.callSucceeded = setPortPower(hub, n, false).empty();
    return r;
}

std::string LinuxRemoval::setPortPower(std::string_view hub, std::uint32_t port, bool on) {
    // The hub's ports are in its interface folder: "1-2:1.0/1-2-port3", "usb1" has
    // "1-0:1.0/usb1-port3".
    const std::string h(hub);
    const std::string interfaceName = h.starts_with("usb") ? h.substr(3) + "-0:1.0" : h + ":1.0";
    const fs::path file = root_ / "bus/usb/devices" / h / interfaceName /
                          (h + "-port" + std::to_string(port)) / "disable";
    std::error_code ec;
    if (!fs::exists(file, ec))
        return "hub " + h + " offers no power control of port " + std::to_string(port) + " (no " +
               file.string() + ")";
    if (!WriteOne(file, on ? "0" : "1"))
        return "the kernel refused to switch port " + std::to_string(port) + " of hub " + h;
    return {};
}

}  // namespace vq
