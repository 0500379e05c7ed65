// Whole disks of a Linux machine, opened by their block device node (or by an sg node or a
// storage interface path, which lead to the disk behind them), and disk image files.
//   geometry   BLKGETSIZE64, BLKSSZGET, HDIO_GETGEO where the driver answers it (255 heads
//              and 63 sectors per track where it does not)
//   read/write pread/pwrite on a descriptor opened with O_DIRECT
//   layouts    the tables read and written by hand (platform/PartitionTable.h)
//   re-read    BLKRRPART, then every partition the kernel holds compared with the table and
//              mended one by one with BLKPG (as partx does): the kernel refuses BLKRRPART
//              while a partition of the disk is in use, and a kernel built without a table
//              parser finds none at all
//   execute    SG_IO on the same descriptor; a device without SG_IO (a loop device) gets
//              READ(10) and WRITE(10) carried out as sector transfers
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DiskService.h"

namespace vq {

class Clock;
class LinuxVolumes;

// An open block device or image file: the I/O both disks and volumes share.
class BlockHandle {
  public:
    // Takes the descriptor of `node` (a block device, or an image file).
    BlockHandle(int fd, std::uint32_t bytesPerSector, std::string node, bool blockDevice);
    ~BlockHandle();
    BlockHandle(const BlockHandle&) = delete;
    BlockHandle& operator=(const BlockHandle&) = delete;

    int fd() const { return fd_; }
    const std::string& node() const { return node_; }
    bool blockDevice() const { return blockDevice_; }
    std::uint32_t bytesPerSector() const { return bytesPerSector_; }
    std::optional<std::uint64_t> totalBytes();

    std::optional<DiskGeometry> geometry();
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer);
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer);
    // SG_IO; on a device that refuses it, READ(10)/WRITE(10) through `wholeDisk`.
    ScsiResult execute(const ScsiRequest& request, BlockHandle* wholeDisk);
    std::optional<StorageDeviceNumber> deviceNumber();

  private:
    int fd_;
    std::uint32_t bytesPerSector_;
    std::string node_;
    bool blockDevice_;
};

// Opens a node for sector I/O (O_DIRECT); null with the system's error.
std::unique_ptr<BlockHandle> OpenBlockHandle(const std::string& node, bool write,
                                             std::uint32_t* error, bool exclusive = false);

// The partition table on an open disk; nullopt when it cannot be read.
std::optional<DriveLayout> ReadLayoutOf(BlockHandle& disk);

// READ(10) or WRITE(10) carried out as a transfer on `disk`; nullopt for any other command.
std::optional<ScsiResult> EmulateReadWrite10(BlockHandle& disk, const ScsiRequest& request);

// A partition as the kernel holds it or as a table describes it, in 512-byte units (the
// unit of sysfs and of BLKPG's byte offsets divided by 512).
struct KernelPartition {
    std::uint32_t number = 0;
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    bool operator==(const KernelPartition&) const = default;
};

// The partitions of a disk the kernel holds (`sysfsRoot`/class/block/DISK/*/partition).
std::vector<KernelPartition> KernelPartitionsOf(const std::filesystem::path& sysfsRoot,
                                                std::string_view diskName);

// The partitions a layout gives the kernel: MBR entries by their slot (empty and extended
// entries left out), GPT partitions by their number.
std::vector<KernelPartition> PartitionsOfLayout(const DriveLayout& layout);

// What to delete and add so that the kernel's partitions become the table's.
struct PartitionUpdate {
    std::vector<std::uint32_t> remove;
    std::vector<KernelPartition> add;
};
PartitionUpdate PlanPartitionUpdate(const std::vector<KernelPartition>& kernel,
                                    const std::vector<KernelPartition>& table);

// The block device node behind a path: the node itself for a block device, the disk of an
// sg node, what precedes the '#' of an interface path. Empty when there is none.
std::string BlockNodeOf(std::string_view path, const std::filesystem::path& sysfsRoot,
                        const std::filesystem::path& devRoot);

class LinuxDisks final : public DiskService {
  public:
    // `partitionsChanged` runs after a re-read changed what the kernel holds (the volumes
    // look again); `releasePartition` lets go of the program's mounts of a partition
    // ("sdb1") the kernel is to drop, false while it is busy.
    LinuxDisks(std::filesystem::path sysfsRoot, std::filesystem::path devRoot,
               std::function<void()> partitionsChanged,
               std::function<bool(const std::string&)> releasePartition = nullptr,
               Clock* clock = nullptr, LinuxVolumes* volumes = nullptr);

    std::unique_ptr<Disk> openDisk(std::string_view path, std::uint32_t* error = nullptr) override;
    std::unique_ptr<Disk> openImage(std::string_view path, std::uint32_t bytesPerSector = 512,
                                    std::uint32_t* error = nullptr) override;
    // The scripts are carried out here (platform/PartitionScript.h); formatting
    // and letters need the volumes.
    bool partitionToolAvailable() override { return volumes_ != nullptr; }
    int runPartitionTool(const std::vector<std::string>& script,
                         std::uint32_t* error = nullptr) override;

  private:
    std::filesystem::path sysfs_, dev_;
    std::function<void()> partitionsChanged_;
    std::function<bool(const std::string&)> releasePartition_;
    Clock* clock_;
    LinuxVolumes* volumes_;
};

}  // namespace vq
