// SCSI pass-through on Linux: the SG_IO request of the SCSI generic driver, on an sg node
// (/dev/sgN) or on the disk's block device (/dev/sdX), which accepts the same request.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ScsiPassThrough.h"

namespace vq {

class SgIoPassThrough final : public ScsiPassThrough {
  public:
    // Opens the node for read and write; a path that does not exist, or a node that does
    // not take SG_IO, fails at once with the errno value in *lastError.
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
ScsiResult FoldSgIoResult(std::uint8_t status, std::uint16_t hostStatus, std::uint16_t driverStatus,
                          std::int32_t resid, std::uint32_t transferLength);

}  // namespace vq
