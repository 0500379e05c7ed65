// What the kernel hands the Linux platform, on arbitrary bytes: device messages from the
// netlink socket and lines of the mount table. A message either is refused or names an
// action and a device path starting with '/'; an event comes only of an add or a remove.
// Every mount line read has its mount point and source.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/linux/LinuxHotplug.h"
#include "platform/linux/LinuxVolumes.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const char> bytes(reinterpret_cast<const char*>(data), size);
    if (const auto u = vq::ParseUevent(bytes)) {
        Check(!u->devpath.empty() && u->devpath.front() == '/');
        if (const auto e = vq::EventOfUevent(*u))
            Check(u->action == "add" || u->action == "remove");
    }
    for (const vq::MountEntry& m :
         vq::ParseMountInfo(std::string_view(bytes.data(), bytes.size()))) {
        Check(!m.majorMinor.empty());
        (void)m.mountPoint;
    }
    return 0;
}
