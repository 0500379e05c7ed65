#include "bridge/RomDownload.h"

#include <algorithm>
#include <vector>

#include "base/Format.h"
#include "bridge/ConfigWriters.h"
#include "bridge/FlashDetect.h"
#include "bridge/VendorCommands.h"
#include "resources/Resources.h"

namespace vq::bridge {

namespace {

constexpr int kAttempts = 3;
constexpr std::size_t kChunkFirst = 4096;  // kinds 21 to 24
constexpr std::size_t kChunkLater = 1024;  // kinds 25 to 29
constexpr std::size_t kConfigSectorSize = 512;

std::size_t ChunkSize(ChipKind kind) {
    return IsFirstLaterFamily(kind) ? kChunkFirst : kChunkLater;
}
std::uint8_t ProgramState(ChipKind kind) {
    return IsFirstLaterFamily(kind) ? kBufferProgramFirst : kBufferProgramLater;
}
std::size_t RoundUp512(std::size_t n) {
    return (n + 511) / 512 * 512;
}

void Progress(const LaterDownload& job, std::string_view phase, std::size_t done,
              std::size_t total) {
    if (job.progress)
        job.progress(phase, done, total);
}

bool Fail(LaterDownload& job, std::string text) {
    job.failure = std::move(text);
    return false;
}

// Erases the flash behind the buffers: WriteMemory mode 3 without data.
bool EraseAll(const Target& t) {
    return WriteMemory(t, 3, 0, {});
}

// Sends `buffer` with WriteBuffer mode 14 in chunks; false at the first refused chunk.
bool SendChunks(const Target& t, LaterDownload& job, ConstBytes buffer) {
    const std::size_t chunk = ChunkSize(KindOf(job.state.chip));
    for (std::size_t off = 0; off < buffer.size(); off += chunk) {
        const std::size_t n = std::min(chunk, buffer.size() - off);
        if (!WriteBuffer(t, 14, 0, static_cast<std::uint32_t>(off), buffer.subspan(off, n)))
            return Fail(job, Format("the bridge refused the chunk at 0x%X", off));
        Progress(job, "download", off + n, buffer.size());
    }
    return true;
}

// The download buffer: the source cut to the capacity at the start of a zero-filled
// buffer of the capacity rounded up to 512, and, when given, the setting block at 0x45000.
bool BuildDownloadBuffer(LaterDownload& job, std::uint32_t capacity, bool withSettingBlock,
                         std::vector<std::uint8_t>& buffer) {
    buffer.assign(RoundUp512(capacity), 0);
    const std::size_t n = std::min(job.source.size(), static_cast<std::size_t>(capacity));
    std::copy_n(job.source.begin(), n, buffer.begin());
    if (withSettingBlock && !job.configBlock.empty()) {
        if (buffer.size() < kSettingBlockBufferOffset + job.configBlock.size())
            return Fail(job, Format("the buffer of 0x%X bytes has no room for the setting block",
                                    capacity));
        std::copy(job.configBlock.begin(), job.configBlock.end(),
                  buffer.begin() + kSettingBlockBufferOffset);
    }
    return true;
}

bool ReadDescriptorExpecting(const Target& t, LaterDownload& job, std::uint8_t state,
                             BufferDescriptor& d) {
    if (!ReadBufferDescriptor(t, 0, d))
        return Fail(job, "the buffer descriptor could not be read");
    if (d.state != state)
        return Fail(job, Format("the buffer state is 0x%02X, not 0x%02X", d.state, state));
    if (d.capacity == 0)
        return Fail(job, "the buffer reports no capacity");
    return true;
}

// The manufacturing program into the mask ROM's buffer, and what follows it at once.
bool SendManufacturingProgram(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    const auto image = LoadManufacturingImage(job.state.chip, job.state.identify);
    if (!image)
        return Fail(job, "no manufacturing program fits this bridge");
    Progress(job, "program", 0, image->size());
    if (!WriteBuffer(t, 6, 0, 0, *image))
        return Fail(job, "the bridge refused the manufacturing program");
    Progress(job, "program", image->size(), image->size());
    job.programLoaded = true;
    t.transport.clock().sleepMs(IsFirstLaterFamily(kind) ? 100 : 2000);
    if (kind == 26 && RevisionOf(job.state.chip) == 2 && !ModeControlSetValue(t, job.modeValue))
        return Fail(job, "the mode value was refused");
    return true;
}

// Under the manufacturing program: erase, read the capacity and send the firmware, up to
// three times until one attempt has every chunk accepted.
bool EraseAndSend(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    const bool first = IsFirstLaterFamily(kind);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!EraseAll(t)) {
            if (first)
                return Fail(job, "the erase failed");
            t.transport.clock().sleepMs(500);
            if (!EraseAll(t))
                return Fail(job, "the erase failed twice");
        }
        if (!first)
            t.transport.clock().sleepMs(500);
        BufferDescriptor d;
        if (!ReadDescriptorExpecting(t, job, ProgramState(kind), d))
            return false;
        std::vector<std::uint8_t> buffer;
        if (!BuildDownloadBuffer(job, d.capacity, first, buffer))
            return false;
        if (SendChunks(t, job, buffer))
            return true;
    }
    return false;
}

