#include "bridge/ConfigWriters.h"

#include <algorithm>
#include <array>
#include <vector>

#include "bridge/FirmwareUpdate.h"
#include "bridge/VendorCommands.h"

namespace vq::bridge {

namespace {

using Buffer = std::vector<std::uint8_t>;

bool AllEqual(ConstBytes bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

bool Same(ConstBytes a, ConstBytes b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::size_t RoundUp(std::size_t n, std::size_t unit) {
    return (n + unit - 1) / unit * unit;
}

std::uint8_t Service23Byte(const Target& t) {
    std::array<std::uint8_t, 4> answer{};
    Service23Read(t, answer);  // a failed read leaves the zero-filled answer
    return answer[0];
}

bool IsMacronixUnprotectPart(const std::array<std::uint8_t, 4>& id) {
    return id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13);
}

// Polls the serial-flash status every 10 ms, at most 301 reads, until `done` holds.
template <typename Done>
bool PollStatus(const Target& t, Done done) {
    for (int reads = 0; reads < 301; ++reads) {
        std::uint8_t status = 0;
        SerialFlashStatus(t, status);
        if (done(status))
            return true;
        if (reads < 300)
            t.transport.clock().sleepMs(10);
    }
    return false;
}

}  // namespace

// ---- Where the configuration lives --------------------------------------------------

bool ReadJedecId(const Target& t, std::array<std::uint8_t, 4>& id) {
    id = {};
    const std::array<std::uint8_t, 3> args{0x01, 0x01, 0x9F};
    return SpiCommand(t, args) && SpiRead(t, id);
}

bool UnprotectSerialFlash(const Target& t) {
    const std::array<std::uint8_t, 3> writeEnable{0x01, 0x00, 0x06};
    const bool enabled = SpiCommand(t, writeEnable);
    const bool enablePolled = PollStatus(t, [](std::uint8_t s) { return (s & 0x02) != 0; });
    const std::array<std::uint8_t, 4> clearStatus{0x02, 0x00, 0x01, 0x00};
    const std::array<std::uint8_t, 2> data{0x01, 0x00};
    const bool cleared = SpiCommand(t, clearStatus, data);
    const bool clearPolled = PollStatus(t, [](std::uint8_t s) { return (s & 0x06) == 0; });
    return enabled && enablePolled && cleared && clearPolled;
}

bool ConfigInFlash(ChipKind kind, const Target& t, std::size_t firmwareLength, bool mayUnprotect) {
    bool result = false;
    bool unprotect = false;
    bool firstGeneration = false;
    switch (kind) {
        case 1:
        case 2:
        case 3:
        case 15: {
            firstGeneration = true;
            const std::uint8_t b = Service23Byte(t);
            if (b == 3 || b == 5)
                result = true;
            else if (b == 0)
                result = ProbeFlashA(t).type == 11;
            unprotect = b == 5;
            break;
        }
        case 4:
        case 5:
        case 6: {
            firstGeneration = true;
            result = true;
            std::array<std::uint8_t, 4> id{};
            unprotect = ReadJedecId(t, id) && id[0] == 0xC2 && (id[1] == 0x22 || id[1] == 0x20);
            break;
        }
        case 7:
        case 16:
        case 18: {
            firstGeneration = true;
            const FlashProbe probe = ProbeFlashA(t);
            if (probe.found()) {
                const std::array<std::uint8_t, 5> descriptor{
                    static_cast<std::uint8_t>(probe.type - 2), probe.id[0], probe.id[1],
                    probe.id[2], probe.id[3]};
                std::array<std::uint8_t, 2> word{};
                ReadConfigWord(t, descriptor, word);
                if (kind != 18 && IsMacronixUnprotectPart(probe.id))
                    ReadConfigWordAt(t, 32, word);
                result = true;
                unprotect = probe.type == 7;
            }
            break;
        }
        case 9:
        case 13: {
            result = true;
            const std::uint8_t b = Service23Byte(t);
            if (b == 5) {
                unprotect = true;
            } else if (b == 3) {
                if (kind == 9) {
                    unprotect = true;
                } else {
                    const FlashType type = ProbeFlashA(t).type;
                    unprotect = type == 5 || type == 7;
                }
            }
            break;
        }
        case 19:
        case 20:
        case 21:
        case 22:
        case 23:
        case 24:
        case 25:
        case 26: {
            result = true;
            std::array<std::uint8_t, 4> id{};
            if (mayUnprotect && Service23Byte(t) == 5 && ReadJedecId(t, id) &&
                IsMacronixUnprotectPart(id))
                Service0F(t, {0xC7, 0xD8, 0x02, 0x20}, 32);
            break;
        }
        case 11:
        case 12:
        case 27:
        case 28:
        case 29:
            result = true;
            break;
        default:
            break;
    }
    if (unprotect && mayUnprotect)
        UnprotectSerialFlash(t);
    if (firstGeneration && firmwareLength > 0x8000)
        result = false;
    return result;
}

// ---- EEPROM ---------------------------------------------------------------------------

bool WriteEeprom(const Target& t, const ConfigImage& image, int retry) {
    const int writes = retry < 1 ? 1 : retry;
    bool written = false;
    for (int i = 0; i < writes && !written; ++i)
        written = WriteMemory(t, 0, 0, image);
    if (!written)
        return false;
    ConfigImage back{};
    return ReadMemory(t, 0, back) && back == image;
}

bool TestEeprom(const Target& t) {
    ConfigImage original{};
    if (!ReadMemory(t, 0, original))
        return false;
    auto pattern = [&](std::uint8_t a, std::uint8_t b) {
        ConfigImage test = original;
        test[120] = a;
        test[121] = b;
        ConfigImage back{};
        return WriteMemory(t, 0, 0, test) && ReadMemory(t, 0, back) && back[120] == a &&
               back[121] == b;
    };
    const bool ok = pattern(0xAA, 0x55) && pattern(0x55, 0xAA);
    // The block read first goes back even when a pattern did not hold, so a board whose
    // EEPROM half-works is not left with a test pattern in its configuration.
    const bool restored = WriteMemory(t, 0, 0, original);
    return ok && restored;
}

// ---- Serial flash ---------------------------------------------------------------------

bool NeedsWordProgram(const Target& t, FlashType flashType) {
    if (flashType != 4)
        return false;
    std::array<std::uint8_t, 4> id{};
    return ReadJedecId(t, id) && id[0] == 0xBF && id[1] == 0x25;
}

bool WordProgramPage(const Target& t, std::uint32_t address, ConstBytes page) {
    Clock& clock = t.transport.clock();
    constexpr std::size_t kRun = 8192;
    constexpr std::size_t kBlock = 512;
    const std::array<std::uint8_t, 3> enableStatusWrite{0x01, 0x00, 0x50};
    const std::array<std::uint8_t, 3> writeStatus{0x01, 0x01, 0x01};
    const std::array<std::uint8_t, 2> statusValue{0x00, 0x00};
    const std::array<std::uint8_t, 3> writeEnable{0x01, 0x00, 0x06};
    const std::array<std::uint8_t, 3> aaiContinue{0x01, 0x01, 0xAD};
    const std::array<std::uint8_t, 3> writeDisable{0x01, 0x00, 0x04};
    for (std::size_t run = 0; run < page.size(); run += kRun) {
        WaitFlashReady(t);
        const std::size_t runEnd = std::min(page.size(), run + kRun);
        for (std::size_t block = run; block < runEnd; block += kBlock) {
            const std::size_t blockEnd = std::min(runEnd, block + kBlock);
            const auto at = static_cast<std::uint32_t>(address + block);
            if (!SpiCommand(t, enableStatusWrite))
                return false;
            if (!SpiCommand(t, writeStatus) || !SpiWrite(t, statusValue))
                return false;
            clock.sleepMs(10);
            if (!SpiCommand(t, writeEnable))
                return false;
            clock.sleepMs(10);
            bool started = false;
            if (at % 0x4000 == 0) {
                const std::array<std::uint8_t, 6> aaiStart{0x04,
                                                           0x01,
                                                           0xAD,
                                                           static_cast<std::uint8_t>(at >> 16),
                                                           static_cast<std::uint8_t>(at >> 8),
                                                           static_cast<std::uint8_t>(at)};
                started = SpiCommand(t, aaiStart);
            } else {
                started = SpiCommand(t, aaiContinue);
            }
            if (!started ||
                !SpiWrite(t, page.subspan(block, std::min<std::size_t>(2, blockEnd - block))))
                return false;
            for (std::size_t i = block + 2; i < blockEnd; i += 2) {
                const std::array<std::uint8_t, 5> pair{
                    0x03, 0x00, 0xAD, page[i], i + 1 < blockEnd ? page[i + 1] : std::uint8_t{0xFF}};
                if (!SpiCommand(t, pair))
                    return false;
            }
        }
        clock.sleepMs(10);
    }
    if (!SpiCommand(t, writeDisable))
        return false;
    clock.sleepMs(10);
    return true;
}

bool WriteSerialFlashConfig(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                            const ConfigImage& config, const FirmwareImage& firmware,
                            bool wordProgram) {
    constexpr std::size_t kHalf = 0x4000;
    constexpr std::size_t kConfigAt = 0x8000;
    Buffer buffer(0xC000, 0);
    // 1. The firmware area: the new image (its first 0x8000 bytes: the configuration
    // follows), or what the flash holds.
    if (firmwareUpdate) {
        const std::size_t n = std::min(firmware.length(), kConfigAt);
        std::copy_n(firmware.bytes().begin(), n, buffer.begin());
    } else {
        for (std::size_t at = 0; at < kConfigAt; at += kHalf) {
            WaitFlashReady(t);
            if (!SerialFlashRead(t, static_cast<std::uint32_t>(at),
                                 Bytes(buffer).subspan(at, kHalf)))
                return false;
        }
    }
    // 2. The configuration area.
    if (eepromUpdate) {
        std::copy(config.begin(), config.end(), buffer.begin() + kConfigAt);
    } else if (!SerialFlashRead(t, kConfigAt, Bytes(buffer).subspan(kConfigAt, 512))) {
        return false;
    }
    // 3. Two blocks erased and found blank.
    Buffer check(kHalf);
    for (std::uint32_t block : {0u, 0x8000u}) {
        if (!SerialFlashEraseBlock(t, block))
            return false;
        for (std::uint32_t half = block; half < block + 0x8000; half += kHalf) {
            if (!SerialFlashRead(t, half, check) || !AllEqual(check, 0xFF))
                return false;
        }
    }
    // 4. Three pages written and read back.
    for (std::uint32_t at = 0; at < buffer.size(); at += kHalf) {
        const ConstBytes page = ConstBytes(buffer).subspan(at, kHalf);
        const bool written =
            wordProgram ? WordProgramPage(t, at, page) : SerialFlashWrite(t, at, page);
        if (!written)
            return false;
        WaitFlashReady(t);
        if (!SerialFlashRead(t, at, check) || !Same(check, page))
            return false;
    }
    return true;
}

// ---- Parallel flash -------------------------------------------------------------------

namespace {

constexpr std::size_t kPfIds = 0x4008;
constexpr std::size_t kPfSerialIndex = 0x4010;
constexpr std::size_t kPfManufacturer = 0x40A0;
constexpr std::size_t kPfProduct = 0x40E0;
constexpr std::size_t kPfSerial = 0x4120;
constexpr std::size_t kPfInquiry = 0x4160;
constexpr std::size_t kPfInquiryCopy = 0x417C;
constexpr int kPfMaxChars = 31;

std::uint16_t ParseHex16(std::string_view text) {
    std::uint32_t v = 0;
    for (char c : text) {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0)
            break;
        v = (v << 4 | static_cast<std::uint32_t>(d)) & 0xFFFF;
    }
    return static_cast<std::uint16_t>(v);
}

void PutPadded(Bytes flash, std::size_t at, std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        flash[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

}  // namespace

void PutParallelFlashFields(const ParallelFlashConfig& v, Bytes flash) {
    PutLE16(flash, kPfIds, ParseHex16(v.vid));
    PutLE16(flash, kPfIds + 2, ParseHex16(v.pid));
    flash[kPfSerialIndex] = v.serial.empty() ? 5 : 3;
    const std::string_view manufacturer =
        v.inquiryFromManufacturer ? std::string_view("Velmora") : std::string_view(v.manufacturer);
    const std::string_view product =
        v.product.empty() ? std::string_view(kParallelDefaultProduct) : std::string_view(v.product);
    auto descriptor = [&](std::size_t at, std::string_view text) {
        PutStringDescriptor(text, kPfMaxChars, flash.subspan(at, 64), 0, 2 * kPfMaxChars, false, 1);
    };
    descriptor(kPfManufacturer, manufacturer);
    descriptor(kPfProduct, product);
    descriptor(kPfSerial, v.serial);
    if (v.inquiryFromManufacturer) {
        const std::string_view text = v.manufacturer;
        const auto space = text.find(' ');
        std::string_view vendor = text.substr(0, space == std::string_view::npos ? 8 : space);
        vendor = vendor.substr(0, 8);
        std::string_view rest =
            space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        rest = rest.substr(0, 16);
        for (std::size_t at : {kPfInquiry, kPfInquiryCopy}) {
            PutPadded(flash, at, vendor, 8);
            PutPadded(flash, at + 8, rest, 16);
        }
    }
}

void CopyParallelFlashFields(ConstBytes from, Bytes to) {
    const std::pair<std::size_t, std::size_t> fields[] = {
        {kPfIds, 4},     {kPfSerialIndex, 1}, {kPfManufacturer, 64}, {kPfProduct, 64},
        {kPfSerial, 64}, {kPfInquiry, 24},    {kPfInquiryCopy, 24}};
    for (const auto& [at, n] : fields)
        std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(at), n,
                    to.begin() + static_cast<std::ptrdiff_t>(at));
}

bool WriteParallelFlashConfig(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                              const ParallelFlashConfig& values, std::uint8_t parallelFlashType,
                              const FirmwareImage& firmware) {
    if (!ParallelFlashEnter(t))
        return false;
    if (!eepromUpdate && !firmwareUpdate)
        return false;  // nothing to write
    Buffer current(kParallelFlashSize);
    if (!ParallelFlashRead(t, 0, current))
        return false;
    const bool blank = AllEqual(current, 0xFF);
    Buffer source;
    if (firmwareUpdate) {
        if (!firmware.loaded())
            return false;
        const ConstBytes b = firmware.buffer().first(kParallelFlashSize);
        source.assign(b.begin(), b.end());
    } else {
        source = current;
    }
    if (eepromUpdate)
        PutParallelFlashFields(values, source);
    else if (!blank)
        CopyParallelFlashFields(current, source);

    if (!ParallelFlashSetup(t, parallelFlashType) || !ParallelFlashErase(t) ||
        !WaitParallelFlashReady(t))
        return false;
    Buffer check(kParallelFlashSize);
    if (!ParallelFlashRead(t, 0, check) || !AllEqual(check, 0xFF))
        return false;
    if (!ParallelFlashProgram(t, parallelFlashType, source) || !WaitParallelFlashReady(t))
        return false;
    return ParallelFlashRead(t, 0, check) && check == source;
}

// ---- Memory image ---------------------------------------------------------------------

std::uint16_t ImageCrc16(ConstBytes bytes) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const std::uint32_t word = GetLE32(bytes, i);
        for (int shift = 28; shift >= 0; shift -= 4) {
            const auto nibble = static_cast<std::uint16_t>((word >> shift) & 0xF);
            crc ^= static_cast<std::uint16_t>(nibble << 12);
            for (int bit = 0; bit < 4; ++bit)
                crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

FlashType MemoryFlashType(ChipKind kind, const Target& t) {
    const std::uint8_t b = Service23Byte(t);
    FlashType type = static_cast<FlashType>(b + 2);
    if (b == 0) {
        bool probe = kind == 19 || kind == 20;
        if (kind >= 11 && kind <= 13) {
            std::array<std::uint8_t, 4> reg{};
            probe = ReadXdata(t, 0xFDB0, reg) && reg[1] >= 180;
        }
        if (probe) {
            const FlashProbe p = ProbeFlashA(t);
            if (p.found())
                type = p.type;
        }
    }
    return type;
}

namespace {

std::uint32_t BlockUnit(FlashType type) {
    return type <= 4 ? 32768u : 65536u;
}

std::uint32_t SectorUnit(FlashType type) {
    if (type == 5 || type == 6 || type == 10)
        return 32768u;
    return type == 19 ? 8192u : 4096u;
}

bool ChipEraseMode(std::uint8_t mode) {
    const std::uint8_t m = mode & 0x07;
    return m == 3 || m == 6 || m == 7;
}

}  // namespace

// One attempt: the image in chunks (the first 4096 bytes, then 8192) cut at erase-unit
// boundaries of the flash, each chunk that starts a unit carrying the erase mode.
bool WriteMemoryAt(const Target& t, FlashType type, std::uint8_t mode, std::uint32_t base,
                   ConstBytes image, const UpdateContext& ctx) {
    const std::uint8_t erase = mode & 0x07;
    std::uint32_t unit = 0;
    if (erase == 1 || erase == 4)
        unit = SectorUnit(type);
    else if (erase == 2 || erase == 5)
        unit = BlockUnit(type);
    std::size_t at = 0;
    bool first = true;
    while (at < image.size()) {
        std::size_t size = std::min<std::size_t>(first ? 4096 : 8192, image.size() - at);
        const std::size_t address = base + at;
        std::uint8_t chunkMode = 0;
        if (unit != 0) {
            const std::size_t boundary = (address / unit + 1) * unit;
            size = std::min(size, boundary - address);
            if (address % unit == 0)
                chunkMode = mode;
        } else if (ChipEraseMode(mode) && address == 0) {
            chunkMode = mode;
        }
        if (first && type == 7)
            chunkMode |= 0x80;
        if (!WriteMemory(t, chunkMode, static_cast<std::uint32_t>(address),
                         image.subspan(at, size)))
            return false;
        WaitFlashReady(t);
        at += size;
        first = false;
        ctx.report(at, image.size());
    }
    Buffer back(image.size());
    for (std::size_t r = 0; r < back.size(); r += 8192) {
        const std::size_t n = std::min<std::size_t>(8192, back.size() - r);
        if (!ReadMemory(t, static_cast<std::uint32_t>(base + r), Bytes(back).subspan(r, n)))
            return false;
    }
    return Same(back, image);
}

bool WriteVerifyMemory(const Target& t, ChipKind kind, ConstBytes image, bool probe,
                       FlashType flashType, const UpdateContext& ctx) {
    const FlashType type = probe ? MemoryFlashType(kind, t) : flashType;
    Buffer padded(image.begin(), image.end());
    padded.resize(RoundUp(padded.size(), 512), 0);
    if (type == 7) {
        WriteMemory(t, 2, 0, ConstBytes(padded).first(std::min<std::size_t>(4096, padded.size())));
        t.transport.clock().sleepMs(500);
    }
    const std::uint8_t modes[] = {static_cast<std::uint8_t>(type == 9 ? 3 : 2), 3, 1};
    for (std::uint8_t mode : modes) {
        if (WriteMemoryAt(t, type, mode, 0, padded, ctx))
            return true;
    }
    return false;
}

namespace {

constexpr std::size_t kChunk = 8192;

bool ReadMemoryChunks(const Target& t, Bytes out) {
    for (std::size_t at = 0; at < out.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, out.size() - at);
        if (!ReadMemory(t, static_cast<std::uint32_t>(at), out.subspan(at, n)))
            return false;
    }
    return true;
}

bool ReadSerialChunks(const Target& t, std::uint32_t from, Bytes out) {
    for (std::size_t at = 0; at < out.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, out.size() - at);
        WaitFlashReady(t);
        if (!SerialFlashRead(t, static_cast<std::uint32_t>(from + at), out.subspan(at, n)))
            return false;
    }
    return true;
}

bool IsBlank(ConstBytes b) {
    return AllEqual(b, 0x00) || AllEqual(b, 0xFF);
}

// Kinds 11 to 13 on older steps: the same image through the serial-flash commands.
bool WriteSerialImage(const Target& t, ConstBytes image, const UpdateContext& ctx) {
    Clock& clock = t.transport.clock();
    const std::size_t total = RoundUp(image.size(), kChunk);
    Buffer padded(image.begin(), image.end());
    padded.resize(total, 0);
    for (std::uint32_t block = 0; block < total; block += 32768) {
        if (!SerialFlashEraseBlock(t, block))
            return false;
    }
    Buffer check(total);
    if (!ReadSerialChunks(t, 0, check))
        return false;
    if (!AllEqual(check, 0xFF)) {
        if (!SerialFlashChipErase(t))
            return false;
        clock.sleepMs(500);
        if (!ReadSerialChunks(t, 0, check) || !AllEqual(check, 0xFF))
            return false;
    }
    for (std::size_t at = 0; at < total; at += kChunk) {
        if (!SerialFlashWrite(t, static_cast<std::uint32_t>(at),
                              ConstBytes(padded).subspan(at, kChunk)))
            return false;
        ctx.report(at + kChunk, total);
    }
    clock.sleepMs(500);
    return ReadSerialChunks(t, 0, check) && check == padded;
}

}  // namespace

bool BuildMemoryImage(const Target& t, ChipKind kind, bool eepromUpdate, bool firmwareUpdate,
                      ConstBytes configBlock, std::string_view productRevision,
                      const FirmwareImage& firmware, bool serialForm, Buffer& image) {
    const bool later = kind == 19 || kind == 20;
    std::size_t length = firmware.loaded() ? firmware.length() : 65536;
    if (kind == 19)
        length = std::max<std::size_t>(length, 0xC100);
    if (kind == 20)
        length = std::max<std::size_t>(length, 0xC200);
    const std::size_t blockAt = later ? 0xC000 : 0;
    const std::size_t blockSize = later ? 256 : 128;
    const ConstBytes fw = firmware.buffer();

    auto readCurrent = [&](std::uint32_t from, Bytes out) {
        return serialForm ? ReadSerialChunks(t, from, out)
                          : (from == 0 ? ReadMemoryChunks(t, out) : [&] {
                                for (std::size_t at = 0; at < out.size(); at += kChunk) {
                                    const std::size_t n = std::min(kChunk, out.size() - at);
                                    if (!ReadMemory(t, static_cast<std::uint32_t>(from + at),
                                                    out.subspan(at, n)))
                                        return false;
                                }
                                return true;
                            }());
    };
    auto layBlock = [&] {
        const std::size_t n = std::min(configBlock.size(), blockSize);
        std::copy_n(configBlock.begin(), n, image.begin() + static_cast<std::ptrdiff_t>(blockAt));
    };

    if (eepromUpdate && firmwareUpdate) {
        image.assign(fw.begin(), fw.begin() + static_cast<std::ptrdiff_t>(length));
        layBlock();
    } else if (eepromUpdate) {
        image.assign(RoundUp(length, 512), 0);
        if (!readCurrent(0, image))
            return false;
        image.resize(length);
        layBlock();
    } else if (firmwareUpdate) {
        image.assign(fw.begin(), fw.begin() + static_cast<std::ptrdiff_t>(length));
        Buffer area(4096);
        if (!readCurrent(static_cast<std::uint32_t>(blockAt), area))
            return false;
        const std::size_t marker = later ? 0xFE : 126;
        const bool keep = !IsBlank(area) && area[marker] == 'V' && area[marker + 1] == 'Q';
        if (keep) {
            // The device's configuration area stays; the image goes around it.
            const std::size_t end = std::min(length, blockAt + area.size());
            for (std::size_t i = blockAt; i < end; ++i) {
                if (!later && i >= 128)
                    break;
                if (kind == 20 && i >= 0xC100 && i < 0xC300)
                    continue;
                image[i] = area[i - blockAt];
            }
        }
    } else {
        return false;
    }
    if (!later && eepromUpdate && image.size() >= 140) {
        for (std::size_t i = 0; i < 4; ++i)
            image[136 + i] =
                i < productRevision.size() ? static_cast<std::uint8_t>(productRevision[i]) : 0;
    }
    if (later)
        PutBE16(image, 0xBFFE, ImageCrc16(ConstBytes(image).first(49148)));
    return true;
}

bool WriteMemoryImage(const Target& t, ChipKind kind, bool eepromUpdate, bool firmwareUpdate,
                      ConstBytes configBlock, std::string_view productRevision,
                      const FirmwareImage& firmware, bool serialForm, const UpdateContext& ctx) {
    Buffer image;
    if (!BuildMemoryImage(t, kind, eepromUpdate, firmwareUpdate, configBlock, productRevision,
                          firmware, serialForm, image))
        return false;
    if (serialForm)
        return WriteSerialImage(t, image, ctx);
    return WriteVerifyMemory(t, kind, image, true, kNoFlash, ctx);
}

// ---- Disk-resident configuration ------------------------------------------------------

std::vector<std::uint8_t> DiskConfigSector(const ConfigImage& config, std::uint32_t sectorSize) {
    Buffer sector(std::max<std::uint32_t>(sectorSize, 512), 0);
    for (std::size_t base : {0u, 256u}) {
        for (std::size_t i = 0; i < 128; i += 2) {
            sector[base + i] = 0x56;
            sector[base + i + 1] = 0x51;
        }
        ConfigImage block = config;
        block[124] |= 0x20;
        std::copy(block.begin(), block.end(),
                  sector.begin() + static_cast<std::ptrdiff_t>(base + 128));
    }
    if (sectorSize == 4096)
        std::copy_n(sector.begin(), 512, sector.begin() + 3584);
    else if (sectorSize == 1024)
        std::copy_n(sector.begin(), 512, sector.begin() + 512);
    return sector;
}

bool WriteDiskResidentConfig(const Target& t, const ConfigImage& config, ChipKind kind) {
    const auto area = ReadReservedArea(t, kind);
    if (!area)
        return false;
    const Buffer sector = DiskConfigSector(config, area->sectorSize);
    if (!AtaWriteDmaExt(t, area->start, 1, sector))
        return false;
    Buffer back(sector.size());
    const bool same = AtaReadDmaExt(t, area->start, 1, back) && back == sector;
    for (int i = 0; i < 3; ++i)
        AtaFlushCache(t);
    return same;
}

}  // namespace vq::bridge
