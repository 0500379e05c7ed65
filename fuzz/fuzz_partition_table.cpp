// The partition table reader on arbitrary disks: the input gives the sector size, the
// disk's length and its sectors from the start (the rest reads as zeros). Whatever the
// sectors hold, a GPT layout lists only partitions inside the disk, and a layout that the
// writer takes reads back the same from a fresh disk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "platform/PartitionTable.h"

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// A sparse disk in memory: sectors never written read as zeros.
class MemoryDisk final : public vq::BlockDevice {
  public:
    MemoryDisk(std::uint32_t sectorSize, std::uint64_t sectors) : b_(sectorSize), n_(sectors) {}

    void put(std::uint64_t lba, const std::uint8_t* data, std::size_t size) {
        auto& s = sectors_[lba];
        s.assign(b_, 0);
        std::memcpy(s.data(), data, std::min<std::size_t>(size, b_));
    }

    std::optional<vq::DiskGeometry> geometry() override { return vq::GeometryForSectors(n_, b_); }
    vq::IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        if (offset % b_ || buffer.size() % b_ || offset / b_ > n_ ||
            buffer.size() / b_ > n_ - offset / b_)
            return {false, 0, vq::syserr::kInvalidParameter};
        for (std::size_t at = 0; at < buffer.size(); at += b_) {
            const auto it = sectors_.find(offset / b_ + at / b_);
            if (it == sectors_.end())
                std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(at), b_, 0);
            else
                std::copy(it->second.begin(), it->second.end(), buffer.begin() + at);
        }
        return {true, static_cast<std::uint32_t>(buffer.size()), 0};
    }
    vq::IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        if (offset % b_ || buffer.size() % b_ || offset / b_ > n_ ||
            buffer.size() / b_ > n_ - offset / b_)
            return {false, 0, vq::syserr::kInvalidParameter};
        for (std::size_t at = 0; at < buffer.size(); at += b_)
            put(offset / b_ + at / b_, buffer.data() + at, b_);
        return {true, static_cast<std::uint32_t>(buffer.size()), 0};
    }
    vq::ScsiResult execute(const vq::ScsiRequest&) override { return {}; }
    std::optional<vq::StorageDeviceNumber> deviceNumber() override { return std::nullopt; }

  private:
    std::uint32_t b_;
    std::uint64_t n_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
};

bool SamePartitions(const vq::DriveLayout& a, const vq::DriveLayout& b) {
    if (a.style != b.style || a.partitions.size() != b.partitions.size())
        return false;
    for (std::size_t i = 0; i < a.partitions.size(); ++i) {
        const auto& x = a.partitions[i];
        const auto& y = b.partitions[i];
        if (x.startingOffset != y.startingOffset || x.length != y.length ||
            x.mbrType != y.mbrType || x.gptType != y.gptType)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9)
        return 0;
    const std::uint32_t b = (data[0] & 1) ? 4096 : 512;
    std::uint64_t sectors = 0;
    std::memcpy(&sectors, data + 1, 8);
    sectors %= std::uint64_t{1} << 42;  // up to 2 PiB of 512-byte sectors
    data += 9;
    size -= 9;
    const std::uint64_t given = (size + b - 1) / b;
    sectors = std::max<std::uint64_t>(sectors, std::max<std::uint64_t>(given, 2));
    MemoryDisk disk(b, sectors);
    // The input's sectors from the start; when the disk is longer, the last one is also
    // its last sector (where the backup GPT header lives).
    for (std::uint64_t i = 0; i < given; ++i)
        disk.put(i, data + i * b, size - i * b);
    if (given > 1 && sectors > given)
        disk.put(sectors - 1, data + (given - 1) * b, size - (given - 1) * b);

    const vq::DiskGeometry g = *disk.geometry();
    const auto layout = vq::ReadDriveLayout(disk, g);
    Check(layout.has_value());
    if (layout->style == vq::PartitionStyle::Gpt) {
        for (const auto& p : layout->partitions) {
            Check(p.length > 0 && p.startingOffset % b == 0 && p.length % b == 0);
            Check(p.startingOffset <= g.totalBytes && p.length <= g.totalBytes - p.startingOffset);
            Check(p.gptName.size() <= 36);
        }
    }
    if (layout->style == vq::PartitionStyle::Mbr)
        Check(layout->partitions.size() == 4);

    // What the writer takes reads back as it was written.
    MemoryDisk fresh(b, sectors);
    if (vq::WriteDriveLayout(fresh, g, *layout)) {
        const auto back = vq::ReadDriveLayout(fresh, g);
        Check(back.has_value() && SamePartitions(*layout, *back));
    }
    return 0;
}
