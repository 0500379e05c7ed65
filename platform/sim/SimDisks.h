// The emulated system's disk service: whole disks behind the bridges, opened by any path
// that reaches a bridge (physical drive, interface or volume path); their sectors move
// through the bridge's READ/WRITE(10) like the system's disk driver sends them, layouts
// are read and written in the drive image, and a rescan shows the volumes the tables
// hold. The partitioning tool is emulated by carrying out the commands the station
// writes, against the same disks.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/DiskService.h"

namespace vq::sim {

class SimBridge;
class SimScsi;
class SimVolumes;

class SimDisks final : public DiskService {
  public:
    SimDisks(SimScsi& scsi, SimVolumes& volumes);

    std::unique_ptr<Disk> openDisk(std::string_view path, std::uint32_t* error = nullptr) override;
    std::unique_ptr<Disk> openImage(std::string_view path, std::uint32_t bytesPerSector = 512,
                                    std::uint32_t* error = nullptr) override;
    bool partitionToolAvailable() override;
    // Exit codes: 0 done; 2 no such disk or partition, or none selected; 4 the operation
    // failed; 5 a command the tool does not take.
    int runPartitionTool(const std::vector<std::string>& script,
                         std::uint32_t* error = nullptr) override;

    // Takes the partitioning tool off the machine (or puts it back).
    void setPartitionToolAvailable(bool available);

  private:
    SimScsi& scsi_;
    SimVolumes& volumes_;
    std::atomic<bool> toolAvailable_{true};
};

}  // namespace vq::sim
