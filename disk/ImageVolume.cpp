#include "disk/ImageVolume.h"

namespace vq::disk {

ImageVolume::ImageVolume(std::unique_ptr<Disk> disk, std::uint64_t offset, std::uint64_t length)
    : disk_(std::move(disk)), offset_(offset), length_(length) {
    const auto g = disk_ ? disk_->geometry() : std::nullopt;
    if (!g || g->bytesPerSector == 0 || offset_ > g->totalBytes)
        return;
    if (length_ == 0)
        length_ = g->totalBytes - offset_;
    valid_ = length_ != 0 && offset_ % g->bytesPerSector == 0 && length_ % g->bytesPerSector == 0 &&
             length_ <= g->totalBytes - offset_;
}

std::optional<DiskGeometry> ImageVolume::geometry() {
    return disk_->geometry();
}

bool ImageVolume::inside(std::uint64_t offset, std::size_t size) const {
    return offset <= length_ && size <= length_ - offset;
}

IoResult ImageVolume::read(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (!inside(offset, buffer.size()))
        return {false, 0, syserr::kInvalidParameter};
    return disk_->read(offset_ + offset, buffer);
}

IoResult ImageVolume::write(std::uint64_t offset, std::span<const std::uint8_t> buffer) {
    if (!inside(offset, buffer.size()))
        return {false, 0, syserr::kInvalidParameter};
    return disk_->write(offset_ + offset, buffer);
}

std::optional<PartitionInfo> ImageVolume::partitionInfo() {
    if (const auto layout = disk_->layout(); layout && layout->style != PartitionStyle::Raw) {
        for (const auto& p : layout->partitions) {
            if (p.startingOffset == offset_ && p.length != 0 &&
                (layout->style == PartitionStyle::Gpt || p.mbrType != 0)) {
                PartitionInfo info = p;
                info.length = length_;
                // As the system reports an MBR partition: its hidden sectors are the
                // sectors before it.
                if (info.style == PartitionStyle::Mbr) {
                    const auto g = disk_->geometry();
                    if (g && g->bytesPerSector != 0)
                        info.hiddenSectors =
                            static_cast<std::uint32_t>(offset_ / g->bytesPerSector);
                }
                return info;
            }
        }
    }
    PartitionInfo info;
    info.style = PartitionStyle::Raw;
    info.startingOffset = offset_;
    info.length = length_;
    return info;
}

bool ImageVolume::setMbrType(std::uint8_t type) {
    auto layout = disk_->layout();
    if (!layout || layout->style != PartitionStyle::Mbr)
        return false;
    for (auto& p : layout->partitions) {
        if (p.startingOffset == offset_ && p.mbrType != 0) {
            p.mbrType = type;
            p.rewritePartition = true;
            return disk_->setLayout(*layout);
        }
    }
    return false;
}

}  // namespace vq::disk
