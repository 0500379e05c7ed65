// The station's seam on a Linux machine: real time, flock mutexes, SG_IO pass-through, the
// USB and storage views of sysfs, block devices, volumes under the program's own mount
// folder, files, device removal and the kernel's device events.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/NamedMutex.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxDisks.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/LinuxHotplug.h"
#include "platform/linux/LinuxRemoval.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/SgIoPassThrough.h"
#include "platform/linux/Sysfs.h"

namespace vq {

struct LinuxPlatformOptions {
    bool verbose = false;
    std::filesystem::path home;
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    // Where the volumes are mounted (one folder per letter); <home>/mnt when empty.
    std::filesystem::path mountRoot;
    // The station's waits last this share of their time (1: real time). The platform's own
    // waits for the kernel are never shortened.
    double waitScale = 1.0;
};

class LinuxPlatform {
  public:
    explicit LinuxPlatform(LinuxPlatformOptions options);
    Platform& platform() { return platform_; }

    // The SCSI nodes the station would open: every sg node, and the node of every USB
    // disk and optical drive.
    std::vector<std::string> scsiNodes();

  private:
    LinuxPlatformOptions options_;
    SteadyClock clock_;         // the services' waits for the kernel
    SteadyClock stationClock_;  // the station's, with the wait scale
    std::unique_ptr<NamedMutexProvider> mutexes_;
    StreamDiagnostics diagnostics_;
    SgIoPassThrough scsi_;
    SysfsStorageEnumerator storage_;
    SysfsUsbTopology usb_;
    LinuxFiles files_;
    LinuxRemoval removal_;
    LinuxVolumes volumes_;
    LinuxDisks disks_;
    LinuxHotplug hotplug_;  // last: its thread looks at the volumes
    Platform platform_;
};

// The words every refusal for want of rights ends with.
inline constexpr const char* kNeedDiskAccess = "run as root or add yourself to the disk group";

// The first of `nodes` the program may not read and write, unless it runs as root; empty
// when it may use them all. `canReadWrite` asks the system (access(2)) outside tests.
std::string FirstNodeWithoutAccess(bool root, const std::vector<std::string>& nodes,
                                   const std::function<bool(const std::string&)>& canReadWrite);

// The same for this process and this machine's nodes.
std::string FirstNodeWithoutAccess(LinuxPlatform& host);

}  // namespace vq
