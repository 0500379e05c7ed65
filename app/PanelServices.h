// What the settings panel needs from the layers that are not its own: the firmware fit
// check, the device scan, the start of a run and Safe Remove. The station supplies real
// implementations; tests supply doubles.
#pragma once

#include <cstdint>
#include <string>

namespace vq {

// Whether a firmware file fits a chip (the firmware image checks answer).
class FirmwareFitCheck {
  public:
    virtual ~FirmwareFitCheck() = default;
    // `chipIdentity` is the ChipKind and revision of the first attached device.
    virtual bool firmwareFits(const std::string& firmwareFile, std::uint16_t chipIdentity) = 0;
};

// What the panel sets off in the rest of the station.
class PanelActions {
  public:
    virtual ~PanelActions() = default;
    // Run the device scan again (which ends by handing its facts to AdjustAfterScan).
    virtual void rescanDevices() = 0;
    // Start a run as the START button does.
    virtual void startRun() = 0;
    // Remove all devices safely, as the "Safe Remove" button does.
    virtual void safeRemove() = 0;
    // The yield counters were (re)loaded: redraw the yield text.
    virtual void yieldCountersChanged() = 0;
};

}  // namespace vq
