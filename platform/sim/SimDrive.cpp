#include "platform/sim/SimDrive.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"

namespace vq::sim {

namespace {

// ATA strings: space padded, the two characters of each word swapped.
void PutAtaString(std::array<std::uint8_t, 512>& id, int word, int words, const std::string& s) {
    for (int i = 0; i < words * 2; ++i) {
        const std::size_t si = static_cast<std::size_t>(i);
        const char c = si < s.size() ? s[si] : ' ';
        id[static_cast<std::size_t>(word * 2 + (i ^ 1))] = static_cast<std::uint8_t>(c);
    }
}

void PutWord(std::array<std::uint8_t, 512>& id, int word, std::uint16_t v) {
    PutLE16(id, static_cast<std::size_t>(word) * 2, v);
}

}  // namespace

std::array<std::uint8_t, 512> BuildIdentifyData(const DriveConfig& c) {
    std::array<std::uint8_t, 512> id{};
    PutAtaString(id, 10, 10, c.serial);
    PutAtaString(id, 23, 4, c.firmwareRevision);
    PutAtaString(id, 27, 20, c.model);
    if (c.packet) {
        PutWord(id, 0, 0x85C0);  // ATAPI, CD/DVD device, removable, 12-byte packets
        PutWord(id, 49, 0x0300);
        return id;
    }
    PutWord(id, 0, 0x0040);  // fixed ATA device
    const std::uint64_t n = c.sectors;
    // Legacy geometry and the current capacity in words 57-58, limited to what
    // 16383 cylinders, 16 heads and 63 sectors hold.
    const std::uint64_t chsMax = 16383ull * 16 * 63;
    const std::uint64_t chs = std::min(n, chsMax);
    PutWord(id, 1, static_cast<std::uint16_t>(std::min<std::uint64_t>(chs / (16 * 63), 16383)));
    PutWord(id, 3, 16);
    PutWord(id, 6, 63);
    PutWord(id, 47, 0x8010);
    PutWord(id, 49, 0x0300);  // LBA and DMA supported
    PutWord(id, 53, 0x0007);
    PutWord(id, 54, static_cast<std::uint16_t>(std::min<std::uint64_t>(chs / (16 * 63), 16383)));
    PutWord(id, 55, 16);
    PutWord(id, 56, 63);
    PutLE32(id, 57 * 2, static_cast<std::uint32_t>(chs));
    // 28-bit count: all sectors up to 0x0FFFFFFF; a larger drive reports 0x0FFFFFFF.
    PutLE32(id, 60 * 2, static_cast<std::uint32_t>(std::min<std::uint64_t>(n, 0x0FFFFFFF)));
    PutWord(id, 80, 0x01F0);  // ATA-4 to ATA-8
    PutWord(id, 82, 0x346B);
    PutWord(id, 83, 0x7D09 | 0x0400);  // 48-bit address feature set supported
    PutWord(id, 84, 0x4163);
    PutWord(id, 85, 0x3469);
    PutWord(id, 86, 0xBC09 | 0x0400);  // 48-bit addressing enabled
    PutWord(id, 87, 0x4163);
    PutWord(id, 88, 0x407F);
    PutLE64(id, 100 * 2, n & 0xFFFF'FFFF'FFFFull);
    if (c.logicalSectorSize > 512) {
        // Valid word, logical sector longer than 256 words; words 117-118 give its size
        // in words.
        PutWord(id, 106, 0x5000);
        PutLE32(id, 117 * 2, c.logicalSectorSize / 2);
    } else {
        PutWord(id, 106, 0x4000);
    }
    return id;
}

SimDrive::SimDrive(DriveConfig config, std::filesystem::path image)
    : config_(std::move(config)), image_(std::move(image)) {
    if (config_.logicalSectorSize < 512)
        config_.logicalSectorSize = 512;
    identify_ = BuildIdentifyData(config_);
    std::error_code ec;
    if (!image_.parent_path().empty())
        std::filesystem::create_directories(image_.parent_path(), ec);
    if (!std::filesystem::exists(image_, ec)) {
        std::ofstream create(image_, std::ios::binary);
    }
    fileSize_ = std::filesystem::file_size(image_, ec);
    if (ec)
        fileSize_ = 0;
    // The space limit counts what this session allocates, not what an existing image
    // already holds.
    file_.open(image_, std::ios::binary | std::ios::in | std::ios::out);
}

SimDrive::Io SimDrive::read(std::uint64_t lba, std::uint64_t count, std::uint8_t* out,
                            bool hidden) {
    const std::uint64_t end = config_.sectors + (hidden ? hiddenSectors() : 0);
    if (lba > end || count > end - lba)
        return Io::OutOfRange;
    const std::uint64_t off = lba * config_.logicalSectorSize;
    const std::uint64_t len = count * config_.logicalSectorSize;
    std::memset(out, 0, len);
    std::lock_guard lock(m_);
    if (off >= fileSize_)
        return Io::Ok;  // never written: zeros
    if (!file_.is_open())
        return Io::Failed;
    const std::uint64_t have = std::min(len, fileSize_ - off);
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(off));
    file_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(have));
    return file_ ? Io::Ok : Io::Failed;
}

SimDrive::Io SimDrive::write(std::uint64_t lba, std::uint64_t count, const std::uint8_t* in,
                             bool hidden) {
    const std::uint64_t end = config_.sectors + (hidden ? hiddenSectors() : 0);
    if (lba > end || count > end - lba)
        return Io::OutOfRange;
    const std::uint64_t off = lba * config_.logicalSectorSize;
    const std::uint64_t len = count * config_.logicalSectorSize;
    if (len == 0)
        return Io::Ok;
    std::lock_guard lock(m_);
    if (spaceLimit_ > 0) {
        std::uint64_t extra = 0;
        for (std::uint64_t c = off / kChunk; c <= (off + len - 1) / kChunk; ++c)
            extra += usedChunks_.count(c) ? 0 : 1;
        if ((usedChunks_.size() + extra) * kChunk > spaceLimit_)
            return Io::NoSpace;
    }
    if (!file_.is_open())
        return Io::Failed;
    file_.clear();
    file_.seekp(static_cast<std::streamoff>(off));
    file_.write(reinterpret_cast<const char*>(in), static_cast<std::streamsize>(len));
    file_.flush();
    if (!file_)
        return Io::Failed;
    for (std::uint64_t c = off / kChunk; c <= (off + len - 1) / kChunk; ++c)
        usedChunks_.insert(c);
    fileSize_ = std::max(fileSize_, off + len);
    return Io::Ok;
}

}  // namespace vq::sim
