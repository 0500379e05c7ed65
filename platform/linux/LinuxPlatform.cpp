#include "platform/linux/LinuxPlatform.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/Host.h"

namespace vq {

namespace {

std::optional<OsVersion> KernelVersion() {
    utsname u{};
    if (::uname(&u) != 0)
        return std::nullopt;
    OsVersion v;
    if (std::sscanf(u.release, "%u.%u", &v.major, &v.minor) != 2)
        return std::nullopt;
    return v;
}

}  // namespace

LinuxPlatform::LinuxPlatform(LinuxPlatformOptions options)
    : options_(std::move(options)),
      stationClock_(options_.waitScale),
      mutexes_(MakeHostNamedMutexProvider()),
      diagnostics_(options_.verbose),
      storage_(options_.sysfsRoot, options_.devRoot),
      usb_(options_.sysfsRoot),
      files_(&diagnostics_),
      removal_(options_.sysfsRoot,
               [this](const std::string& disk) { return volumes_.releaseMountsOf(disk); }),
      volumes_(LinuxVolumesOptions{
          options_.sysfsRoot, options_.devRoot,
          options_.mountRoot.empty() ? options_.home / "mnt" : options_.mountRoot, &clock_,
          [this](const DeviceEvent& e) { hotplug_.report(e); }}),
      disks_(
          options_.sysfsRoot, options_.devRoot, [this] { volumes_.rescan(); },
          [this](const std::string& part) { return volumes_.releaseMountsOf(part); }, &clock_,
          &volumes_),
      hotplug_([this] { volumes_.rescan(); }) {
    platform_.name = "linux";
    platform_.home = options_.home;
    platform_.osVersion = KernelVersion();
    platform_.clock = &stationClock_;
    platform_.mutexes = mutexes_.get();
    platform_.diagnostics = &diagnostics_;
    platform_.scsi = &scsi_;
    platform_.storage = &storage_;
    platform_.usb = &usb_;
    platform_.removal = &removal_;
    platform_.hotplug = &hotplug_;
    platform_.volumes = &volumes_;
    platform_.disks = &disks_;
    platform_.files = &files_;
}

std::vector<std::string> LinuxPlatform::scsiNodes() {
    std::vector<std::string> nodes;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(options_.devRoot, ec)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with("sg") && name.size() > 2 &&
            std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            nodes.push_back(e.path().string());
    }
    for (const auto& list : {storage_.diskInterfaces(), storage_.opticalInterfaces()}) {
        for (const StorageInterface& si : list.value_or(std::vector<StorageInterface>{}))
            nodes.emplace_back(InterfaceNode(si.interfacePath));
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    return nodes;
}

std::string FirstNodeWithoutAccess(bool root, const std::vector<std::string>& nodes,
                                   const std::function<bool(const std::string&)>& canReadWrite) {
    if (root)
        return {};
    for (const std::string& n : nodes) {
        if (!canReadWrite(n))
            return n;
    }
    return {};
}

std::string FirstNodeWithoutAccess(LinuxPlatform& host) {
    return FirstNodeWithoutAccess(::geteuid() == 0, host.scsiNodes(), [](const std::string& n) {
        // A node the kernel named but that is missing in /dev is not a matter of rights.
        return ::access(n.c_str(), F_OK) != 0 || ::access(n.c_str(), R_OK | W_OK) == 0;
    });
}

}  // namespace vq
