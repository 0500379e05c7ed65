// Sector access of the emulated system to the disk behind a bridge: through the bridge's
// command blocks (READ/WRITE(10), READ CAPACITY(16)), as the system's disk driver sends
// them, or straight at the drive image where the system only looks (partition tables,
// boot sectors). Shared by the disk, volume and file services of the emulator.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/DiskService.h"
#include "platform/sim/SimBridge.h"

namespace vq::sim {

// The ATA drive behind the bridge that its disk is (the master, else the slave); null
// when there is none or it is an optical drive.
SimDrive* DiskDrive(SimBridge& bridge);

// The drive image as a block device, without bus time.
class DriveBlocks final : public BlockDevice {
  public:
    explicit DriveBlocks(SimDrive& drive) : d_(drive) {}
    std::optional<DiskGeometry> geometry() override;
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override;
    ScsiResult execute(const ScsiRequest&) override { return {}; }
    std::optional<StorageDeviceNumber> deviceNumber() override { return std::nullopt; }

  private:
    SimDrive& d_;
};

// Moves whole sectors through the bridge's READ(10)/WRITE(10) on a handle of the bus
// generation given. The bytes must be a multiple of the sector size.
IoResult BridgeTransfer(SimBridge& bridge, std::uint64_t generation, std::uint32_t sectorSize,
                        std::uint64_t lba, std::uint8_t* data, std::size_t bytes, bool write);

// The disk's geometry from READ CAPACITY(16); nullopt with the error when it fails.
std::optional<DiskGeometry> BridgeGeometry(SimBridge& bridge, std::uint64_t generation,
                                           std::uint32_t* error = nullptr);

// Emulated nanoseconds the bridge and its drive take to move `bytes` of file data: the
// time a READ(10)/WRITE(10) of that length costs on the bridge (the slower of its bus and
// the drive's media).
std::int64_t TransferNs(SimBridge& bridge, std::uint64_t bytes);

}  // namespace vq::sim
