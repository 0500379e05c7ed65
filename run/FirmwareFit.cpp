#include "run/FirmwareFit.h"

namespace vq {

bool StationFirmwareFit::firmwareFits(const std::string& firmwareFile, std::uint16_t chipIdentity) {
    const bridge::Kind26Board board = board26_ ? board26_() : bridge::Kind26Board{};
    return bridge::CheckFirmwareFile(firmwareFile, chipIdentity, op_, board);
}

}  // namespace vq