bool DownloadFirst(const Target& t, LaterDownload& job) {
    const bool underProgram = job.state.programRunning || job.programLoaded;
    BufferDescriptor d;
    if (!ReadBufferDescriptor(t, 0, d))
        return Fail(job, "the buffer descriptor could not be read");
    // A board whose manufacturing program already runs (an earlier download stopped
    // after it) shows the program's state although its identification reads mask ROM.
    if (job.state.romState && d.state == kBufferProgramFirst)
        job.programLoaded = true;
    if (job.state.romState && !job.programLoaded) {
        if (d.state != kBufferMaskRom || d.capacity != ManufacturingImageSize(21))
            return Fail(job, Format("the mask ROM reports state 0x%02X and 0x%X bytes", d.state,
                                    d.capacity));
        if (!SendManufacturingProgram(t, job))
            return false;
        return EraseAndSend(t, job);
    }
    if (d.state != kBufferProgramFirst)
        return Fail(job,
                    Format("the buffer state is 0x%02X, not 0x%02X", d.state, kBufferProgramFirst));
    if (underProgram) {
        if (!EraseAll(t))
            return Fail(job, "the erase failed");
    }
    if (d.capacity == 0)
        return Fail(job, "the buffer reports no capacity");
    std::vector<std::uint8_t> buffer;
    if (!BuildDownloadBuffer(job, d.capacity, underProgram, buffer))
        return false;
    return SendChunks(t, job, buffer);
}

bool DownloadLater(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    BufferDescriptor d;
    if (!ReadBufferDescriptor(t, 0, d))
        return Fail(job, "the buffer descriptor could not be read");
    if (job.state.romState && d.state == kBufferProgramLater)
        job.programLoaded = true;
    if (job.state.romState && !job.programLoaded) {
        if (d.state != kBufferMaskRom || d.capacity != ManufacturingImageSize(kind))
            return Fail(job, Format("the mask ROM reports state 0x%02X and 0x%X bytes", d.state,
                                    d.capacity));
        if (!SendManufacturingProgram(t, job))
            return false;
        return EraseAndSend(t, job);
    }
    if (d.state != kBufferProgramLater)
        return Fail(job,
                    Format("the buffer state is 0x%02X, not 0x%02X", d.state, kBufferProgramLater));
    if (job.programLoaded)
        return EraseAndSend(t, job);  // a later attempt under the program this job started
    if (d.capacity == 0)
        return Fail(job, "the buffer reports no capacity");
    std::vector<std::uint8_t> buffer;
    if (!BuildDownloadBuffer(job, d.capacity, false, buffer))
        return false;
    return SendChunks(t, job, buffer);
}

// Reads `length` bytes of buffer `id` in chunks into dest.
bool ReadChunks(const Target& t, LaterDownload* job, std::uint8_t id, std::size_t chunk, Bytes dest,
                std::size_t length) {
    length = std::min(length, dest.size());
    for (std::size_t off = 0; off < length; off += chunk) {
        const std::size_t n = std::min(chunk, length - off);
        if (!ReadBuffer(t, 1, id, static_cast<std::uint32_t>(off), dest.subspan(off, n))) {
            if (job)
                Fail(*job, Format("the read-back failed at 0x%X", off));
            return false;
        }
        if (job)
            Progress(*job, "read-back", off + n, length);
    }
    return true;
}

