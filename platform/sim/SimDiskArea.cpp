#include "platform/sim/SimDiskArea.h"

#include <algorithm>

#include "base/Bytes.h"
#include "platform/sim/SimDrive.h"
#include "resources/ImageRule.h"

namespace vq::sim {

namespace {

constexpr std::uint64_t k4G = 0x1'0000'0000ull;

std::vector<std::uint8_t> ReadSectors(SimDrive& d, std::uint64_t lba, std::uint64_t count) {
    std::vector<std::uint8_t> out(count * d.sectorSize());
    if (d.read(lba, count, out.data(), true) != SimDrive::Io::Ok)
        out.clear();
    return out;
}

}  // namespace

std::optional<std::uint64_t> DiskFirmwareStart(std::uint64_t r, bool chipFlag) {
    if (!chipFlag && r == 0)
        return std::nullopt;
    const std::uint64_t base = (chipFlag ? r : r - 1) & ~0xFFull;
    if (base < 256)
        return std::nullopt;
    return base - 256;
}

std::optional<std::uint64_t> PointerRecord(std::span<const std::uint8_t> b, std::uint64_t near) {
    if (b.size() < kPointerRecordAt + 6 || b[kPointerRecordAt] != 0x55 ||
        b[kPointerRecordAt + 5] != 0xAA)
        return std::nullopt;
    const std::uint32_t low = GetBE32(b, kPointerRecordAt + 1);
    if (low == 0)
        return std::nullopt;
    std::uint64_t r = (near & ~(k4G - 1)) | low;
    if (r > near + k4G / 2 && r >= k4G)
        r -= k4G;
    else if (r + k4G / 2 < near)
        r += k4G;
    return r;
}

bool DiskFirmwareValid(std::uint8_t kind, std::span<const std::uint8_t> area, std::uint64_t r) {
    if (area.size() < kDiskAreaBytes || area[kPointerRecordAt] != 0x55 ||
        GetBE32(area, kPointerRecordAt + 1) != static_cast<std::uint32_t>(r) ||
        area[kPointerRecordAt + 5] != 0xAA)
        return false;
    if (kind == 7) {
        static constexpr std::uint8_t kBoot[] = {0x55, 0xAA, 0x56, 0x51, '4', '2', '9'};
        return std::equal(std::begin(kBoot), std::end(kBoot), area.begin() + 0x4000);
    }
    if (kind == 8) {
        constexpr std::size_t kSize = 32768;
        resources::ImageByteStream expected("VQB418FW", kSize);
        for (std::size_t i = 0; i < kSize; ++i) {
            const std::uint8_t want = expected.next();
            if ((i < kPointerRecordAt || i >= kPointerRecordAt + 6) && area[i] != want)
                return false;
        }
        return true;
    }
    return false;
}

std::vector<std::uint8_t> DiskConfigBlock(std::span<const std::uint8_t> sector) {
    for (std::size_t base : {std::size_t{0}, std::size_t{256}}) {
        if (sector.size() < base + 256)
            break;
        bool pattern = true;
        for (std::size_t i = 0; i < 128 && pattern; i += 2)
            pattern = sector[base + i] == 0x56 && sector[base + i + 1] == 0x51;
        const auto block = sector.subspan(base + 128, 128);
        if (pattern && (block[124] & 0x20))
            return {block.begin(), block.end()};
    }
    return {};
}

DiskArea FindDiskArea(SimDrive& d, std::uint8_t kind, bool chipFlag) {
    DiskArea found;
    const std::uint64_t n = d.sectors();
    const std::uint32_t s = d.sectorSize();
    if (n == 0 || d.packet())
        return found;
    std::vector<std::uint64_t> candidates;
    const auto anchor = ReadSectors(d, n, 1);
    if (auto r = PointerRecord(anchor, n))
        candidates.push_back(*r);
    candidates.push_back((chipFlag ? 1 : 0) + n - 1);
    candidates.push_back(n + 257);
    const std::uint64_t count = kDiskAreaBytes / s;
    for (std::uint64_t r : candidates) {
        const auto t = DiskFirmwareStart(r, chipFlag);
        if (!t)
            continue;
        const auto area = ReadSectors(d, *t, count);
        if (!DiskFirmwareValid(kind, area, r))
            continue;
        found.firmwareStart = r;
        found.firmwareAt = *t;
        if (kind == 7)
            std::copy_n(area.begin() + 0x4008, 6, found.version.begin());
        break;
    }
    if (found.firmwareStart) {
        found.config = DiskConfigBlock(ReadSectors(d, *found.firmwareStart, 1));
    } else {
        for (std::uint64_t r : candidates) {
            found.config = DiskConfigBlock(ReadSectors(d, r, 1));
            if (!found.config.empty())
                break;
        }
    }
    // Keep the pointer record at N, where the area is looked for first.
    if (found.firmwareStart && !anchor.empty()) {
        const std::uint64_t r = *found.firmwareStart;
        const bool inArea = n >= found.firmwareAt && n < found.firmwareAt + count;
        if (r != n && !inArea && PointerRecord(anchor, n) != r) {
            std::vector<std::uint8_t> sector(s, 0);
            sector[kPointerRecordAt] = 0x55;
            PutBE32(sector, kPointerRecordAt + 1, static_cast<std::uint32_t>(r));
            sector[kPointerRecordAt + 5] = 0xAA;
            d.write(n, 1, sector.data(), true);
        }
    }
    return found;
}

}  // namespace vq::sim
