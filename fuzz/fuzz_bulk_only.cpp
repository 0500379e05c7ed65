// The bulk-only transport on any sequence of host transfers (what a virtual machine sends
// an emulated bridge): wrappers with a valid signature and arbitrary fields, data either
// way, cancels, class resets, halts cleared and set. Every completion belongs to a transfer
// the host sent and still held, IN data never exceeds what was asked, and a status wrapper
// the device sends is 13 bytes with its signature.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/sim/usb/BulkOnlyTransport.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq;
    using namespace vq::sim;
    std::uint8_t answer[4096];
    for (std::size_t i = 0; i < sizeof answer; ++i)
        answer[i] = static_cast<std::uint8_t>(i);
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    BulkOnlyTransport bot(
        [&](const ScsiRequest& r) {
            ScsiResult res;
            res.callSucceeded = next() != 0xEE;
            res.lastError = res.callSucceeded ? 0 : 121;
            res.scsiStatus = next() & 2;
            const std::size_t n = std::min<std::size_t>(r.data.size(), next() * 16u);
            if (r.direction == DataDirection::In)
                std::copy_n(answer, std::min(n, sizeof answer), r.data.begin());
            res.bytesTransferred = static_cast<std::uint32_t>(n);
            return res;
        },
        0x81, 0x02);
    std::set<std::uint64_t> open;
    std::vector<std::uint32_t> asked(1, 0);
    std::uint64_t id = 0;
    while (at < size) {
        const std::uint8_t op = next();
        switch (op % 7) {
            case 0: {  // a wrapper: signature right, the rest from the input
                std::vector<std::uint8_t> cbw = {0x55, 0x53, 0x42, 0x43};
                const std::size_t n = 27 + (next() % 3) - 1;
                for (std::size_t i = 0; i < n; ++i)
                    cbw.push_back(next());
                if (cbw.size() > 12)
                    cbw[10] = cbw[11] = 0;  // keep the data phase small
                bot.transfer(++id, 0x02, static_cast<std::uint32_t>(cbw.size()), cbw);
                open.insert(id);
                asked.push_back(0);
                break;
            }
            case 1: {  // OUT data
                std::vector<std::uint8_t> d(next() * 8u, 0xA5);
                bot.transfer(++id, 0x02, static_cast<std::uint32_t>(d.size()), d);
                open.insert(id);
                asked.push_back(0);
                break;
            }
            case 2: {  // IN
                const std::uint32_t len = next() * 8u + (op >> 4);
                bot.transfer(++id, 0x81, len, {});
                open.insert(id);
                asked.push_back(len);
                break;
            }
            case 3:
                if (id)
                    bot.cancel(id - (next() % (id < 4 ? id : 4)));
                break;
            case 4:
                bot.massStorageReset();
                break;
            case 5:
                (next() & 1) ? bot.clearHalt(next() & 1 ? 0x81 : 0x02)
                             : bot.setHalt(next() & 1 ? 0x81 : 0x02);
                break;
            case 6:
                if ((next() & 15) == 0)
                    bot.restart();
                break;
        }
        for (const UsbCompletion& c : bot.takeCompletions()) {
            Check(open.erase(c.id) == 1);
            Check(c.data.size() <= asked[c.id]);
            if (c.endpoint == 0x81 && c.data.size() == 13 && c.data[0] == 0x55 && c.data[3] == 0x53)
                Check(c.data[12] <= 2);
        }
    }
    return 0;
}
