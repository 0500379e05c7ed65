// A scripted stand-in for the platform's pass-through: it records every request exactly as
// the transport hands it over and answers from rules matched on the leading bytes of the
// command block. Blocks no rule answers get CHECK CONDITION, as a real device would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "tests/common/TestHex.h"

namespace vq::test {

using vq::testing_util::Hex;

inline std::string HexOf(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (auto b : bytes) {
        if (!s.empty())
            s += ' ';
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Time that moves only when someone sleeps.
class ManualClock final : public Clock {
  public:
    std::uint64_t tickMs() override { return ms_; }
    std::int64_t perfCounter() override { return static_cast<std::int64_t>(ms_) * 10'000; }
    std::int64_t perfFrequency() override { return 10'000'000; }
    void sleepMs(std::uint32_t ms) override { ms_ += ms; }

  private:
    std::uint64_t ms_ = 0;
};

struct Sent {
    std::string path;
    std::vector<std::uint8_t> cdb;
    DataDirection direction = DataDirection::None;
    std::size_t length = 0;
    std::vector<std::uint8_t> data;  // the buffer's content as handed over
    std::uintptr_t address = 0;      // where the transfer buffer lives
    std::uint32_t timeout = 0;
};

struct Reply {
    Reply(std::vector<std::uint8_t> d = {}, bool call = true, std::uint32_t error = 0,
          std::uint8_t status = 0, std::optional<std::uint32_t> moved = std::nullopt)
        : data(std::move(d)),
          callSucceeded(call),
          lastError(error),
          scsiStatus(status),
          transferred(moved) {}
    std::vector<std::uint8_t> data;  // copied into the transfer buffer (data-in)
    bool callSucceeded;
    std::uint32_t lastError;
    std::uint8_t scsiStatus;
    std::optional<std::uint32_t> transferred;  // default: the buffer's size
};

class FakeScsi final : public ScsiPassThrough {
  public:
    // The longest matching prefix answers.
    void on(const std::string& cdbPrefix, Reply reply) { rules_[Hex(cdbPrefix)] = reply; }
    void fail(const std::string& cdbPrefix) { on(cdbPrefix, Reply{{}, true, 0, 2, 0}); }
    // Consulted before the rules; answers when it returns a reply.
    std::function<std::optional<Reply>(const Sent&)> handler;

    std::vector<Sent> sent;
    int opens = 0;
    int closes = 0;
    bool openFails = false;
    std::optional<StorageDeviceNumber> number;

    std::unique_ptr<ScsiDevice> open(std::string_view path, std::uint32_t* lastError) override {
        if (openFails) {
            if (lastError)
                *lastError = 2;
            return nullptr;
        }
        ++opens;
        return std::make_unique<Device>(*this, std::string(path));
    }

    // Requests of the script reduced to their blocks, for sequence checks.
    std::vector<std::string> blocks() const {
        std::vector<std::string> out;
        for (const auto& s : sent)
            out.push_back(HexOf(s.cdb));
        return out;
    }

    class Device final : public ScsiDevice {
      public:
        Device(FakeScsi& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
        ~Device() override { ++owner_.closes; }
        ScsiResult execute(const ScsiRequest& r) override { return owner_.execute(path_, r); }
        std::optional<StorageDeviceNumber> deviceNumber() override { return owner_.number; }

      private:
        FakeScsi& owner_;
        std::string path_;
    };

    ScsiResult execute(const std::string& path, const ScsiRequest& r) {
        Sent s;
        s.path = path;
        s.cdb.assign(r.cdb.begin(), r.cdb.end());
        s.direction = r.direction;
        s.length = r.data.size();
        s.data.assign(r.data.begin(), r.data.end());
        s.address = reinterpret_cast<std::uintptr_t>(r.data.data());
        s.timeout = r.timeoutSeconds;
        sent.push_back(s);

        std::optional<Reply> reply;
        if (handler)
            reply = handler(s);
        if (!reply)
            reply = match(s.cdb);
        if (!reply)
            return {true, 0, 2, 0};
        if (r.direction == DataDirection::In) {
            std::copy_n(reply->data.begin(), std::min(reply->data.size(), r.data.size()),
                        r.data.begin());
        }
        return {reply->callSucceeded, reply->lastError, reply->scsiStatus,
                reply->transferred.value_or(static_cast<std::uint32_t>(r.data.size()))};
    }

  private:
    std::optional<Reply> match(const std::vector<std::uint8_t>& cdb) const {
        const Reply* best = nullptr;
        std::size_t bestLength = 0;
        for (const auto& [prefix, reply] : rules_) {
            if (prefix.size() <= cdb.size() && prefix.size() >= bestLength &&
                std::equal(prefix.begin(), prefix.end(), cdb.begin())) {
                best = &reply;
                bestLength = prefix.size();
            }
        }
        return best ? std::optional<Reply>(*best) : std::nullopt;
    }

    std::map<std::vector<std::uint8_t>, Reply> rules_;
};

}  // namespace vq::test
