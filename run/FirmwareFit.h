// The firmware fit check the settings panel asks when a firmware file is chosen and after
// every device refresh: the file must fit the first chip of the last scan.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/PanelServices.h"
#include "bridge/FirmwareImage.h"

namespace vq {

class Operator;

class StationFirmwareFit final : public FirmwareFitCheck {
  public:
    // `board26` names the first occupied port whose device is of ChipKind 26 (asked only for
    // images of its second revision); `op` shows the file's open error.
    StationFirmwareFit(std::function<bridge::Kind26Board()> board26, Operator* op)
        : board26_(std::move(board26)), op_(op) {}

    bool firmwareFits(const std::string& firmwareFile, std::uint16_t chipIdentity) override;

  private:
    std::function<bridge::Kind26Board()> board26_;
    Operator* op_;
};

}  // namespace vq
