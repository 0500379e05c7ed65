#include "platform/PartitionTable.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "base/AlignedBuffer.h"
#include "base/Bytes.h"

namespace vq {

const Guid kGptBasicDataType = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
const Guid kGptReservedType = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                               0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};

namespace {

constexpr std::uint32_t kEntries = 128;
constexpr std::uint32_t kEntrySize = 128;
constexpr std::uint32_t kEntryBytes = kEntries * kEntrySize;
constexpr std::uint32_t kHeaderSize = 92;
constexpr std::uint64_t kGptSignature = 0x5452415020494645ull;  // "EFI PART"

std::uint64_t EntrySectors(std::uint32_t b) {
    return (kEntryBytes + b - 1) / b;
}

bool ReadSectors(BlockDevice& d, std::uint32_t b, std::uint64_t lba, AlignedBuffer& buf,
                 std::uint32_t* error) {
    const IoResult r = d.read(lba * b, buf.span());
    if (!r.ok && error)
        *error = r.error ? r.error : syserr::kReadFault;
    return r.ok;
}

bool WriteSectors(BlockDevice& d, std::uint32_t b, std::uint64_t lba, const AlignedBuffer& buf,
                  std::uint32_t* error) {
    const IoResult r = d.write(lba * b, buf.span());
    if (!r.ok && error)
        *error = r.error ? r.error : syserr::kWriteFault;
    return r.ok;
}

bool Fail(std::uint32_t* error, std::uint32_t code) {
    if (error)
        *error = code;
    return false;
}

bool IsZero(const Guid& g) {
    return std::all_of(g.begin(), g.end(), [](std::uint8_t v) { return v == 0; });
}

// CHS address of a sector for the MBR entry (0xFE 0xFF 0xFF beyond cylinder 1023).
void PutChs(Bytes e, std::size_t off, std::uint64_t lba, const DiskGeometry& g) {
    const std::uint64_t heads = g.tracksPerCylinder ? g.tracksPerCylinder : 255;
    const std::uint64_t spt = g.sectorsPerTrack ? g.sectorsPerTrack : 63;
    const std::uint64_t cyl = lba / (heads * spt);
    if (cyl > 1023) {
        e[off] = 0xFE;
        e[off + 1] = 0xFF;
        e[off + 2] = 0xFF;
        return;
    }
    const std::uint64_t head = (lba / spt) % heads;
    const std::uint64_t sector = lba % spt + 1;
    e[off] = static_cast<std::uint8_t>(head);
    e[off + 1] = static_cast<std::uint8_t>(sector | ((cyl >> 2) & 0xC0));
    e[off + 2] = static_cast<std::uint8_t>(cyl & 0xFF);
}

std::optional<DriveLayout> ParseGpt(BlockDevice& d, const DiskGeometry& g, std::uint64_t sectors,
                                    std::uint64_t headerLba, std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    AlignedBuffer hdr(b);
    if (!ReadSectors(d, b, headerLba, hdr, error))
        return std::nullopt;
    const auto h = hdr.span();
    if (GetLE64(h, 0) != kGptSignature)
        return std::nullopt;
    const std::uint32_t size = GetLE32(h, 12);
    if (size < kHeaderSize || size > b)
        return std::nullopt;
    std::vector<std::uint8_t> copy(h.begin(), h.begin() + size);
    PutLE32(copy, 16, 0);
    if (Crc32(copy) != GetLE32(h, 16) || GetLE64(h, 24) != headerLba)
        return std::nullopt;
    const std::uint64_t entriesLba = GetLE64(h, 72);
    const std::uint32_t count = GetLE32(h, 80);
    const std::uint32_t entrySize = GetLE32(h, 84);
    if (entrySize < 128 || entrySize % 8 != 0 || count == 0 || count > 1024)
        return std::nullopt;
    const std::uint64_t bytes = std::uint64_t{count} * entrySize;
    const std::uint64_t n = (bytes + b - 1) / b;
    if (entriesLba > sectors || n > sectors - entriesLba)
        return std::nullopt;
    AlignedBuffer ent(static_cast<std::size_t>(n * b));
    if (!ReadSectors(d, b, entriesLba, ent, error))
        return std::nullopt;
    if (Crc32(ent.span().first(static_cast<std::size_t>(bytes))) != GetLE32(h, 88))
        return std::nullopt;
    DriveLayout l;
    l.style = PartitionStyle::Gpt;
    std::copy_n(h.begin() + 56, 16, l.gptDiskId.begin());
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto e = ent.span().subspan(std::size_t{i} * entrySize, entrySize);
        PartitionInfo p;
        std::copy_n(e.begin(), 16, p.gptType.begin());
        if (IsZero(p.gptType))
            continue;
        std::copy_n(e.begin() + 16, 16, p.gptId.begin());
        const std::uint64_t first = GetLE64(e, 32);
        const std::uint64_t last = GetLE64(e, 40);
        if (last < first || last >= sectors)
            continue;  // not a partition of this disk
        p.style = PartitionStyle::Gpt;
        p.startingOffset = first * b;
        p.length = (last - first + 1) * b;
        p.gptAttributes = GetLE64(e, 48);
        for (std::size_t c = 0; c < 36; ++c) {
            const std::uint16_t ch = GetLE16(e, 56 + 2 * c);
            if (ch == 0)
                break;
            p.gptName.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
        }
        p.partitionNumber = static_cast<std::uint32_t>(l.partitions.size() + 1);
        p.recognizedPartition = true;
        l.partitions.push_back(std::move(p));
    }
    return l;
}

