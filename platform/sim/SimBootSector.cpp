#include "platform/sim/SimBootSector.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"

namespace vq::sim {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

bool PowerOfTwo(std::uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

int Log2(std::uint64_t v) {
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

bool Signed(std::span<const std::uint8_t> s) {
    return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA;
}

bool Text(std::span<const std::uint8_t> s, std::size_t off, std::string_view t) {
    return std::memcmp(s.data() + off, t.data(), t.size()) == 0;
}

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t unit) {
    return (v + unit - 1) / unit * unit;
}

// What the NTFS metadata (MFT, log, bitmap) takes on a fresh volume.
std::uint64_t NtfsMeta(std::uint64_t total, std::uint32_t cluster) {
    return std::min(RoundUp(std::min(total / 100, 64 * kMiB) + kMiB, cluster), total);
}

std::optional<BootInfo> ParseFat32(std::span<const std::uint8_t> s, std::uint32_t b,
                                   std::uint64_t volumeSectors) {
    const std::uint32_t bps = GetLE16(s, 11);
    const std::uint32_t spc = s[13];
    const std::uint32_t reserved = GetLE16(s, 14);
    const std::uint32_t fats = s[16];
    const std::uint32_t total = GetLE32(s, 32);
    const std::uint32_t fatSize = GetLE32(s, 36);
    const std::uint32_t rootCluster = GetLE32(s, 44);
    if (bps != b || !PowerOfTwo(spc) || reserved == 0 || fats == 0 || fats > 2 ||
        GetLE16(s, 22) != 0 || fatSize == 0 || total == 0 || total > volumeSectors ||
        rootCluster < 2)
        return std::nullopt;
    const std::uint64_t data = std::uint64_t{reserved} + std::uint64_t{fats} * fatSize;
    if (data >= total)
        return std::nullopt;
    const std::uint64_t clusters = (total - data) / spc;
    if (clusters < 65525 || clusters > 0x0FFFFFF4 || rootCluster - 2 >= clusters)
        return std::nullopt;
    BootInfo i;
    i.fileSystem = "FAT32";
    i.serial = GetLE32(s, 67);
    i.clusterBytes = bps * spc;
    i.totalBytes = clusters * i.clusterBytes;
    i.metaBytes = i.clusterBytes;  // the root folder's cluster
    i.rootSector = data + std::uint64_t{rootCluster - 2} * spc;
    return i;
}

std::optional<BootInfo> ParseNtfs(std::span<const std::uint8_t> s, std::uint32_t b,
                                  std::uint64_t volumeSectors) {
    const std::uint32_t bps = GetLE16(s, 11);
    const std::uint8_t code = s[13];
    const std::uint64_t spc = code <= 0x80 ? code : (1ull << (256 - code));
    const std::uint64_t total = GetLE64(s, 40);
    if (bps != b || !PowerOfTwo(spc) || total == 0 || total > volumeSectors)
        return std::nullopt;
    BootInfo i;
    i.fileSystem = "NTFS";
    i.serial = GetLE32(s, 72);
    i.clusterBytes = static_cast<std::uint32_t>(bps * spc);
    i.totalBytes = total * bps / i.clusterBytes * i.clusterBytes;
    i.metaBytes = NtfsMeta(i.totalBytes, i.clusterBytes);
    return i;
}

std::optional<BootInfo> ParseExfat(std::span<const std::uint8_t> s, std::uint32_t b,
                                   std::uint64_t volumeSectors) {
    for (std::size_t k = 11; k < 64; ++k) {
        if (s[k] != 0)
            return std::nullopt;
    }
    const int bpsShift = s[108];
    const int spcShift = s[109];
    const std::uint64_t length = GetLE64(s, 72);
    const std::uint32_t clusters = GetLE32(s, 92);
    if (bpsShift < 9 || bpsShift > 12 || (1u << bpsShift) != b || spcShift > 25 - bpsShift ||
        length == 0 || length > volumeSectors || clusters == 0)
        return std::nullopt;
    BootInfo i;
    i.fileSystem = "exFAT";
    i.serial = GetLE32(s, 100);
    i.clusterBytes = 1u << (bpsShift + spcShift);
    i.totalBytes = std::uint64_t{clusters} * i.clusterBytes;
    // Allocation bitmap, up-case table and root folder.
    i.metaBytes = RoundUp((clusters + 7) / 8, i.clusterBytes) + 2ull * i.clusterBytes;
    return i;
}

}  // namespace

std::optional<BootInfo> ParseBootSector(std::span<const std::uint8_t> s, std::uint32_t b,
                                        std::uint64_t volumeSectors) {
    if (!Signed(s))
        return std::nullopt;
    if (Text(s, 3, "NTFS    "))
        return ParseNtfs(s, b, volumeSectors);
    if (Text(s, 3, "EXFAT   "))
        return ParseExfat(s, b, volumeSectors);
    if (Text(s, 82, "FAT32   "))
        return ParseFat32(s, b, volumeSectors);
    return std::nullopt;
}

std::uint32_t DefaultClusterBytes(std::string_view fs, std::uint64_t bytes) {
    if (fs == "exFAT")
        return bytes <= 256 * kMiB ? 4096 : bytes <= 32 * kGiB ? 32768 : 131072;
    if (fs == "FAT32") {
        if (bytes <= 64 * kMiB)
            return 512;
        if (bytes <= 128 * kMiB)
            return 1024;
        if (bytes <= 256 * kMiB)
            return 2048;
        if (bytes <= 8 * kGiB)
            return 4096;
        if (bytes <= 16 * kGiB)
            return 8192;
        return bytes <= 32 * kGiB ? 16384 : 32768;
    }
    return 4096;
}

bool ValidClusterBytes(std::string_view fs, std::uint32_t cluster, std::uint32_t b) {
    const std::uint32_t max = fs == "exFAT" ? 32u << 20 : 65536u;
    return PowerOfTwo(cluster) && cluster >= b && cluster <= max;
}

std::optional<std::vector<std::uint8_t>> BuildBootSector(std::string_view fs, std::uint32_t b,
                                                         std::uint64_t sectors,
                                                         std::uint64_t hidden,
                                                         std::uint32_t cluster,
                                                         std::uint32_t serial) {
    std::vector<std::uint8_t> s(b, 0);
    const std::uint32_t spc = cluster / b;
    s[510] = 0x55;
    s[511] = 0xAA;
    if (fs == "NTFS") {
        if (sectors < 2048 || spc == 0)
            return std::nullopt;
        s[0] = 0xEB, s[1] = 0x52, s[2] = 0x90;
        std::memcpy(s.data() + 3, "NTFS    ", 8);
        PutLE16(s, 11, static_cast<std::uint16_t>(b));
        s[13] = spc <= 128 ? static_cast<std::uint8_t>(spc)
                           : static_cast<std::uint8_t>(256 - Log2(spc));
        s[21] = 0xF8;
        PutLE16(s, 24, 63);
        PutLE16(s, 26, 255);
        PutLE32(s, 28, static_cast<std::uint32_t>(std::min<std::uint64_t>(hidden, 0xFFFFFFFF)));
        PutLE32(s, 36, 0x00800080);
        PutLE64(s, 40, sectors - 1);  // the last sector holds the backup boot sector
        PutLE64(s, 48, 4);            // first cluster of the master file table
        PutLE64(s, 56, 2);
        s[64] = 0xF6;  // 1024-byte file records
        s[68] = 0x01;
        PutLE64(s, 72, (std::uint64_t{serial} << 32) | serial);
        return s;
    }
    if (fs == "exFAT") {
        const int bpsShift = Log2(b);
        const int spcShift = Log2(spc);
        const std::uint64_t fatOffset = std::max<std::uint64_t>(24, 32768 / b);
        std::uint64_t clusters = sectors / spc;
        std::uint64_t heap = 0;
        for (int k = 0; k < 2; ++k) {
            const std::uint64_t fatLength = RoundUp((clusters + 2) * 4, b) / b;
            heap = RoundUp(fatOffset + fatLength, spc);
            if (heap >= sectors)
                return std::nullopt;
            clusters = (sectors - heap) / spc;
        }
        if (clusters < 16 || clusters > 0xFFFFFFF5)
            return std::nullopt;
        s[0] = 0xEB, s[1] = 0x76, s[2] = 0x90;
        std::memcpy(s.data() + 3, "EXFAT   ", 8);
        PutLE64(s, 64, hidden);
        PutLE64(s, 72, sectors);
        PutLE32(s, 80, static_cast<std::uint32_t>(fatOffset));
        PutLE32(s, 84, static_cast<std::uint32_t>(RoundUp((clusters + 2) * 4, b) / b));
        PutLE32(s, 88, static_cast<std::uint32_t>(heap));
        PutLE32(s, 92, static_cast<std::uint32_t>(clusters));
        PutLE32(s, 96, 4);
        PutLE32(s, 100, serial);
        PutLE16(s, 104, 0x0100);
        s[108] = static_cast<std::uint8_t>(bpsShift);
        s[109] = static_cast<std::uint8_t>(spcShift);
        s[110] = 1;
        s[111] = 0x80;
        return s;
    }
    if (fs == "FAT32") {
        if (spc == 0 || spc > 128 || sectors > 0xFFFFFFFF)
            return std::nullopt;
        const std::uint64_t reserved = 32;
        const std::uint64_t fatSize = (4 * (sectors - reserved)) / (std::uint64_t{cluster} + 8) + 1;
        const std::uint64_t data = reserved + 2 * fatSize;
        if (data >= sectors)
            return std::nullopt;
        const std::uint64_t clusters = (sectors - data) / spc;
        if (clusters < 65525 || clusters > 0x0FFFFFF4)
            return std::nullopt;
        s[0] = 0xEB, s[1] = 0x58, s[2] = 0x90;
        std::memcpy(s.data() + 3, "MSDOS5.0", 8);
        PutLE16(s, 11, static_cast<std::uint16_t>(b));
        s[13] = static_cast<std::uint8_t>(spc);
        PutLE16(s, 14, static_cast<std::uint16_t>(reserved));
        s[16] = 2;
        s[21] = 0xF8;
        PutLE16(s, 24, 63);
        PutLE16(s, 26, 255);
        PutLE32(s, 28, static_cast<std::uint32_t>(std::min<std::uint64_t>(hidden, 0xFFFFFFFF)));
        PutLE32(s, 32, static_cast<std::uint32_t>(sectors));
        PutLE32(s, 36, static_cast<std::uint32_t>(fatSize));
        PutLE32(s, 44, 2);
        PutLE16(s, 48, 1);
        PutLE16(s, 50, 6);
        s[64] = 0x80;
        s[66] = 0x29;
        PutLE32(s, 67, serial);
        std::memcpy(s.data() + 71, "NO NAME    ", 11);
        std::memcpy(s.data() + 82, "FAT32   ", 8);
        return s;
    }
    return std::nullopt;
}

std::optional<std::string> FindFatLabel(std::span<const std::uint8_t> root) {
    for (std::size_t off = 0; off + 32 <= root.size(); off += 32) {
        const std::uint8_t first = root[off];
        if (first == 0x00)
            break;
        const std::uint8_t attr = root[off + 11];
        if (first == 0xE5 || attr == 0x0F || (attr & 0x08) == 0)
            continue;
        std::string label(reinterpret_cast<const char*>(root.data() + off), 11);
        while (!label.empty() && label.back() == ' ')
            label.pop_back();
        return label;
    }
    return std::nullopt;
}

bool PutFatLabel(std::span<std::uint8_t> root, std::string_view label) {
    std::optional<std::size_t> at;
    for (std::size_t off = 0; off + 32 <= root.size(); off += 32) {
        const std::uint8_t first = root[off];
        const std::uint8_t attr = root[off + 11];
        if (first != 0x00 && first != 0xE5 && attr != 0x0F && (attr & 0x08) != 0) {
            at = off;
            break;
        }
        if (!at && (first == 0x00 || first == 0xE5))
            at = off;
        if (first == 0x00)
            break;
    }
    if (!at)
        return label.empty();
    auto e = root.subspan(*at, 32);
    if (label.empty()) {
        if (e[0] != 0x00 && (e[11] & 0x08))
            e[0] = 0xE5;
        return true;
    }
    std::fill(e.begin(), e.end(), 0);
    for (std::size_t i = 0; i < 11; ++i)
        e[i] = static_cast<std::uint8_t>(i < label.size() ? label[i] : ' ');
    e[11] = 0x08;
    return true;
}

}  // namespace vq::sim
