#include "platform/sim/usb/BulkOnlyTransport.h"

#include <algorithm>

#include "platform/sim/SimBridgeInternal.h"

namespace vq::sim {

namespace {

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint8_t StatusOf(const ScsiResult& r) {
    return r.callSucceeded && r.scsiStatus == 0 ? 0 : 1;
}

}  // namespace

bool NeverAnswered(const ScsiResult& result) {
    return !result.callSucceeded &&
           (result.lastError == kErrorSemTimeout || result.lastError == kErrorDeviceNotConnected);
}

BulkOnlyTransport::BulkOnlyTransport(Execute execute, std::uint8_t inEndpoint,
                                     std::uint8_t outEndpoint)
    : execute_(std::move(execute)), in_(inEndpoint), out_(outEndpoint) {}

void BulkOnlyTransport::complete(std::uint64_t id, std::uint8_t endpoint, UsbStatus status,
                                 std::vector<std::uint8_t> data, std::uint32_t length) {
    done_.push_back({id, endpoint, status, std::move(data), length});
}

std::vector<UsbCompletion> BulkOnlyTransport::takeCompletions() {
    std::vector<UsbCompletion> out;
    out.swap(done_);
    return out;
}

void BulkOnlyTransport::transfer(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                                 std::span<const std::uint8_t> out) {
    if (endpoint == in_) {
        if (inHalted_) {
            complete(id, endpoint, UsbStatus::Stall, {}, 0);
            return;
        }
        pending_.push_back({id, length});
        pump();
        return;
    }
    if (endpoint != out_ || outHalted_) {
        complete(id, endpoint, UsbStatus::Stall, {}, 0);
        return;
    }
    const auto size = static_cast<std::uint32_t>(out.size());
    switch (phase_) {
        case Phase::Command:
            complete(id, endpoint, UsbStatus::Success, {}, size);
            command(out);
            break;
        case Phase::DataOut:
            if (data_.size() + out.size() > hostLength_) {
                // More than the wrapper announced.
                outHalted_ = true;
                complete(id, endpoint, UsbStatus::Stall, {}, 0);
                finish(2, hostLength_ - static_cast<std::uint32_t>(data_.size()));
                break;
            }
            data_.insert(data_.end(), out.begin(), out.end());
            complete(id, endpoint, UsbStatus::Success, {}, size);
            if (data_.size() == hostLength_)
                runOut();
            break;
        case Phase::DataIn:
        case Phase::StallThenStatus:
            // The host sends while the device is to send: a phase error.
            outHalted_ = true;
            complete(id, endpoint, UsbStatus::Stall, {}, 0);
            status_ = 2;
            residue_ = hostLength_ - static_cast<std::uint32_t>(sent_);
            rebuildCsw();
            phase_ = Phase::StallThenStatus;
            break;
        default:
            outHalted_ = true;
            complete(id, endpoint, UsbStatus::Stall, {}, 0);
            break;
    }
    pump();
}

void BulkOnlyTransport::command(std::span<const std::uint8_t> cbw) {
    const std::uint8_t cbLength = cbw.size() == 31 ? cbw[14] : 0;
    if (cbw.size() != 31 || Le32(cbw, 0) != kCbwSignature || cbw[13] != 0 || cbLength < 1 ||
        cbLength > 16 || (cbw[12] & 0x7F) != 0) {
        phase_ = Phase::NeedsReset;
        inHalted_ = outHalted_ = true;
        return;
    }
    tag_ = Le32(cbw, 4);
    hostLength_ = Le32(cbw, 8);
    const bool in = (cbw[12] & 0x80) != 0;
    cdb_.assign(cbw.begin() + 15, cbw.begin() + 15 + cbLength);
    data_.clear();
    sent_ = 0;

    if (hostLength_ > kMaxDataPhase) {
        if (in) {
            finish(2, hostLength_);
            phase_ = Phase::StallThenStatus;
        } else {
            outHalted_ = true;
            finish(2, hostLength_);
        }
        return;
    }
    if (!in && hostLength_ > 0) {
        phase_ = Phase::DataOut;
        return;
    }
    ScsiRequest request;
    request.cdb = cdb_;
    request.timeoutSeconds = 30;
    if (in && hostLength_ > 0) {
        data_.assign(hostLength_, 0);
        request.direction = DataDirection::In;
        request.data = data_;
    }
    const ScsiResult r = execute_(request);
    if (NeverAnswered(r)) {
        phase_ = Phase::Hung;
        return;
    }
    const std::uint32_t moved = r.callSucceeded ? std::min(r.bytesTransferred, hostLength_) : 0;
    data_.resize(moved);
    finish(StatusOf(r), hostLength_ - moved);
    if (hostLength_ > 0)
        phase_ = moved > 0 ? Phase::DataIn : Phase::StallThenStatus;
}

void BulkOnlyTransport::runOut() {
    ScsiRequest request;
    request.cdb = cdb_;
    request.direction = DataDirection::Out;
    request.data = data_;
    request.timeoutSeconds = 30;
    const ScsiResult r = execute_(request);
    if (NeverAnswered(r)) {
        phase_ = Phase::Hung;
        return;
    }
    const std::uint32_t taken = r.callSucceeded ? std::min(r.bytesTransferred, hostLength_) : 0;
    finish(StatusOf(r), hostLength_ - taken);
}

void BulkOnlyTransport::finish(std::uint8_t status, std::uint32_t residue) {
    status_ = status;
    residue_ = residue;
    rebuildCsw();
    phase_ = Phase::Status;
}

void BulkOnlyTransport::rebuildCsw() {
    csw_.clear();
    PutLe32(csw_, kCswSignature);
    PutLe32(csw_, tag_);
    PutLe32(csw_, residue_);
    csw_.push_back(status_);
}

void BulkOnlyTransport::pump() {
    while (!pending_.empty()) {
        if (inHalted_) {
            for (const PendingIn& p : pending_)
                complete(p.id, in_, UsbStatus::Stall, {}, 0);
            pending_.clear();
            return;
        }
        const PendingIn p = pending_.front();
        switch (phase_) {
            case Phase::DataIn: {
                pending_.pop_front();
                const std::size_t k = std::min<std::size_t>(p.length, data_.size() - sent_);
                std::vector<std::uint8_t> piece(
                    data_.begin() + static_cast<std::ptrdiff_t>(sent_),
                    data_.begin() + static_cast<std::ptrdiff_t>(sent_ + k));
                sent_ += k;
                complete(p.id, in_, UsbStatus::Success, std::move(piece),
                         static_cast<std::uint32_t>(k));
                if (sent_ == data_.size()) {
                    // A short transfer ends the data phase; a full one that leaves the host
                    // expecting more is answered by a halt.
                    phase_ =
                        (k < p.length || residue_ == 0) ? Phase::Status : Phase::StallThenStatus;
                }
                break;
            }
            case Phase::StallThenStatus:
                inHalted_ = true;
                phase_ = Phase::Status;
                break;
            case Phase::Status: {
                pending_.pop_front();
                std::vector<std::uint8_t> csw = csw_;
                csw.resize(std::min<std::size_t>(csw.size(), p.length));
                const auto n = static_cast<std::uint32_t>(csw.size());
                complete(p.id, in_, UsbStatus::Success, std::move(csw), n);
                phase_ = Phase::Command;
                break;
            }
            default:
                return;  // nothing to send yet
        }
    }
}

void BulkOnlyTransport::cancel(std::uint64_t id) {
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [id](const PendingIn& p) { return p.id == id; });
    if (it == pending_.end())
        return;
    pending_.erase(it);
    complete(id, in_, UsbStatus::Cancelled, {}, 0);
}

