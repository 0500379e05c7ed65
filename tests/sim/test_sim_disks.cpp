// The disk, volume and file services of the emulated machine: the shared contract, and
// what only the emulator does (recognising a file system another formatter wrote, time
// charged to the drive, letters, faults).
#include <gtest/gtest.h>

#include <fstream>

#include "base/AlignedBuffer.h"
#include "base/Bytes.h"
#include "platform/PartitionTable.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"
#include "tests/contract/DiskContract.h"

namespace vq::sim {
namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

// One bridge with a 512 MiB disk on a one-port root hub, and the system disk C:.
class SimRig final : public contract::DiskRig {
  public:
    explicit SimRig(std::uint64_t sectors = 1u << 20, std::uint32_t sectorSize = 512) {
        sim.station().addRootHub("root", 2);
        sim.station().setSystemDrive('C');
        sim.station().addVolume({'C', DriveType::Fixed, true, 0, nullptr, 1ull << 30, "System"});
        BridgeConfig c;
        c.master->sectors = sectors;
        c.master->logicalSectorSize = sectorSize;
        added = sim.addBridge(c);
        fn = std::make_shared<BridgeFunction>(added.bridge, false);
        sim.station().plug("root", 1, fn, PortSpeed::High);
    }
    Platform& platform() override { return sim.platform(); }
    std::string diskPath() override { return added.physicalDrivePath; }
    std::filesystem::path hostFolder() override {
        const auto f = sim.ensureWorkFolder() / "host";
        std::filesystem::create_directories(f);
        return f;
    }

    SimPlatform sim;
    AddedBridge added;
    std::shared_ptr<BridgeFunction> fn;
};

std::unique_ptr<contract::DiskRig> MakeSimRig() {
    return std::make_unique<SimRig>();
}

}  // namespace
}  // namespace vq::sim

namespace vq::contract {
INSTANTIATE_TEST_SUITE_P(Sim, DiskContract, ::testing::Values(&vq::sim::MakeSimRig));
}  // namespace vq::contract