// The 0x40000-byte reference the download took its data from (zero past the source's end).
std::vector<std::uint8_t> Reference(ConstBytes source, std::size_t length) {
    std::vector<std::uint8_t> r(std::max(length, kLaterImageSize), 0);
    std::copy_n(source.begin(), std::min(source.size(), r.size()), r.begin());
    return r;
}

bool CompareReadBack(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    const std::size_t length = CompareLength(kind, job.state);
    std::vector<std::uint8_t> readBack(length, 0);
    if (!ReadBackFirmwareLater(t, job, readBack))
        return false;
    const auto reference = Reference(job.source, length);
    const auto diff = FirstDifference(reference, readBack, length, CompareExclusions(kind));
    if (diff)
        return Fail(job, Format("the read-back differs at 0x%X", *diff));
    return true;
}

bool ProgramFirst(const Target& t, LaterDownload& job) {
    for (job.attempts = 1; job.attempts <= kAttempts; ++job.attempts) {
        job.failure.clear();
        if (DownloadFirmwareLater(t, job) && CompareReadBack(t, job))
            return true;
    }
    job.attempts = kAttempts;
    return false;
}

bool ReadSector(const Target& t, std::uint32_t address, Bytes out) {
    return ReadMemory(t, address, out);
}

bool ProgramLater(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    const std::uint32_t address = job.configSector ? job.configSector : DefaultConfigSector(kind);
    std::array<std::uint8_t, kConfigSectorSize> sector{};
    std::array<std::uint8_t, kConfigSectorSize> check{};
    const std::size_t configBytes = std::min(job.configBlock.size(), kLaterConfigSize);
    if (!job.firmwareUpdate) {
        job.attempts = 1;
        if (!ReadSector(t, address, sector))
            return Fail(job, "the configuration sector could not be read");
        if (job.state.romState)
            return Fail(job, "the bridge runs its mask ROM and has no configuration to change");
        std::copy_n(job.configBlock.begin(), configBytes, sector.begin());
        if (!WriteMemory(t, 1, address, sector) || !ReadSector(t, address, check))
            return Fail(job, "the configuration sector could not be written");
        if (sector != check)
            return Fail(job, "the configuration sector reads back differently");
        return true;
    }
    if (job.eepromUpdate) {
        const std::size_t at = ImageConfigOffset(kind);
        if (job.source.size() >= at + kConfigSectorSize)
            std::copy_n(job.source.begin() + at, kConfigSectorSize, sector.begin());
        std::copy_n(job.configBlock.begin(), configBytes, sector.begin());
    }
    for (job.attempts = 1; job.attempts <= kAttempts; ++job.attempts) {
        job.failure.clear();
        if (!DownloadFirmwareLater(t, job))
            continue;
        if (job.eepromUpdate && !WriteMemory(t, 1, address, sector)) {
            Fail(job, "the configuration sector could not be written");
            continue;
        }
        if (!CompareReadBack(t, job))
            continue;
        if (job.eepromUpdate) {
            if (!ReadSector(t, address, check)) {
                Fail(job, "the configuration sector could not be read back");
                continue;
            }
            if (sector != check) {
                Fail(job, "the configuration sector reads back differently");
                continue;
            }
        }
        return true;
    }
    job.attempts = kAttempts;
    return false;
}

bool ReadHalf(const Target& t, std::uint8_t id, Bytes dest) {
    BufferDescriptor d;
    if (!ReadBufferDescriptor(t, id, d) || d.state != kBufferProgramFirst)
        return false;
    return ReadChunks(t, nullptr, id, kChunkFirst, dest, dest.size());
}

// Kind 20 keeps its firmware in pieces of its flash; the file layout puts them in order.
bool ReadKind20Firmware(const Target& t, Bytes dest) {
    constexpr std::size_t kFlashBytes = 81920;
    constexpr std::size_t kFileBytes = 0xC600 + 0x4000;
    if (dest.size() < kFileBytes)
        return false;
    std::vector<std::uint8_t> flash(kFlashBytes);
    for (std::size_t off = 0; off < kFlashBytes; off += 512) {
        if (!ReadMemory(t, static_cast<std::uint32_t>(off), Bytes(flash).subspan(off, 512)))
            return false;
    }
    const auto put = [&](std::size_t to, std::size_t from, std::size_t n) {
        std::copy_n(flash.begin() + static_cast<std::ptrdiff_t>(from), n, dest.begin() + to);
    };
    put(0, 3584, 512);
    put(512, 0, 512);
    put(1024, 4096, 0xC000);
    put(0xC400, 0xD000, 512);
    put(0xC600, 0x10000, 0x4000);
    return true;
}

}  // namespace

