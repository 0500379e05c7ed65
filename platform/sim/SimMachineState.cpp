#include "platform/sim/SimMachineState.h"

#include <array>
#include <cstring>

namespace vq::sim {

namespace {

constexpr char kMagic[8] = {'V', 'Q', 'M', 'S', 'T', 'A', 'T', 'E'};
constexpr std::size_t kHeader = 24;
constexpr std::size_t kSkipRun = 64;  // fill runs at least this long are left out

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = MakeCrcTable();

class Writer {
  public:
    void bytes(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void text(std::string_view s) {
        u16(static_cast<std::uint16_t>(s.size()));
        bytes(s.data(), s.size());
    }
    // The bytes with the runs of the most common of 0xFF and 0x00 left out.
    void image(const std::vector<std::uint8_t>& b) {
        std::size_t ff = 0;
        for (auto v : b)
            ff += v == 0xFF;
        const std::uint8_t fill = ff * 2 >= b.size() ? 0xFF : 0x00;
        std::vector<std::pair<std::size_t, std::size_t>> segments;
        const std::size_t n = b.size();
        std::size_t i = 0;
        while (i < n) {
            std::size_t j = i;
            while (j < n && b[j] == fill)
                ++j;
            if (j - i >= kSkipRun || j == n) {
                i = j;  // a long fill run, or the fill up to the end
                continue;
            }
            // A segment runs up to the next long fill run, or to the fill at the end.
            std::size_t k = i, run = 0, runStart = i;
            for (; k < n; ++k) {
                if (b[k] != fill) {
                    run = 0;
                    continue;
                }
                if (run++ == 0)
                    runStart = k;
                if (run >= kSkipRun)
                    break;
            }
            const std::size_t stop = run > 0 ? runStart : n;
            segments.emplace_back(i, stop - i);
            i = stop;
        }
        u32(static_cast<std::uint32_t>(b.size()));
        u8(fill);
        u32(static_cast<std::uint32_t>(segments.size()));
        for (auto [off, len] : segments) {
            u32(static_cast<std::uint32_t>(off));
            u32(static_cast<std::uint32_t>(len));
            bytes(b.data() + off, len);
        }
    }
    std::string& out() { return out_; }

  private:
    std::string out_;
};

struct Damaged {
    std::string why;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> b) : b_(b) {}
    std::size_t left() const { return b_.size() - at_; }
    void need(std::size_t n, const char* what) const {
        if (left() < n)
            throw Damaged{std::string("truncated in ") + what};
    }
    std::uint8_t u8(const char* what) {
        need(1, what);
        return b_[at_++];
    }
    std::uint16_t u16(const char* what) {
        const std::uint16_t lo = u8(what);
        return static_cast<std::uint16_t>(lo | (u8(what) << 8));
    }
    std::uint32_t u32(const char* what) {
        const std::uint32_t lo = u16(what);
        return lo | (static_cast<std::uint32_t>(u16(what)) << 16);
    }
    std::uint64_t u64(const char* what) {
        const std::uint64_t lo = u32(what);
        return lo | (static_cast<std::uint64_t>(u32(what)) << 32);
    }
    std::uint32_t count(const char* what) {
        const std::uint32_t n = u32(what);
        if (n > kMaxKeptEntries)
            throw Damaged{std::string("too many ") + what};
        return n;
    }
    std::string text(const char* what) {
        const std::uint16_t n = u16(what);
        need(n, what);
        std::string s(reinterpret_cast<const char*>(b_.data() + at_), n);
        at_ += n;
        return s;
    }
    std::vector<std::uint8_t> image(const char* what, std::uint64_t& total) {
        const std::uint32_t size = u32(what);
        const std::uint8_t fill = u8(what);
        const std::uint32_t segments = u32(what);
        if (size > kMaxKeptImage || (total += size) > kMaxKeptTotal)
            throw Damaged{std::string(what) + " larger than a board holds"};
        // Each segment takes at least 9 bytes of the file: a count beyond that is a lie.
        need(std::size_t{segments} * 9, what);
        std::vector<std::uint8_t> out(size, fill);
        std::uint64_t next = 0;
        for (std::uint32_t s = 0; s < segments; ++s) {
            const std::uint32_t off = u32(what);
            const std::uint32_t len = u32(what);
            if (off < next || len == 0 || std::uint64_t{off} + len > size)
                throw Damaged{std::string(what) + " segment out of place"};
            need(len, what);
            std::memcpy(out.data() + off, b_.data() + at_, len);
            at_ += len;
            next = std::uint64_t{off} + len;
        }
        return out;
    }

