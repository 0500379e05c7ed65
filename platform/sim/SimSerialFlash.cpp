#include "platform/sim/SimSerialFlash.h"

#include <algorithm>

namespace vq::sim {

void SerialFlashPart::fit(const FlashFamily& family, std::uint32_t size,
                          std::span<const std::uint8_t> initial, bool protectedAtPowerOn) {
    family_ = &family;
    bytes_.clear();
    if (family.flashType != 255 && size > 0) {
        bytes_.assign(size, 0xFF);
        std::copy_n(initial.begin(), std::min<std::size_t>(initial.size(), size), bytes_.begin());
    }
    status_ = protectedAtPowerOn ? 0x1C : 0x00;
    powerOn();
}

void SerialFlashPart::powerOn() {
    status_ &= 0x9C;  // the protection bits are kept, the write enable latch is not
    statusWriteEnabled_ = false;
    busyUntil_ = 0;
    aai_ = false;
}

void SerialFlashPart::erase(std::uint32_t address, std::uint32_t length) {
    if (isProtected() || address >= bytes_.size())
        return;
    const std::size_t n = std::min<std::size_t>(length, bytes_.size() - address);
    std::fill_n(bytes_.begin() + address, n, std::uint8_t{0xFF});
}

std::size_t SerialFlashPart::program(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (isProtected() || address >= bytes_.size())
        return 0;
    const std::size_t n = std::min<std::size_t>(bytes.size(), bytes_.size() - address);
    for (std::size_t i = 0; i < n; ++i)
        bytes_[address + i] &= bytes[i];  // programming only clears bits
    return n;
}

std::vector<std::uint8_t> SerialFlashPart::idStream(std::uint8_t opcode, bool addressGiven) const {
    const FlashFamily& f = *family_;
    const std::size_t first = (!addressGiven && (opcode == 0x90 || opcode == 0xAB)) ? 3 : 0;
    std::vector<std::uint8_t> s(24, 0xFF);
    for (std::size_t i = first; i < s.size(); ++i) {
        const std::size_t k = i - first;
        switch (opcode) {
            case 0x9F:
                s[i] = f.jedec[k % 3];
                break;
            case 0x90:
                s[i] = f.rems[k % 2];
                break;
            case 0xAB:
                s[i] = f.res;
                break;
            case 0x15:
                s[i] = f.legacy15[k % 2];
                break;
            case 0x05:
                s[i] = status_;
                break;
            default:
                break;
        }
    }
    return s;
}

void SerialFlashPart::writeDisable() {
    status_ &= static_cast<std::uint8_t>(~0x02);
    aai_ = false;
}

void SerialFlashPart::writeStatus(std::uint8_t value, std::int64_t doneAt) {
    if (!(status_ & 0x02) && !statusWriteEnabled_)
        return;  // the part ignores a status write without an enable before it
    status_ = static_cast<std::uint8_t>(value & 0x9C);
    statusWriteEnabled_ = false;
    busyUntil_ = doneAt;
}

void SerialFlashPart::startWordProgram(std::uint32_t address) {
    if (family_->wordProgram && (status_ & 0x02)) {
        aai_ = true;
        aaiAddress_ = address;
    }
}

std::optional<std::uint32_t> SerialFlashPart::nextWord() {
    if (!aai_ || !family_->wordProgram)
        return std::nullopt;
    const std::uint32_t at = aaiAddress_;
    aaiAddress_ += 2;
    return at;
}

}  // namespace vq::sim
