// The 128-byte serial EEPROM of the older bridge boards: byte-addressed, written in
// 8-byte pages, non-volatile. Boards without one leave it unfitted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace vq::sim {

class EepromPart {
  public:
    static constexpr std::size_t kSize = 128;
    static constexpr std::size_t kPage = 8;

    void fit(bool fitted, std::span<const std::uint8_t> initial) {
        fitted_ = fitted;
        bytes_.assign(kSize, 0xFF);
        std::copy_n(initial.begin(), std::min(initial.size(), kSize), bytes_.begin());
    }
    bool fitted() const { return fitted_; }
    bool inRange(std::uint32_t address, std::size_t length) const {
        return address + length <= bytes_.size();
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Pages a write of `length` bytes takes.
    static std::size_t pages(std::size_t length) { return (length + kPage - 1) / kPage; }

  private:
    bool fitted_ = false;
    std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(kSize, 0xFF);
};

}  // namespace vq::sim
