// The 64 KiB parallel flash of the parallel-flash bridges (kinds 30 and 35). The bridge
// must first switch into the flash mode; the part erases only after its own six-cycle
// unlock sequence (set up beforehand) and programs only with its own unlock prefix. The
// three fitted types differ in the unlock bytes: types 0 and 2 take 0x55/0x2A, type 1
// 0x05/0x02. The flash mode is volatile: a reset or power cycle leaves it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vq::sim {

class ParallelFlashPart {
  public:
    static constexpr std::size_t kSize = 0x10000;

    void fit(std::uint8_t type, std::span<const std::uint8_t> initial);
    void powerOn();

    bool fitted() const { return !bytes_.empty(); }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    void enter() { mode_ = true; }
    bool inFlashMode() const { return mode_; }
    bool busyAt(std::int64_t t) const { return stuck_ || t < busyUntil_; }
    void stick() { stuck_ = true; }

    // The erase sequence the bridge will replay (18 bytes); armed when it is the part's.
    void setup(std::span<const std::uint8_t> sequence);
    // Erases the whole part when armed; busy until `doneAt`.
    void erase(std::int64_t doneAt);
    // The prefix of a program command (9 bytes); false when the part does not take it.
    bool unlocks(std::span<const std::uint8_t> prefix) const;
    void program(std::span<const std::uint8_t> data, std::int64_t doneAt);

  private:
    std::uint8_t unlockA() const { return type_ == 1 ? 0x05 : 0x55; }
    std::uint8_t unlockB() const { return type_ == 1 ? 0x02 : 0x2A; }

    std::uint8_t type_ = 0;
    std::vector<std::uint8_t> bytes_;
    bool mode_ = false;
    bool armed_ = false;
    bool stuck_ = false;
    std::int64_t busyUntil_ = 0;
};

}  // namespace vq::sim