// The header and entry array of one GPT copy.
void BuildGptHeader(Bytes h, const DiskGeometry& g, std::uint64_t sectors, bool primary,
                    const Guid& diskId, std::uint32_t entriesCrc) {
    const std::uint32_t b = g.bytesPerSector;
    const std::uint64_t last = sectors - 1;
    std::fill(h.begin(), h.end(), 0);
    PutLE64(h, 0, kGptSignature);
    PutLE32(h, 8, 0x00010000);
    PutLE32(h, 12, kHeaderSize);
    PutLE64(h, 24, primary ? 1 : last);
    PutLE64(h, 32, primary ? last : 1);
    PutLE64(h, 40, GptFirstUsable(b));
    PutLE64(h, 48, GptLastUsable(sectors, b));
    std::copy(diskId.begin(), diskId.end(), h.begin() + 56);
    PutLE64(h, 72, primary ? 2 : last - EntrySectors(b));
    PutLE32(h, 80, kEntries);
    PutLE32(h, 84, kEntrySize);
    PutLE32(h, 88, entriesCrc);
    PutLE32(h, 16, Crc32(h.first(kHeaderSize)));
}

bool WriteGpt(BlockDevice& d, const DiskGeometry& g, std::uint64_t sectors, const Guid& diskId,
              const std::vector<PartitionInfo>& parts, std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    const std::uint64_t n = EntrySectors(b);
    AlignedBuffer ent(static_cast<std::size_t>(n * b));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const PartitionInfo& p = parts[i];
        auto e = ent.span().subspan(i * kEntrySize, kEntrySize);
        std::copy(p.gptType.begin(), p.gptType.end(), e.begin());
        const Guid id = IsZero(p.gptId) ? NewGuid() : p.gptId;
        std::copy(id.begin(), id.end(), e.begin() + 16);
        PutLE64(e, 32, p.startingOffset / b);
        PutLE64(e, 40, (p.startingOffset + p.length) / b - 1);
        PutLE64(e, 48, p.gptAttributes);
        for (std::size_t c = 0; c < 36 && c < p.gptName.size(); ++c)
            PutLE16(e, 56 + 2 * c, static_cast<std::uint8_t>(p.gptName[c]));
    }
    const std::uint32_t entriesCrc = Crc32(ent.span().first(kEntryBytes));

    // Protective MBR: boot code and signature of what was there are dropped.
    AlignedBuffer mbr(b);
    auto m = mbr.span();
    m[446 + 1] = 0x00;
    m[446 + 2] = 0x02;
    m[446 + 3] = 0x00;
    m[446 + 4] = 0xEE;
    m[446 + 5] = 0xFF;
    m[446 + 6] = 0xFF;
    m[446 + 7] = 0xFF;
    PutLE32(m, 446 + 8, 1);
    PutLE32(m, 446 + 12,
            static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFF)));
    m[510] = 0x55;
    m[511] = 0xAA;

    AlignedBuffer hdr(b);
    const std::uint64_t last = sectors - 1;
    BuildGptHeader(hdr.span(), g, sectors, false, diskId, entriesCrc);
    if (!WriteSectors(d, b, last - n, ent, error) || !WriteSectors(d, b, last, hdr, error))
        return false;
    BuildGptHeader(hdr.span(), g, sectors, true, diskId, entriesCrc);
    return WriteSectors(d, b, 2, ent, error) && WriteSectors(d, b, 1, hdr, error) &&
           WriteSectors(d, b, 0, mbr, error);
}