void BulkOnlyTransport::massStorageReset() {
    phase_ = Phase::Command;
    data_.clear();
    sent_ = 0;
    status_ = 0;
    residue_ = 0;
}

bool BulkOnlyTransport::clearHalt(std::uint8_t endpoint) {
    if (endpoint != in_ && endpoint != out_)
        return (endpoint & 0x7F) == 0;
    if (phase_ == Phase::NeedsReset)
        return true;  // stays halted until the reset
    (endpoint == in_ ? inHalted_ : outHalted_) = false;
    pump();
    return true;
}

bool BulkOnlyTransport::setHalt(std::uint8_t endpoint) {
    if (endpoint != in_ && endpoint != out_)
        return false;
    (endpoint == in_ ? inHalted_ : outHalted_) = true;
    pump();
    return true;
}

bool BulkOnlyTransport::halted(std::uint8_t endpoint) const {
    if (endpoint == in_)
        return inHalted_;
    if (endpoint == out_)
        return outHalted_;
    return false;
}

bool BulkOnlyTransport::answerPending() const {
    return phase_ == Phase::DataIn || phase_ == Phase::Status || phase_ == Phase::StallThenStatus;
}

void BulkOnlyTransport::restart() {
    for (const PendingIn& p : pending_)
        complete(p.id, in_, UsbStatus::Cancelled, {}, 0);
    pending_.clear();
    massStorageReset();
    inHalted_ = outHalted_ = false;
}

}  // namespace vq::sim
