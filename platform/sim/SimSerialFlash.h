// The serial flash part fitted on a bridge board, as its datasheet describes it: the
// memory array, the status register (bit 0 busy, bit 1 write enable latch, bits 2-4
// block protection, bit 7 status-register protect), the identification answers of its
// family, and the auto-address-increment word program of the parts that have one.
//
// - Programming only clears bits; erasing sets them.
// - Any protection bit protects the whole part: erases and programs are ignored.
// - The status register takes a write only after a write enable (0x06) or an enable of
//   the status write (0x50); the write keeps bits 2-4 and 7.
// - Power-on clears the write enable latch, ends an auto-increment program and any
//   operation in progress; the array and the protection bits are kept.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/sim/BridgeProfile.h"

namespace vq::sim {

class SerialFlashPart {
  public:
    // Fits a part of `family` with `size` bytes (0: none fitted), erased, then `initial`
    // from address 0.
    void fit(const FlashFamily& family, std::uint32_t size, std::span<const std::uint8_t> initial,
             bool protectedAtPowerOn);
    void powerOn();

    bool fitted() const { return !bytes_.empty(); }
    std::size_t size() const { return bytes_.size(); }
    const FlashFamily& family() const { return *family_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    // The status register as the part answers opcode 0x05 at emulated time `t`.
    std::uint8_t status(std::int64_t t) const {
        return static_cast<std::uint8_t>(status_ | (busyAt(t) ? 1 : 0));
    }
    std::uint8_t statusBits() const { return status_; }
    bool busyAt(std::int64_t t) const { return stuck_ || t < busyUntil_; }
    bool isProtected() const { return (status_ & 0x1C) != 0; }
    // The non-volatile status bits (2-4 and 7), as a part that kept them shows them.
    std::uint8_t protectionBits() const { return static_cast<std::uint8_t>(status_ & 0x9C); }
    void setProtectionBits(std::uint8_t bits) {
        status_ = static_cast<std::uint8_t>((status_ & ~0x9C) | (bits & 0x9C));
    }
    // Busy until `t` (an erase or a program in progress).
    void busyUntil(std::int64_t t) { busyUntil_ = t; }
    std::int64_t busyEnd() const { return busyUntil_; }
    // The part never finishes its operation again (a fault).
    void stick() { stuck_ = true; }
    bool stuck() const { return stuck_; }

    void erase(std::uint32_t address, std::uint32_t length);
    // Programs `bytes` at `address`; returns how many were taken (0 when protected).
    std::size_t program(std::uint32_t address, std::span<const std::uint8_t> bytes);

    // The byte stream the part clocks out after an identification opcode (and after three
    // address bytes for 0x90 and 0xAB, which it takes from the first clocks when the
    // bridge sends none).
    std::vector<std::uint8_t> idStream(std::uint8_t opcode, bool addressGiven) const;

    void writeEnable() { status_ |= 0x02; }
    void writeDisable();
    void enableStatusWrite() { statusWriteEnabled_ = true; }
    // A status write; `doneAt` is when the part is ready again. Ignored without an enable.
    void writeStatus(std::uint8_t value, std::int64_t doneAt);

    // Auto-address-increment word program (opcode 0xAD) of the word-program parts.
    void startWordProgram(std::uint32_t address);
    // The next word of a running word program: the address it goes to, or nothing.
    std::optional<std::uint32_t> nextWord();

  private:
    const FlashFamily* family_ = &FlashFamilyFor(255);
    std::vector<std::uint8_t> bytes_;
    std::uint8_t status_ = 0;  // bits 1 (write enable) and 2-4, 7 (protection)
    bool statusWriteEnabled_ = false;
    std::int64_t busyUntil_ = 0;
    bool stuck_ = false;
    bool aai_ = false;
    std::uint32_t aaiAddress_ = 0;
};

}  // namespace vq::sim
