// The seam between the station and the machine. One Platform is handed to the station;
// nothing reaches the operating system or the hardware any other way. Services that a
// platform does not offer (yet) are null.
#pragma once

#include <filesystem>
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

struct Platform {
    std::string name;  // "sim", "linux" or "win32"
    // The program's own folder: the settings file and the "log" folder live here.
    std::filesystem::path home;

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
