// SCSI pass-through on Linux: the SG_IO request of the SCSI generic driver, on an sg node
// (/dev/sgN) or on the disk's block device (/dev/sdX), which accepts the same request.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "platform/ScsiPassThrough.h"

namespace vq {

class SgIoPassThrough final : public ScsiPassThrough {
  public:
    // Opens the node for read and write (an interface path's node: what precedes its '#'); a path
    // that does not exist, or a node that does not take SG_IO, fails at once with the errno value
    // in *lastError.
    std::unique_ptr<ScsiDevice> open(std::string_view path,
                                     std::uint32_t* lastError = nullptr) override;
};

// The fields of an SG_IO request that the station's request decides.
struct SgIoPlan {
    int dxferDirection = 0;  // SG_DXFER_NONE (-1), SG_DXFER_TO_DEV (-2), SG_DXFER_FROM_DEV (-3)
    std::uint32_t timeoutMs = 0;
    std::uint32_t error = 0;  // errno value when the request cannot be sent
};
SgIoPlan PlanSgIo(const ScsiRequest& request);

// What the driver reported, folded into the station's result: a nonzero host or driver
// status becomes the last error (host status in the high half, driver status in the low
// half); the residual count is taken off the transfer length.
// The sense bytes the driver wrote are kept in the result.
ScsiResult FoldSgIoResult(std::uint8_t status, std::uint16_t hostStatus, std::uint16_t driverStatus,
                          std::int32_t resid, std::uint32_t transferLength,
                          std::span<const std::uint8_t> sense = {});

// Sends one request on an open node through `ioctlFn` (the SG_IO ioctl outside tests).
// An interrupted call is reported as such (callSucceeded false, lastError EINTR) and never
// sent again: on an sg node the kernel may already have queued the command, and a vendor
// command sent twice can do harm.
using SgIoctl = int (*)(int fd, void* header);
ScsiResult ExecuteSgIo(int fd, const ScsiRequest& request, SgIoctl ioctlFn);

// The storage device number of a path: the node is opened with no access rights (O_PATH),
// so the query needs no read or write permission on it, and looked up under `sysfsRoot`.
std::optional<StorageDeviceNumber> QueryDeviceNumber(
    std::string_view path, const std::filesystem::path& sysfsRoot = "/sys");

}  // namespace vq