  private:
    std::span<const std::uint8_t> b_;
    std::size_t at_ = 0;
};

}  // namespace

std::uint64_t ScenarioHash(std::string_view text) {
    std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (char c : text) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 0x100000001B3ull;
    }
    return h;
}

std::uint32_t StateChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes)
        c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string EncodeMachineState(const MachineState& s) {
    Writer w;
    w.bytes(kMagic, sizeof kMagic);
    w.u32(kMachineStateVersion);
    w.u32(0);  // the length, filled in below
    w.u64(s.scenarioHash);
    w.u32(static_cast<std::uint32_t>(s.boards.size()));
    for (const KeptBoard& b : s.boards) {
        w.u32(b.storageNumber);
        w.u8(b.kind);
        w.u8(b.kept.gone ? 1 : 0);
        w.u8(b.kept.powerLines);
        w.u8(b.kept.flashProtection);
        w.image(b.kept.eeprom);
        w.image(b.kept.serialFlash);
        w.image(b.kept.parallelFlash);
        w.text(b.kept.storedSerial);
    }
    w.u32(static_cast<std::uint32_t>(s.unplugged.size()));
    for (const auto& [hub, port] : s.unplugged) {
        w.text(hub);
        w.u32(port);
    }
    w.u32(static_cast<std::uint32_t>(s.hubPower.size()));
    for (const auto& [hub, on] : s.hubPower) {
        w.text(hub);
        w.u8(on ? 1 : 0);
    }
    std::string& out = w.out();
    const auto length = static_cast<std::uint32_t>(out.size() + 4);
    for (int i = 0; i < 4; ++i)
        out[12 + static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    const std::uint32_t crc =
        StateChecksum(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
    w.u32(crc);
    return std::move(out);
}

std::variant<MachineState, std::string> DecodeMachineState(std::span<const std::uint8_t> file) {
    if (file.size() < kHeader + 4 || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0)
        return std::string("not a state file of the emulated station");
    try {
        Reader r(file.subspan(8));
        const std::uint32_t version = r.u32("header");
        if (version != kMachineStateVersion)
            return "state file version " + std::to_string(version) + ", this program reads " +
                   std::to_string(kMachineStateVersion);
        if (r.u32("header") != file.size())
            return std::string("damaged: its length is not the one recorded");
        const std::size_t body = file.size() - 4;
        std::uint32_t stored = 0;
        for (int i = 0; i < 4; ++i)
            stored |= static_cast<std::uint32_t>(file[body + static_cast<std::size_t>(i)])
                      << (8 * i);
        if (StateChecksum(file.first(body)) != stored)
            return std::string("damaged: its checksum does not match");

        Reader b(file.subspan(16, body - 16));
        MachineState s;
        s.scenarioHash = b.u64("header");
        std::uint64_t total = 0;
        const std::uint32_t boards = b.count("boards");
        for (std::uint32_t i = 0; i < boards; ++i) {
            KeptBoard k;
            k.storageNumber = b.u32("board");
            k.kind = b.u8("board");
            const std::uint8_t flags = b.u8("board");
            if (flags & ~1u)
                throw Damaged{"unknown board flags"};
            k.kept.gone = (flags & 1) != 0;
            k.kept.powerLines = b.u8("board");
            k.kept.flashProtection = b.u8("board");
            k.kept.eeprom = b.image("EEPROM", total);
            k.kept.serialFlash = b.image("serial flash", total);
            k.kept.parallelFlash = b.image("parallel flash", total);
            k.kept.storedSerial = b.text("stored serial");
            s.boards.push_back(std::move(k));
        }
        const std::uint32_t ports = b.count("unplugged ports");
        for (std::uint32_t i = 0; i < ports; ++i) {
            std::string hub = b.text("unplugged ports");
            s.unplugged.emplace_back(std::move(hub), b.u32("unplugged ports"));
        }
        const std::uint32_t hubs = b.count("switched hubs");
        for (std::uint32_t i = 0; i < hubs; ++i) {
            std::string hub = b.text("switched hubs");
            const std::uint8_t on = b.u8("switched hubs");
            if (on > 1)
                throw Damaged{"hub power neither on nor off"};
            s.hubPower.emplace_back(std::move(hub), on == 1);
        }
        if (b.left() != 0)
            throw Damaged{"bytes after the end"};
        return s;
    } catch (const Damaged& d) {
        return "damaged: " + d.why;
    }
}

}  // namespace vq::sim
