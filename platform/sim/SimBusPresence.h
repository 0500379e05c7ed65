// A board's presence on the USB bus. Every time it leaves (reset, activation, unplug,
// power loss, a vanish fault) the bus generation moves on, so handles opened before fail;
// after a reset it comes back at a set time unless it was told not to. Without supply it
// runs on for its hold-up time before it goes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vq::sim {

class BusPresence {
  public:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    bool presentAt(std::int64_t now) const { return !gone_ && now >= returnAt_ && now < darkAt_; }
    // A board that lost its supply goes dark at a set time: from then on it is gone.
    void settle(std::int64_t now) {
        if (!gone_ && now >= darkAt_)
            leave();
    }
    // The supply is switched off: the board keeps running on its charge until `at`.
    void supplyLost(std::int64_t at) { darkAt_ = std::min(darkAt_, at); }
    // Whether it still runs without supply (a power loss not yet taken effect).
    bool onCharge() const { return !gone_ && darkAt_ != kNever; }
    // The supply came back before the board went dark: it never stopped.
    void supplyBack() { darkAt_ = kNever; }
    std::uint64_t generation() const { return generation_; }
    bool gone() const { return gone_; }
    std::uint32_t resets() const { return resets_; }

    // Pulled off the bus (unplugged, unpowered, vanished): gone until put back.
    void leave() {
        gone_ = true;
        darkAt_ = kNever;
        ++generation_;
    }
    // Put back on the bus now.
    void arrive(std::int64_t now) {
        gone_ = false;
        darkAt_ = kNever;
        ++generation_;
        returnAt_ = now;
    }
    // A reset: off the bus until `returnAt`, or for good when it does not come back.
    void reset(std::int64_t returnAt, bool comeBack) {
        ++generation_;
        ++resets_;
        returnAt_ = returnAt;
        if (!comeBack)
            gone_ = true;
    }
    // When a reset board comes back (meaningful while not gone).
    std::int64_t returnAt() const { return returnAt_; }

  private:
    std::uint64_t generation_ = 1;
    std::int64_t returnAt_ = 0;
    std::int64_t darkAt_ = kNever;  // a lost supply ends the board's run then
    bool gone_ = false;
    std::uint32_t resets_ = 0;
};

}  // namespace vq::sim
