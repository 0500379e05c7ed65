// Which serial flash family sits on a bridge. The bridge reports a family byte of its own;
// for the families it does not know, the flash's identification answers are read directly
// and looked up in the manufacturer tables.
#pragma once

#include <array>
#include <cstdint>

#include "bridge/ChipIdentity.h"
#include "bridge/Transport.h"

namespace vq::bridge {

// 8-bit flash family index; kNoFlash when none was detected.
using FlashType = std::uint8_t;
constexpr FlashType kNoFlash = 255;

struct FlashProbe {
    FlashType type = kNoFlash;         // kNoFlash when nothing identified the flash
    std::array<std::uint8_t, 4> id{};  // the answer bytes m0..m3 that identified it
    bool found() const { return type != kNoFlash; }
};

// Probe A: identification opcodes through raw serial-flash transactions, then two
// fall-backs through the bridge's own identification command.
FlashProbe ProbeFlashA(const Target& t);
// Probe B: the same opcodes through the bridge's identification command (4 bytes).
FlashProbe ProbeFlashB(const Target& t);
// Probe C: the bridge's identification command with opcode byte 0 (later families).
FlashProbe ProbeFlashC(const Target& t);

// The FlashType of a bridge of this kind; kinds 8 and 17 carry none and are not asked.
FlashType DetectFlashType(ChipKind kind, const Target& t);

}  // namespace vq::bridge
