// A scripted board for the writer tests: the memories a bridge carries (EEPROM, serial
// flash, memory space, parallel flash, a drive's sectors) as plain arrays behind the
// commands that reach them, so a test can assert both on the command blocks sent and on
// what ended up where. It models no timing and no protection; faults are set by hand.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "base/Bytes.h"
#include "tests/bridge/FakeScsi.h"

namespace vq::test {

struct ScriptedBoard {
    using Buf = std::vector<std::uint8_t>;
    Buf eeprom = Buf(128, 0);
    Buf flash = Buf(0x20000, 0xFF);     // serial flash, also the memory space without EEPROM
    bool memoryIsEeprom = true;         // ReadMemory/WriteMemory reach the EEPROM
    std::uint32_t memoryBlock = 65536;  // erase units of the memory space's block modes
    std::uint32_t memorySector = 4096;
    Buf parallel = Buf(0x10000, 0xFF);
    bool parallelMode = false;
    std::uint8_t service23 = 0;
    std::array<std::uint8_t, 4> jedec{0xEF, 0x40, 0x13, 0x00};
    std::uint8_t status = 0;  // serial-flash status register as read
    int busyReads = 0;        // status reads that still answer busy
    std::array<std::uint8_t, 32> chipInfo{};
    std::map<std::uint16_t, std::uint8_t> registers;
    // Drive behind the bridge.
    Buf identify = Buf(512, 0);
    std::uint32_t sectorSize = 512;
    std::map<std::uint64_t, Buf> sectors;  // sparse, by LBA
    std::uint64_t lastLba = 0;
    // Faults.
    int failAt = -1;                         // the n-th command (from 0) answers CHECK CONDITION
    std::optional<std::size_t> flipOnWrite;  // a programmed byte stored with bit 0 flipped
    bool stuckBusy = false;

    int commands = 0;
    std::uint8_t spiOp = 0;

    std::optional<Reply> operator()(const Sent& s) {
        const int n = commands++;
        if (n == failAt)
            return Reply{{}, true, 0, 2};
        const auto& c = s.cdb;
        if (c[0] == 0xDF)
            return familyA(s);
        if (c[0] == 0xFF && c[1] == 0x04)
            return service(s);
        if (c[0] == 0x85)
            return ataDma(s);
        if (c[0] == 0x9E) {
            Buf a(16, 0);
            PutBE64(a, 0, lastLba);
            PutBE32(a, 8, sectorSize);
            return Reply{a};
        }
        if (c[0] == 0xA1)
            return Reply{};
        return std::nullopt;
    }

    void program(Buf& mem, std::size_t at, ConstBytes data) {
        for (std::size_t i = 0; i < data.size() && at + i < mem.size(); ++i) {
            std::uint8_t v = data[i];
            if (flipOnWrite && *flipOnWrite == at + i)
                v ^= 0x01;
            mem[at + i] = v;
        }
    }
    static void erase(Buf& mem, std::size_t at, std::size_t n) {
        std::fill_n(mem.begin() + static_cast<std::ptrdiff_t>(at), std::min(n, mem.size() - at),
                    0xFF);
    }

    std::optional<Reply> familyA(const Sent& s) {
        const auto& c = s.cdb;
        const std::uint32_t addr = GetBE24(c, 8);
        switch (c[11]) {
            case 0xFA: {
                const Buf& mem = memoryIsEeprom ? eeprom : flash;
                if (addr + s.length > mem.size())
                    return Reply{{}, true, 0, 2};
                return Reply{Buf(mem.begin() + addr, mem.begin() + addr + s.length)};
            }
            case 0xFB: {
                Buf& mem = memoryIsEeprom ? eeprom : flash;
                if (addr + s.length > mem.size())
                    return Reply{{}, true, 0, 2};
                const std::uint8_t erase = c[1] & 0x07;
                if (erase == 3 || erase == 6 || erase == 7)
                    ScriptedBoard::erase(mem, 0, mem.size());
                else if (erase == 1 || erase == 4)
                    ScriptedBoard::erase(mem, addr / memorySector * memorySector, memorySector);
                else if (erase == 2 || erase == 5)
                    ScriptedBoard::erase(mem, addr / memoryBlock * memoryBlock, memoryBlock);
                program(mem, addr, s.data);
                return Reply{};
            }
            case 0xFD: {
                Buf a(s.length, 0);
                for (std::size_t i = 0; i < a.size(); ++i) {
                    const auto it = registers.find(static_cast<std::uint16_t>(GetBE16(c, 6) + i));
                    a[i] = it == registers.end() ? 0 : it->second;
                }
                return Reply{a};
            }
            case 0xEC:
                return Reply{identify};
            default:
                return std::nullopt;
        }
    }