bool ReadBufferDescriptor(const Target& t, std::uint8_t bufferId, BufferDescriptor& d) {
    std::array<std::uint8_t, 4> a{};
    const bool ok = ReadBuffer(t, 3, bufferId, 0, a);
    d.state = a[0];
    d.capacity = GetBE24(a, 1);
    return ok;
}

bool ReadLaterBridgeState(const Target& t, ChipIdentity chip, LaterBridgeState& s) {
    s = LaterBridgeState{};
    s.chip = chip;
    std::array<std::uint8_t, 16> a{};
    const bool ok = IdentifyBridge(t, a) && IsIdentifyAnswer(a);
    if (ok) {
        s.identify = a;
        s.identifyValid = true;
    }
    const ChipKind kind = KindOf(chip);
    s.programRunning = ok && a[6] == 2 && a[7] == 0;
    if (IsFirstLaterFamily(kind)) {
        s.romState = !(ok && a[6] != 1);
    } else if (kind == 26) {
        if (!ok)
            return false;
        s.romState = RevisionOf(chip) == 2 ? a[7] == 0xFF : a[6] == 0;
    } else {
        s.romState = !(ok && a[6] != 0);
    }
    return true;
}

std::string_view ManufacturingImageName(ChipIdentity chip, ConstBytes identify) {
    const ChipKind kind = KindOf(chip);
    if (IsFirstLaterFamily(kind)) {
        if (identify.size() < 8)
            return {};
        const std::uint8_t rom = identify[7];
        const char variant = static_cast<char>(identify[5]);
        if (rom == 0) {
            if (variant == 'a')
                return "VQS671_ROM0_MFG";
            if (variant == 'b')
                return "VQS672_ROM0_MFG";
        } else if (rom == 1) {
            switch (variant) {
                case 'a':
                    return "VQS671_ROM1_MFG";
                case 'b':
                    return "VQS672_ROM1_MFG";
                case 'c':
                    return "VQS673_ROM1_MFG";
                case 'e':
                    return "VQS675_ROM1_MFG";
                default:
                    break;
            }
        }
        return {};
    }
    switch (kind) {
        case 25:
            return "VQS703_ROM0_MFG";
        case 26:
            if (RevisionOf(chip) == 1)
                return "VQS702_ROM_MFG_A0";
            if (RevisionOf(chip) == 2)
                return "VQS702_ROM_MFG_A1";
            return {};
        case 27:
            return "VQS708_ROM0_MFG";
        case 28:
        case 29:
            return "VQS712_ROM0_MFG";
        default:
            return {};
    }
}

std::size_t ManufacturingImageSize(ChipKind kind) {
    if (IsFirstLaterFamily(kind) || (kind >= 27 && kind <= 29))
        return 0x10000;
    if (kind == 25 || kind == 26)
        return 0xC400;
    return 0;
}

std::optional<std::span<const std::uint8_t>> LoadManufacturingImage(ChipIdentity chip,
                                                                    ConstBytes identify) {
    const std::string_view name = ManufacturingImageName(chip, identify);
    if (name.empty())
        return std::nullopt;
    const auto image = resources::FindResource("FW", name);
    if (!image || image->size() != ManufacturingImageSize(KindOf(chip)))
        return std::nullopt;
    return image;
}

std::size_t CompareLength(ChipKind kind, const LaterBridgeState& state) {
    if (IsFirstLaterFamily(kind))
        return state.romState || state.programRunning ? kLaterImageSize : kLaterBankSize;
    if (kind == 25 || kind == 26)
        return 0xC400;
    if (kind >= 27 && kind <= 29)
        return 0x10400;
    return 0;
}

std::uint32_t DefaultConfigSector(ChipKind kind) {
    return kind >= 27 ? 0x11000 : 0xD000;
}

std::uint32_t ImageConfigOffset(ChipKind kind) {
    return kind >= 27 ? 0x10400 : 0xC400;
}

