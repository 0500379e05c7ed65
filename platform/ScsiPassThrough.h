// Direct SCSI pass-through to a storage device: the only way the station talks to a
// bridge. A handle is opened on a device path (a volume such as "\\.\E:", a physical
// drive, a device interface path, or on Linux an sg or block device node); each
// execute() sends one command block with an optional data phase and reports what the
// system reported, without judging it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace vq {

enum class DataDirection { None, In, Out };

struct ScsiRequest {
    std::span<const std::uint8_t> cdb;  // 6 to 16 bytes
    DataDirection direction = DataDirection::None;
    std::span<std::uint8_t> data;  // the transfer buffer; its size is the transfer length
    std::uint32_t timeoutSeconds = 0;
};

struct ScsiResult {
    bool callSucceeded = false;   // the system accepted and completed the request
    std::uint32_t lastError = 0;  // the system's error code for the call, 0 when none
    std::uint8_t scsiStatus = 0;  // 0 GOOD, 2 CHECK CONDITION, ...
    std::uint32_t bytesTransferred = 0;
    // Sense data the system returned with the answer, for the diagnostics (platforms that
    // fetch none leave it empty).
    std::uint8_t senseLength = 0;
    std::array<std::uint8_t, 32> sense{};
};

// What IOCTL_STORAGE_GET_DEVICE_NUMBER answers for a path.
struct StorageDeviceNumber {
    std::uint32_t deviceType = 0;  // 7 = disk, 2 = CD-ROM (FILE_DEVICE_* numbers)
    std::uint32_t deviceNumber = 0;
    std::uint32_t partitionNumber = 0;
};

class ScsiDevice {
  public:
    virtual ~ScsiDevice() = default;
    virtual ScsiResult execute(const ScsiRequest& request) = 0;
    virtual std::optional<StorageDeviceNumber> deviceNumber() = 0;
};

class ScsiPassThrough {
  public:
    virtual ~ScsiPassThrough() = default;
    // Opens a device path for read and write; null when it cannot be opened, with the
    // system's error code in *lastError when given.
    virtual std::unique_ptr<ScsiDevice> open(std::string_view path,
                                             std::uint32_t* lastError = nullptr) = 0;
};

}  // namespace vq
