#include "platform/sim/SimParallelFlash.h"

#include <algorithm>

namespace vq::sim {

void ParallelFlashPart::fit(std::uint8_t type, std::span<const std::uint8_t> initial) {
    type_ = type;
    bytes_.assign(kSize, 0xFF);
    std::copy_n(initial.begin(), std::min<std::size_t>(initial.size(), kSize), bytes_.begin());
    powerOn();
}

void ParallelFlashPart::powerOn() {
    mode_ = false;
    armed_ = false;
    busyUntil_ = 0;
}

void ParallelFlashPart::setup(std::span<const std::uint8_t> sequence) {
    const std::uint8_t a = unlockA(), b = unlockB();
    const std::array<std::uint8_t, 18> want{0x55, a,    0xAA, b,    0x55, a,    0x55, a,    0xAA,
                                            b,    0x55, a,    0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    armed_ =
        sequence.size() >= want.size() && std::equal(want.begin(), want.end(), sequence.begin());
}

void ParallelFlashPart::erase(std::int64_t doneAt) {
    if (armed_) {
        std::fill(bytes_.begin(), bytes_.end(), std::uint8_t{0xFF});
        busyUntil_ = doneAt;
    }
    armed_ = false;
}

bool ParallelFlashPart::unlocks(std::span<const std::uint8_t> prefix) const {
    const std::uint8_t a = unlockA(), b = unlockB();
    const std::array<std::uint8_t, 9> want{0x55, a, 0xAA, b, 0x55, a, 0xAA, 0x55, 0xA0};
    return prefix.size() >= want.size() && std::equal(want.begin(), want.end(), prefix.begin());
}

void ParallelFlashPart::program(std::span<const std::uint8_t> data, std::int64_t doneAt) {
    const std::size_t n = std::min(data.size(), bytes_.size());
    for (std::size_t i = 0; i < n; ++i)
        bytes_[i] &= data[i];
    busyUntil_ = doneAt;
}

}  // namespace vq::sim
