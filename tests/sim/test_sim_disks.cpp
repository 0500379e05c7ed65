// The disk, volume and file services of the emulated machine: the shared contract, and
// what only the emulator does (recognising a file system another formatter wrote, time
// charged to the drive, letters, faults).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

// The volume of one MBR partition over the rig's disk, formatted by the system formatter.
char FormattedVolume(SimRig& rig, const char* fileSystem, std::uint32_t clusterBytes) {
    Platform& p = rig.platform();
    auto disk = p.disks->openDisk(rig.diskPath());
    const auto g = disk ? disk->geometry() : std::nullopt;
    if (!g || !disk->createDisk(PartitionStyle::Mbr, 1))
        return 0;
    PartitionInfo e;
    e.startingOffset = kMiB;
    e.length = g->totalBytes - 2 * kMiB;
    e.partitionNumber = 1;
    e.mbrType = 0x0C;
    DriveLayout l;
    l.partitions = {e, {}, {}, {}};
    l.style = PartitionStyle::Mbr;
    if (!disk->setLayout(l) || !disk->updateProperties())
        return 0;
    const char letter = rig.sim.volumes().lettersOf(rig.added.deviceNumber)[kMiB];
    if (letter == 0 || p.volumes->systemFormat(letter, fileSystem, "", clusterBytes, true) != 0)
        return 0;
    return letter;
}

void WriteHostFile(const std::filesystem::path& path, std::size_t size) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

// A folder copy takes whole clusters of the volume for every file and (FAT32) folder, and
// gives them back when the files go; a copy over files already there takes only the
// difference.
TEST(SimVolumes, CopiedFilesTakeWholeClusters) {
    SimRig rig;
    const char letter = FormattedVolume(rig, "FAT32", 4096);
    ASSERT_NE(letter, 0);
    Platform& p = rig.platform();
    const auto src = rig.hostFolder() / "src";
    std::filesystem::create_directories(src / "sub");
    WriteHostFile(src / "a.txt", 300);
    WriteHostFile(src / "sub" / "b.bin", 40000);
    const auto root = p.volumes->rootPath(letter);
    const auto before = p.volumes->freeBytes(letter);
    ASSERT_TRUE(before);
    ASSERT_EQ(p.files->copyTree(src, root, nullptr), 0u);
    const std::uint64_t taken = 4096 /* a.txt */ + 4096 /* sub */ + 10 * 4096 /* b.bin */;
    EXPECT_EQ(p.volumes->freeBytes(letter), *before - taken);
    ASSERT_EQ(p.files->copyTree(src, root, nullptr), 0u);
    EXPECT_EQ(p.volumes->freeBytes(letter), *before - taken) << "copied over itself";
    EXPECT_EQ(p.files->remove(root / "sub" / "b.bin"), 0u);
    EXPECT_EQ(p.files->remove(root / "a.txt"), 0u);
    EXPECT_EQ(p.volumes->freeBytes(letter), *before - 4096);
}

// A volume the scenario gives without a partition can be locked and written like any
// other: the partition it stands for is written to the disk first, and what the station
// writes to its sectors is what the system then finds on it.
TEST(SimVolumes, AVolumeGivenWithoutAPartitionIsWrittenAsItsPartition) {
    SimRig rig;
    rig.sim.station().addVolume(
        {'E', DriveType::Fixed, false, rig.added.deviceNumber, rig.fn, 100 * kMiB, "DATA"});
    Platform& p = rig.platform();
    ASSERT_EQ(p.volumes->volumeInformation('E')->fileSystem, "NTFS");
    auto vol = p.volumes->openVolume('E');
    ASSERT_TRUE(vol);
    ASSERT_TRUE(vol->lock());
    const auto info = vol->partitionInfo();
    ASSERT_TRUE(info);
    // The disk now carries that partition, and the volume still shows NTFS "DATA".
    auto disk = p.disks->openDisk(rig.diskPath());
    const auto layout = disk->layout();
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->style, PartitionStyle::Mbr);
    EXPECT_EQ(layout->partitions[0].startingOffset, info->startingOffset);
    EXPECT_EQ(layout->partitions[0].length, info->length);
    // A boot sector the system does not know, written under the lock: after the dismount
    // the volume has no file system; the partition type can be set.
    AlignedBuffer sector(512);
    std::fill_n(sector.data(), 512, 0xA5);
    ASSERT_TRUE(vol->write(0, sector.span()).ok);
    EXPECT_TRUE(vol->setMbrType(0x0C));
    ASSERT_TRUE(vol->dismount());
    ASSERT_TRUE(vol->unlock());
    vol.reset();
    EXPECT_FALSE(p.volumes->volumeInformation('E'));
    EXPECT_EQ(disk->layout()->partitions[0].mbrType, 0x0C);
}

}  // namespace
}  // namespace vq::sim

namespace vq::contract {
INSTANTIATE_TEST_SUITE_P(Sim, DiskContract, ::testing::Values(&vq::sim::MakeSimRig));
}  // namespace vq::contract
