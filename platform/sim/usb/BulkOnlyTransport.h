// The device side of the bulk-only mass-storage transport: a command block wrapper (31
// bytes) on the bulk OUT endpoint, the data phase the wrapper announces, and the 13-byte
// status wrapper on the bulk IN endpoint. Each command block goes to `execute`, the
// device's command handler, with the direction and length the host announced.
//
// How it behaves where the host and the device disagree, as a real device does:
// - An invalid wrapper (wrong size or signature, a LUN other than 0, a block length
//   outside 1..16) halts both endpoints until the host's mass-storage reset; clearing the
//   halts before that leaves them halted.
// - The host expects more than the device sends: the device sends what it has; a transfer
//   it ends short ends the data phase, and when it has nothing left for a transfer it
//   halts IN. The status then carries the residue.
// - Data on OUT when no OUT data phase runs (a wrong direction) halts OUT; the command
//   then reports a phase error. More OUT data than announced does the same.
// - An IN transfer while the device has nothing to send waits (the device NAKs it) until
//   data or the status is ready, or until the host cancels it.
// - A command the device never answers (it hangs, or it left the bus) leaves IN waiting
//   until a reset.
// - The mass-storage reset forgets the command in progress; halts stay until cleared.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/ScsiPassThrough.h"
#include "platform/UsbDeviceSide.h"

namespace vq::sim {

inline constexpr std::uint32_t kCbwSignature = 0x43425355;
inline constexpr std::uint32_t kCswSignature = 0x53425355;
// The largest data phase the device takes; a wrapper announcing more is a phase error.
inline constexpr std::uint32_t kMaxDataPhase = 32u << 20;

class BulkOnlyTransport {
  public:
    using Execute = std::function<ScsiResult(const ScsiRequest&)>;

    BulkOnlyTransport(Execute execute, std::uint8_t inEndpoint, std::uint8_t outEndpoint);

    // A data transfer on one of the two endpoints (others are stalled).
    void transfer(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                  std::span<const std::uint8_t> out);
    void cancel(std::uint64_t id);
    std::vector<UsbCompletion> takeCompletions();

    // The class request: ready for the next command block.
    void massStorageReset();
    // CLEAR_FEATURE(ENDPOINT_HALT) and SET_FEATURE(ENDPOINT_HALT).
    bool clearHalt(std::uint8_t endpoint);
    bool setHalt(std::uint8_t endpoint);
    bool halted(std::uint8_t endpoint) const;
    // Data or a status is waiting for the host to fetch it.
    bool answerPending() const;
    // Configuration set, port reset or a new connection: everything forgotten, waiting
    // transfers completed as cancelled.
    void restart();

  private:
    enum class Phase { Command, DataIn, DataOut, Status, StallThenStatus, NeedsReset, Hung };

    struct PendingIn {
        std::uint64_t id;
        std::uint32_t length;
    };

    void command(std::span<const std::uint8_t> cbw);
    void runOut();
    void finish(std::uint8_t status, std::uint32_t residue);
    void rebuildCsw();
    void complete(std::uint64_t id, std::uint8_t endpoint, UsbStatus status,
                  std::vector<std::uint8_t> data, std::uint32_t length);
    void pump();

    Execute execute_;
    std::uint8_t in_, out_;
    Phase phase_ = Phase::Command;
    bool inHalted_ = false, outHalted_ = false;
    std::deque<PendingIn> pending_;
    std::vector<UsbCompletion> done_;

    // The command in progress.
    std::uint32_t tag_ = 0;
    std::uint32_t hostLength_ = 0;
    std::vector<std::uint8_t> cdb_;
    std::vector<std::uint8_t> data_;  // IN: what the device sends; OUT: what it took
    std::size_t sent_ = 0;
    std::uint8_t status_ = 0;
    std::uint32_t residue_ = 0;
    std::vector<std::uint8_t> csw_;
};

// Whether the device never answered: it hung or left the bus.
bool NeverAnswered(const ScsiResult& result);

}  // namespace vq::sim
