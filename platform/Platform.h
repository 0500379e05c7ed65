// The seam between the station and the machine. One Platform is handed to the station;
// nothing reaches the operating system or the hardware any other way. Services that a
// platform does not offer (yet) are null.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vq {

class Clock;
class NamedMutexProvider;
class Diagnostics;
class Operator;
class ScsiPassThrough;
class StorageEnumerator;
class UsbTopology;
class DeviceRemoval;
class Hotplug;
class VolumeService;
class DiskService;
class FileService;

// Version numbers of the operating system, as the system reports them.
struct OsVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned servicePackMajor = 0;
};

struct Platform {
    std::string name;  // "sim", "linux" or "win32"
    // The program's own folder: the settings file and the "log" folder live here.
    std::filesystem::path home;
    // The operating system's version; nullopt when it cannot be read.
    std::optional<OsVersion> osVersion;

    Clock* clock = nullptr;
    NamedMutexProvider* mutexes = nullptr;
    Diagnostics* diagnostics = nullptr;
    Operator* op = nullptr;

    ScsiPassThrough* scsi = nullptr;
    StorageEnumerator* storage = nullptr;
    UsbTopology* usb = nullptr;
    DeviceRemoval* removal = nullptr;
    Hotplug* hotplug = nullptr;
    VolumeService* volumes = nullptr;
    DiskService* disks = nullptr;
    FileService* files = nullptr;
};

}  // namespace vq
