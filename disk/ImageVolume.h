// A volume made of a window of a disk the platform opened: a disk image file or a block
// device away from a station (what "format-image" formats). Offsets of its reads and
// writes start at the window; pass-through commands go to the disk unchanged (disk blocks).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/VolumeService.h"

namespace vq::disk {

class ImageVolume final : public Volume {
  public:
    // The window [offset, offset + length) of the disk; length 0: to the end of the disk.
    ImageVolume(std::unique_ptr<Disk> disk, std::uint64_t offset, std::uint64_t length);

    // Whether the window lies on the disk and is sector-aligned.
    bool valid() const { return valid_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t length() const { return length_; }

    std::optional<DiskGeometry> geometry() override;
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override;
    ScsiResult execute(const ScsiRequest& request) override { return disk_->execute(request); }
    std::optional<StorageDeviceNumber> deviceNumber() override { return disk_->deviceNumber(); }

    // Nothing else has an image open through the station: lock and dismount always succeed.
    bool lock() override { return true; }
    bool unlock() override { return true; }
    bool dismount() override { return true; }
    // The partition of the disk's table that starts at the window, else a window without a
    // table (style Raw).
    std::optional<PartitionInfo> partitionInfo() override;
    bool setMbrType(std::uint8_t type) override;

  private:
    bool inside(std::uint64_t offset, std::size_t size) const;

    std::unique_ptr<Disk> disk_;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
    bool valid_ = false;
};

}  // namespace vq::disk
