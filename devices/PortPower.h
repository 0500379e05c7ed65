// The port-power control board of the type-C mode: what the station knows of it and the
// register writes that switch the power of the ports under test.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/Transport.h"

namespace vq {

struct PowerControl {
    std::string devicePath;        // interface path of the control board
    bool ready = false;            // initialisation succeeded and the board is still seen
    std::uint8_t controlByte = 0;  // high byte of the word last written to the board
    static constexpr std::uint8_t kPowerOn = 0x08;
    static constexpr std::uint8_t kSecondLine = 0x10;
    static constexpr std::uint16_t kControlRegister = 0x7059;
};

// Writes the control byte (one byte) to the board's control register.
bool WritePowerByte(const bridge::Target& board, std::uint8_t byte);

// Program close: with the type-C mode on and the board ready, the power and the second line
// are switched off. Returns whether a write was made and succeeded.
bool PowerOffAtClose(bool typeC, PowerControl& power, const bridge::Transport& transport);

}  // namespace vq
