// A board's presence on the USB bus. Every time it leaves (reset, activation, unplug,
// power loss, a vanish fault) the bus generation moves on, so handles opened before fail;
// after a reset it comes back at a set time unless it was told not to.
#pragma once

#include <cstdint>

namespace vq::sim {

class BusPresence {
  public:
    bool presentAt(std::int64_t now) const { return !gone_ && now >= returnAt_; }
    std::uint64_t generation() const { return generation_; }
    bool gone() const { return gone_; }
    std::uint32_t resets() const { return resets_; }

    // Pulled off the bus (unplugged, unpowered, vanished): gone until put back.
    void leave() {
        gone_ = true;
        ++generation_;
    }
    // Put back on the bus now.
    void arrive(std::int64_t now) {
        gone_ = false;
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
    bool gone_ = false;
    std::uint32_t resets_ = 0;
};

}  // namespace vq::sim