    std::optional<Reply> service(const Sent& s) {
        const auto& c = s.cdb;
        const std::uint32_t addr = GetBE24(c, 3);
        switch (c[2]) {
            case 0x00:
                return Reply{{static_cast<std::uint8_t>(stuckBusy ? 1 : 0)}};
            case 0x01:
                if (!parallelMode || stuckBusy)
                    return Reply{{}, true, 0, 2};
                erase(parallel, 0, parallel.size());
                return Reply{};
            case 0x02:
                if (!parallelMode || stuckBusy)
                    return Reply{{}, true, 0, 2};
                program(parallel, 0, s.data);
                return Reply{};
            case 0x03: {
                const std::uint32_t at = GetLE32(c, 3);
                if (!parallelMode || at + s.length > parallel.size())
                    return Reply{{}, true, 0, 2};
                return Reply{Buf(parallel.begin() + at, parallel.begin() + at + s.length)};
            }
            case 0x04:
            case 0x05:
                parallelMode = true;
                return Reply{};
            case 0x10:
                if (addr + s.length > flash.size())
                    return Reply{{}, true, 0, 2};
                return Reply{Buf(flash.begin() + addr, flash.begin() + addr + s.length)};
            case 0x11:
                if (addr + s.length > flash.size())
                    return Reply{{}, true, 0, 2};
                program(flash, addr, s.data);
                return Reply{};
            case 0x12: {
                std::uint8_t st = status;
                if (stuckBusy || busyReads > 0) {
                    st |= 1;
                    if (busyReads > 0)
                        --busyReads;
                }
                return Reply{{st}};
            }
            case 0x13:
                erase(flash, 0, flash.size());
                return Reply{};
            case 0x14:
                erase(flash, addr / 32768 * 32768, 32768);
                return Reply{};
            case 0x20:
                spiOp = c[5];
                if (spiOp == 0x06)
                    status |= 0x02;
                if (spiOp == 0x01 && c[3] == 0x02)
                    status &= static_cast<std::uint8_t>(~0x9E);
                return Reply{};
            case 0x21:
                return Reply{spiOp == 0x9F ? Buf(jedec.begin(), jedec.end()) : Buf(4, 0)};
            case 0x22:
            case 0x24:
            case 0x25:
            case 0x0F:
                return Reply{Buf(2, 0)};
            case 0x23:
                return Reply{{service23, 0, 0, 0}};
            case 0xA0:
                return Reply{Buf(chipInfo.begin(), chipInfo.end())};
            default:
                return std::nullopt;
        }
    }

    std::optional<Reply> ataDma(const Sent& s) {
        const auto& c = s.cdb;
        const std::uint64_t lba = std::uint64_t{c[8]} | std::uint64_t{c[10]} << 8 |
                                  std::uint64_t{c[12]} << 16 | std::uint64_t{c[7]} << 24 |
                                  std::uint64_t{c[9]} << 32 | std::uint64_t{c[11]} << 40;
        const std::size_t count = GetBE16(c, 5);
        if (c[14] == 0x35) {
            for (std::size_t i = 0; i < count; ++i) {
                Buf sector(s.data.begin() + static_cast<std::ptrdiff_t>(i * sectorSize),
                           s.data.begin() + static_cast<std::ptrdiff_t>((i + 1) * sectorSize));
                sectors[lba + i] = sector;
            }
            return Reply{};
        }
        Buf a;
        for (std::size_t i = 0; i < count; ++i) {
            const auto it = sectors.find(lba + i);
            const Buf sector = it == sectors.end() ? Buf(sectorSize, 0) : it->second;
            a.insert(a.end(), sector.begin(), sector.end());
        }
        return Reply{a};
    }
};

// The data-out commands among the blocks sent: (mode byte, address, length) of WriteMemory.
struct MemoryWrite {
    std::uint8_t mode;
    std::uint32_t address;
    std::size_t length;
    bool operator==(const MemoryWrite&) const = default;
};

inline std::vector<MemoryWrite> MemoryWrites(const std::vector<Sent>& sent) {
    std::vector<MemoryWrite> out;
    for (const auto& s : sent) {
        if (s.cdb[0] == 0xDF && s.cdb[11] == 0xFB)
            out.push_back({s.cdb[1], GetBE24(s.cdb, 8), s.length});
    }
    return out;
}

}  // namespace vq::test