bool DownloadFirmwareLater(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    if (IsFirstLaterFamily(kind))
        return DownloadFirst(t, job);
    if (IsLaterFamily(kind))
        return DownloadLater(t, job);
    return Fail(job, "not a bridge of the later families");
}

bool ReadBackFirmwareLater(const Target& t, LaterDownload& job, Bytes dest) {
    const ChipKind kind = KindOf(job.state.chip);
    if (!IsLaterFamily(kind))
        return Fail(job, "not a bridge of the later families");
    BufferDescriptor d;
    if (!ReadDescriptorExpecting(t, job, ProgramState(kind), d))
        return false;
    std::size_t length = std::min<std::size_t>(d.capacity, dest.size());
    if (IsFirstLaterFamily(kind) && job.state.programRunning)
        length = kLaterImageSize;
    return ReadChunks(t, &job, 0, ChunkSize(kind), dest, length);
}

bool ProgramLaterFamily(const Target& t, LaterDownload& job) {
    const ChipKind kind = KindOf(job.state.chip);
    job.failure.clear();
    job.attempts = 0;
    job.programLoaded = false;
    if (!IsLaterFamily(kind))
        return Fail(job, "not a bridge of the later families");
    if (job.firmwareUpdate && !LaterImageSizeFits(kind, job.source.size()))
        return Fail(job,
                    Format("an image of %u bytes does not fit this bridge", job.source.size()));
    return IsFirstLaterFamily(kind) ? ProgramFirst(t, job) : ProgramLater(t, job);
}

bool ReadDeviceFirmware(const Target& t, const LaterBridgeState& state, bool cloneOption,
                        Bytes dest) {
    const ChipKind kind = KindOf(state.chip);
    if (kind == 20)
        return ReadKind20Firmware(t, dest);
    if (IsFirstLaterFamily(kind) && cloneOption) {
        if (dest.size() < kLaterImageSize)
            return false;
        std::vector<std::uint8_t> head(4096, 0);
        const bool clone =
            ReadBuffer(t, 1, 1, 0, head) &&
            std::string_view(reinterpret_cast<const char*>(head.data()) + 1072, 16).find("CLONE") !=
                std::string_view::npos;
        const std::uint8_t firstId = clone ? 0 : 1;
        return ReadHalf(t, firstId, dest.first(kLaterBankSize)) &&
               ReadHalf(t, static_cast<std::uint8_t>(1 - firstId),
                        dest.subspan(kLaterBankSize, kLaterBankSize));
    }
    if (!IsLaterFamily(kind))
        return false;
    BufferDescriptor d;
    if (!ReadBufferDescriptor(t, 1, d) || d.state != ProgramState(kind))
        return false;
    std::size_t length = d.capacity;
    if (IsFirstLaterFamily(kind) && state.programRunning)
        length = kLaterImageSize;
    return ReadChunks(t, nullptr, 1, ChunkSize(kind), dest, length);
}

bool HasKind26Extra(ChipKind kind, std::size_t imageLength) {
    return kind == 26 && imageLength > kKind26ExtraLength;
}

bool WriteKind26Extra(const Target& t, ConstBytes image) {
    if (image.size() < kKind26ExtraFrom + kKind26ExtraSize)
        return false;
    return WriteMemoryAt(t, DetectFlashType(26, t), 1, kKind26ExtraAt,
                         image.subspan(kKind26ExtraFrom, kKind26ExtraSize));
}

bool ActivateFirmware(const Target& t) {
    return WriteBuffer(t, 0x0F, 0, 0, {});
}

IdentityValues IdentityValuesFromVpd(ConstBytes vpd) {
    IdentityValues v;
    if (vpd.size() < kVpdC3Size)
        return v;
    v.a = GetBE16(vpd, 8);
    v.b = GetBE16(vpd, 10);
    v.serial.assign(reinterpret_cast<const char*>(vpd.data()) + 64, 20);
    return v;
}

bool SendIdentityRecord(const Target& t, const IdentityStamp& stamp, const IdentityValues& v) {
    const auto record = BuildIdentityRecord(stamp, v.serial);
    return VendorBlockC3(t, v.a, v.b, record);
}

bool SetStandbyOnFirmware(const Target& t, std::uint32_t minutes, bool enabled) {
    return ModeSelectPowerPage(t, minutes, enabled) || SetStandbyTimer(t, minutes, enabled);
}

}  // namespace vq::bridge