// Zeroes the GPT headers at sector 1 and at the end of the disk.
bool WipeGpt(BlockDevice& d, const DiskGeometry& g, std::uint64_t sectors, std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    AlignedBuffer zero(b);
    return WriteSectors(d, b, 1, zero, error) && WriteSectors(d, b, sectors - 1, zero, error);
}

bool CheckPartitions(std::vector<PartitionInfo> parts, std::uint64_t lo, std::uint64_t hi,
                     std::uint32_t b) {
    std::sort(parts.begin(), parts.end(),
              [](const auto& x, const auto& y) { return x.startingOffset < y.startingOffset; });
    std::uint64_t end = lo;
    for (const auto& p : parts) {
        if (p.length == 0 || p.startingOffset % b != 0 || p.length % b != 0)
            return false;
        if (p.startingOffset < end || p.startingOffset > hi || p.length > hi - p.startingOffset)
            return false;
        end = p.startingOffset + p.length;
    }
    return true;
}

std::uint64_t SectorsOf(const DiskGeometry& g) {
    return g.bytesPerSector ? g.totalBytes / g.bytesPerSector : 0;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t v : bytes)
        c = table[(c ^ v) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

Guid NewGuid() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    Guid g{};
    const std::uint64_t a = rng(), c = rng();
    for (int i = 0; i < 8; ++i) {
        g[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (8 * i));
        g[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(c >> (8 * i));
    }
    g[7] = static_cast<std::uint8_t>((g[7] & 0x0F) | 0x40);  // version 4 (mixed-endian field)
    g[8] = static_cast<std::uint8_t>((g[8] & 0x3F) | 0x80);  // variant 1
    return g;
}

DiskGeometry GeometryForSectors(std::uint64_t sectors, std::uint32_t bytesPerSector) {
    DiskGeometry g;
    g.bytesPerSector = bytesPerSector;
    g.tracksPerCylinder = 255;
    g.sectorsPerTrack = 63;
    g.cylinders = sectors / (255 * 63);
    g.totalBytes = sectors * bytesPerSector;
    return g;
}

bool IsRecognizedMbrType(std::uint8_t type) {
    switch (type) {
        case 0x01:
        case 0x04:
        case 0x06:
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x0E:
            return true;
        default:
            return false;
    }
}

std::uint64_t GptFirstUsable(std::uint32_t b) {
    return 2 + EntrySectors(b);
}

std::uint64_t GptLastUsable(std::uint64_t sectors, std::uint32_t b) {
    return sectors - 2 - EntrySectors(b);
}

std::optional<DriveLayout> ReadDriveLayout(BlockDevice& d, const DiskGeometry& g,
                                           std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    const std::uint64_t sectors = SectorsOf(g);
    if (b < 512 || sectors < 2) {
        Fail(error, syserr::kNotReady);
        return std::nullopt;
    }
    AlignedBuffer mbr(b);
    if (!ReadSectors(d, b, 0, mbr, error))
        return std::nullopt;
    const auto m = mbr.span();
    DriveLayout l;
    if (m[510] != 0x55 || m[511] != 0xAA)
        return l;  // RAW
    bool protective = false;
    for (int i = 0; i < 4; ++i)
        protective = protective || m[446 + 16 * static_cast<std::size_t>(i) + 4] == 0xEE;
    if (protective && sectors > 2 * (2 + EntrySectors(b))) {
        if (auto gpt = ParseGpt(d, g, sectors, 1, error))
            return gpt;
        if (auto gpt = ParseGpt(d, g, sectors, sectors - 1, error))
            return gpt;
    }
    l.style = PartitionStyle::Mbr;
    l.mbrSignature = GetLE32(m, 440);
    std::uint32_t number = 0;
    for (int i = 0; i < 4; ++i) {
        const auto e = m.subspan(446 + 16 * static_cast<std::size_t>(i), 16);
        PartitionInfo p;
        p.style = PartitionStyle::Mbr;
        p.mbrType = e[4];
        if (p.mbrType != 0) {
            p.bootIndicator = e[0] == 0x80;
            p.hiddenSectors = GetLE32(e, 8);
            p.startingOffset = std::uint64_t{GetLE32(e, 8)} * b;
            p.length = std::uint64_t{GetLE32(e, 12)} * b;
            p.recognizedPartition = IsRecognizedMbrType(p.mbrType);
            p.partitionNumber = ++number;
        }
        l.partitions.push_back(p);
    }
    return l;
}

bool CreateEmptyTable(BlockDevice& d, const DiskGeometry& g, PartitionStyle style,
                      std::uint32_t mbrSignature, Guid gptDiskId, std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    const std::uint64_t sectors = SectorsOf(g);
    if (b < 512 || sectors < 2 * (2 + EntrySectors(b)) + 1)
        return Fail(error, syserr::kInvalidParameter);
    if (style == PartitionStyle::Gpt) {
        if (IsZero(gptDiskId))
            gptDiskId = NewGuid();
        return WriteGpt(d, g, sectors, gptDiskId, {}, error);
    }
    if (style != PartitionStyle::Mbr)
        return Fail(error, syserr::kInvalidParameter);
    if (!WipeGpt(d, g, sectors, error))
        return false;
    AlignedBuffer mbr(b);
    if (!ReadSectors(d, b, 0, mbr, error))
        return false;
    auto m = mbr.span();
    std::fill(m.begin() + 440, m.begin() + 510, 0);
    PutLE32(m, 440, mbrSignature);
    m[510] = 0x55;
    m[511] = 0xAA;
    return WriteSectors(d, b, 0, mbr, error);
}

bool WriteDriveLayout(BlockDevice& d, const DiskGeometry& g, const DriveLayout& layout,
                      std::uint32_t* error) {
    const std::uint32_t b = g.bytesPerSector;
    const std::uint64_t sectors = SectorsOf(g);
    if (b < 512 || sectors < 2 * (2 + EntrySectors(b)) + 1)
        return Fail(error, syserr::kInvalidParameter);
    if (layout.style == PartitionStyle::Gpt) {
        std::vector<PartitionInfo> parts;
        for (const auto& p : layout.partitions) {
            if (!IsZero(p.gptType))
                parts.push_back(p);
        }
        if (parts.size() > kEntries ||
            !CheckPartitions(parts, GptFirstUsable(b) * b, (GptLastUsable(sectors, b) + 1) * b, b))
            return Fail(error, syserr::kInvalidParameter);
        const Guid id = IsZero(layout.gptDiskId) ? NewGuid() : layout.gptDiskId;
        return WriteGpt(d, g, sectors, id, parts, error);
    }
    if (layout.style != PartitionStyle::Mbr || layout.partitions.size() > 4)
        return Fail(error, syserr::kInvalidParameter);
    std::vector<PartitionInfo> used;
    for (const auto& p : layout.partitions) {
        if (p.mbrType != 0)
            used.push_back(p);
    }
    const std::uint64_t limit = std::min<std::uint64_t>(sectors, 0xFFFFFFFFull) * b;
    if (!CheckPartitions(used, b, limit, b))
        return Fail(error, syserr::kInvalidParameter);
    AlignedBuffer mbr(b);
    if (!ReadSectors(d, b, 0, mbr, error))
        return false;
    const bool wasGpt = mbr.span()[446 + 4] == 0xEE;
    if (wasGpt && !WipeGpt(d, g, sectors, error))
        return false;
    auto m = mbr.span();
    std::fill(m.begin() + 440, m.begin() + 510, 0);
    PutLE32(m, 440, layout.mbrSignature);
    for (std::size_t i = 0; i < layout.partitions.size(); ++i) {
        const PartitionInfo& p = layout.partitions[i];
        if (p.mbrType == 0)
            continue;
        auto e = m.subspan(446 + 16 * i, 16);
        const std::uint64_t first = p.startingOffset / b;
        const std::uint64_t count = p.length / b;
        e[0] = p.bootIndicator ? 0x80 : 0x00;
        PutChs(e, 1, first, g);
        e[4] = p.mbrType;
        PutChs(e, 5, first + count - 1, g);
        PutLE32(e, 8, static_cast<std::uint32_t>(first));
        PutLE32(e, 12, static_cast<std::uint32_t>(count));
    }
    m[510] = 0x55;
    m[511] = 0xAA;
    return WriteSectors(d, b, 0, mbr, error);
}

}  // namespace vq
