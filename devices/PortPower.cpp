#include "devices/PortPower.h"

#include "bridge/VendorCommands.h"

namespace vq {

bool WritePowerByte(const bridge::Target& board, std::uint8_t byte) {
    return bridge::WriteXdata(board, PowerControl::kControlRegister, ConstBytes(&byte, 1));
}

bool PowerOffAtClose(bool typeC, PowerControl& power, const bridge::Transport& transport) {
    if (!typeC || !power.ready)
        return false;
    power.controlByte &=
        static_cast<std::uint8_t>(~(PowerControl::kPowerOn | PowerControl::kSecondLine));
    return WritePowerByte({transport, power.devicePath}, power.controlByte);
}

}  // namespace vq
