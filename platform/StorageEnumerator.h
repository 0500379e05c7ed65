// The disk and optical devices the machine's storage drivers expose, each with what the
// station needs to pair it with its USB device: the interface path used for pass-through,
// the instance id of its parent USB device, and the device nodes for removal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vq {

using DevNode = std::uint32_t;  // 0: none

struct StorageInterface {
    std::string interfacePath;     // contains "usbstor" (or "scsi" for a UAS-attached bridge)
    std::string parentInstanceId;  // the USB device of the bridge, lower case; empty if unknown
    DevNode diskNode = 0;
    DevNode parentNode = 0;
};

class StorageEnumerator {
  public:
    virtual ~StorageEnumerator() = default;
    // Present disk interfaces in enumeration order; nullopt when the list cannot be had.
    virtual std::optional<std::vector<StorageInterface>> diskInterfaces() = 0;
    // Present optical (CD-ROM class) interfaces.
    virtual std::optional<std::vector<StorageInterface>> opticalInterfaces() = 0;
};

}  // namespace vq
