#include "bridge/FirmwareUpdate.h"

#include <algorithm>
#include <array>
#include <vector>

#include "bridge/VendorCommands.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "resources/Resources.h"

namespace vq::bridge {

namespace {

using Buffer = std::vector<std::uint8_t>;

constexpr std::uint32_t kPage = 0x4000;
constexpr std::uint32_t kBlock = 0x8000;

bool AllErased(ConstBytes b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; });
}

bool Same(ConstBytes a, ConstBytes b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void Debug(const UpdateContext& ctx, const char* text) {
    if (ctx.diagnostics)
        ctx.diagnostics->debugOutput(text);
}

bool HasSignature433(ConstBytes b, std::size_t at) {
    static constexpr std::uint8_t kSig[] = {0x55, 0xAA, 0xAA, 0x55, '4', '3', '3'};
    return b.size() >= at + sizeof kSig && std::equal(std::begin(kSig), std::end(kSig),
                                                      b.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

bool UpdateFirmwareSupports(ChipKind kind) {
    return (kind >= 1 && kind <= 7) || kind == 15 || kind == 16 || kind == 18 || kind == 30 ||
           kind == 35;
}

bool UpdateFirmware(const Target& t, ChipKind kind, std::uint8_t parallelFlashType,
                    const FirmwareImage& firmware, const UpdateContext& ctx) {
    switch (kind) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 15:
        case 16:
        case 18:
            return UpdateSerialFlash(t, firmware, ctx);
        case 7:
            return WriteDiskResidentFirmware(t, kind, firmware, ctx);
        case 30:
        case 35:
            return UpdateParallelFlash(t, parallelFlashType, firmware, ctx);
        default:
            if (ctx.op)
                ctx.op->showMessage({kFirmwareUpdateNotSupported, "Error", MessageIcon::Error});
            return false;
    }
}

bool UpdateSerialFlash(const Target& t, const FirmwareImage& firmware, const UpdateContext& ctx) {
    const std::size_t n = firmware.length();
    if (n == 0)
        return false;
    if (!WaitFlashReady(t))
        Debug(ctx, "0.1 Device initial not ready!!");
    if (!SerialFlashEraseBlock(t, 0))
        return false;
    WaitFlashReady(t);
    if (n > kBlock) {
        if (!SerialFlashEraseBlock(t, kBlock))
            return false;
        t.transport.clock().sleepMs(100);
        WaitFlashReady(t);
    }
    Buffer check(n);
    if (SerialFlashRead(t, 0, check) && !AllErased(check))
        return false;

    // Whole pages; what lies past the image's end in the last page stays erased.
    const std::size_t pages = (n + kPage - 1) / kPage;
    Buffer page(kPage);
    for (std::size_t p = 0; p < pages; ++p) {
        const std::size_t from = p * kPage;
        const std::size_t take = std::min<std::size_t>(kPage, n - from);
        std::fill(page.begin(), page.end(), 0xFF);
        std::copy_n(firmware.bytes().begin() + static_cast<std::ptrdiff_t>(from), take,
                    page.begin());
        if (!SerialFlashWrite(t, static_cast<std::uint32_t>(from), page))
            return false;
        ctx.report(from + take, n);
    }
    WaitFlashReady(t);
    return SerialFlashRead(t, 0, check) && Same(check, firmware.bytes());
}

bool UpdateParallelFlash(const Target& t, std::uint8_t parallelFlashType,
                         const FirmwareImage& firmware, const UpdateContext& ctx) {
    const std::size_t n = firmware.length();
    if (n == 0)
        return false;
    if (!ParallelFlashEnter(t) || !ParallelFlashSetup(t, parallelFlashType))
        return false;
    Buffer check(n);
    if (ParallelFlashErase(t) && WaitParallelFlashReady(t) && ParallelFlashRead(t, 0, check) &&
        !AllErased(check))
        return false;
    WaitParallelFlashReady(t);
    if (!ParallelFlashProgram(t, parallelFlashType, firmware.bytes()))
        return false;
    ctx.report(n, n);
    WaitParallelFlashReady(t);
    return ParallelFlashRead(t, 0, check) && Same(check, firmware.bytes());
}

bool UpdateCombinedFlash(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                         const ConfigImage& config, const FirmwareImage& firmware,
                         const UpdateContext& ctx) {
    // 1. The source: the image, or the firmware the flash holds after its block.
    Buffer source;
    std::size_t n = 0;
    if (firmwareUpdate) {
        source.assign(firmware.buffer().begin(), firmware.buffer().end());
        n = firmware.length();
    } else {
        n = 0x7000;
        source.assign(n, 0);
        if (!SerialFlashRead(t, 4096, source))
            return false;
    }
    // 2. and 3. The configuration block.
    const bool ownBlock = firmware.loaded() && HasSignature433(source, 4096);
    Buffer pending(4096, 0);
    if (ownBlock) {
        if (eepromUpdate) {
            std::copy(config.begin(), config.end(), source.begin());
        } else {
            if (!SerialFlashRead(t, 0, Bytes(source).first(128)))
                return false;
        }
    } else {
        if (!SerialFlashRead(t, 0, pending))
            return false;
        if (eepromUpdate)
            std::copy(config.begin(), config.end(), pending.begin());
    }
    // 4. How much goes into the flash: the block and the firmware after it.
    n = std::max<std::size_t>(n, 0x4000);
    const std::size_t d = ownBlock ? n : n + 4096;
    Buffer flash(ownBlock ? 0 : 4096);
    if (ownBlock) {
        flash.assign(source.begin(),
                     source.begin() + static_cast<std::ptrdiff_t>(std::min(source.size(), d)));
    } else {
        std::copy(pending.begin(), pending.end(), flash.begin());
        flash.insert(flash.end(), source.begin(),
                     source.begin() + static_cast<std::ptrdiff_t>(std::min(source.size(), n)));
    }
    const std::size_t pages = ((d - 1) >> 14) + 1;
    flash.resize(pages * kPage, 0);

    // 5. Erase the blocks the pages cover.
    const std::size_t erased = (d + kPage - 1) / kPage * kPage;
    const std::size_t blocks = (erased + kBlock - 1) / kBlock;
    Buffer half(kPage);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto at = static_cast<std::uint32_t>(b * kBlock);
        WaitFlashReady(t);
        if (!SerialFlashEraseBlock(t, at))
            return false;
        for (std::uint32_t h = at; h < at + kBlock; h += kPage) {
            if (!SerialFlashRead(t, h, half) || !AllErased(half))
                return false;
        }
    }
    // 6. and 7. Program and verify page by page.
    for (std::size_t p = 0; p < pages; ++p) {
        const auto at = static_cast<std::uint32_t>(p * kPage);
        const ConstBytes page = ConstBytes(flash).subspan(at, kPage);
        WaitFlashReady(t);
        if (!SerialFlashWrite(t, at, page))
            return false;
        WaitFlashReady(t);
        if (!SerialFlashRead(t, at, half) || !Same(half, page))
            return false;
        ctx.report((p + 1) * kPage, pages * kPage);
    }
    return true;
}

// ---- The disk's reserved area ---------------------------------------------------------

std::optional<ReservedArea> ReadReservedArea(const Target& t, ChipKind kind) {
    std::array<std::uint8_t, 512> identify{};
    if (!AtaIdentify(t, identify))
        return std::nullopt;
    ReservedArea a;
    const std::uint16_t word106 = GetLE16(identify, 212);
    if ((word106 & 0xF00F) == 0x6000 || (word106 & 0xF00F) == 0x5000)
        a.sectorSize = GetLE32(identify, 234) * 2;
    if (a.sectorSize < 512 || a.sectorSize > 65536)
        return std::nullopt;
    const std::uint32_t count28 = GetLE32(identify, 120);
    a.sectorCount = count28 == 0x0FFFFFFF ? GetLE64(identify, 200) : count28;

    std::array<std::uint8_t, 18> info{};
    const bool infoRead = ReadChipInfo(t, info);
    a.chipFlag = infoRead && info[17] == 1;

    // R in 64 bits: on drives of more than 2^32 sectors the last sector, else what the
    // bridge reports as the last LBA.
    std::uint64_t start = a.chipFlag ? 1 : 0;
    if (a.sectorCount > 0xFFFFFFFFull) {
        start += a.sectorCount - 1;
    } else {
        std::uint64_t lastLba = 0;
        std::uint32_t blockLength = 0;
        if (!ReadCapacity16(t, lastLba, blockLength))
            return std::nullopt;  // without it the area would land at the start of the disk
        start += lastLba;
    }
    a.start = start;

    bool marked = false;
    if (kind == 7) {
        marked = infoRead && info[16] == 1;
    } else {
        std::array<std::uint8_t, 4> reg{};
        marked = ReadXdata(t, 0xC000, reg) && reg[0] == 0x55 && reg[1] == 0xAA;
    }
    if (marked) {
        Buffer record(4 * static_cast<std::size_t>(a.sectorSize), 0);
        AtaReadDmaExt(t, a.sectorCount, 4, record);
        const std::uint32_t pointer = GetBE32(record, 151);
        const std::uint64_t highest = a.sectorCount + 257;
        if (pointer == 0) {
            a.start = highest;
        } else {
            // The record keeps 32 bits: take the value nearest the area found above, and
            // refuse one that does not lie in the drive's top region, where a firmware
            // area could be.
            std::uint64_t r = (start & ~0xFFFFFFFFull) | pointer;
            if (r > start + 0x80000000ull && r >= 0x100000000ull)
                r -= 0x100000000ull;
            else if (r + 0x80000000ull < start)
                r += 0x100000000ull;
            const std::uint64_t lowest = start > 65536 ? start - 65536 : 0;
            if (r < lowest || r > highest)
                return std::nullopt;
            a.start = r;
        }
        a.fromRecord = true;
    }
    return a;
}

std::optional<std::uint64_t> DiskFirmwareTarget(const ReservedArea& area) {
    if (!area.chipFlag && area.start == 0)
        return std::nullopt;
    const std::uint64_t base = (area.chipFlag ? area.start : area.start - 1) & ~0xFFull;
    if (base < 256)
        return std::nullopt;
    return base - 256;
}

std::vector<std::uint8_t> DiskFirmwareArea(ConstBytes image, std::uint64_t reservedStart) {
    Buffer area(65536, 0);
    std::copy_n(image.begin(), std::min(image.size(), area.size()), area.begin());
    area[150] = 0x55;
    PutBE32(area, 151, static_cast<std::uint32_t>(reservedStart));
    area[155] = 0xAA;
    return area;
}

bool WriteDiskResidentFirmware(const Target& t, ChipKind kind, const FirmwareImage& firmware,
                               const UpdateContext& ctx) {
    ConstBytes image;
    if (kind == 8) {
        const auto builtIn = resources::FindResource("FW", "VQB418FW");
        if (!builtIn)
            return false;
        image = *builtIn;
    } else {
        if (!firmware.loaded())
            return false;
        image = firmware.bytes();
    }
    const auto area = ReadReservedArea(t, kind);
    if (!area)
        return false;
    const auto target = DiskFirmwareTarget(*area);
    if (!target)
        return false;
    const Buffer bytes = DiskFirmwareArea(image, area->start);
    const auto count = static_cast<std::uint16_t>(bytes.size() / area->sectorSize);
    if (!AtaWriteDmaExt(t, *target, count, bytes))
        return false;
    ctx.report(bytes.size(), bytes.size());
    Buffer back(bytes.size());
    return AtaReadDmaExt(t, *target, count, back) && back == bytes;
}

}  // namespace vq::bridge
