// The read/write test, the copy and the compare on volumes of the emulated machine: rates
// of drives of known speed, FAT32 time stamps, and the volume faults.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "disk/FolderCompare.h"
#include "disk/ReadWriteTest.h"
#include "disk/SoftwareCopy.h"
#include "platform/Operator.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"

namespace vq::sim {
namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

PartitionInfo MbrEntry(std::uint64_t start, std::uint64_t length, std::uint8_t type) {
    PartitionInfo p;
    p.style = PartitionStyle::Mbr;
    p.startingOffset = start;
    p.length = length;
    p.partitionNumber = 1;
    p.mbrType = type;
    p.recognizedPartition = true;
    p.rewritePartition = true;
    return p;
}

// One bridge with a 1 GiB disk of a given media rate on a one-port root hub, partitioned
// and formatted with the file system asked for.
struct SimVolumeRig {
    SimPlatform sim;
    AddedBridge added;
    std::shared_ptr<BridgeFunction> fn;
    RecordingOperator op;
    char letter = 0;
    std::filesystem::path root;
    PatternBlock pattern{};

    SimVolumeRig(const char* fileSystem, double mediaMBs = 120.0, double busMBs = 35.0,
                 double timeScale = 0.0)
        : sim([&] {
              SimOptions o;
              o.timeScale = timeScale;
              return o;
          }()) {
        sim.station().addRootHub("root", 2);
        sim.station().setSystemDrive('C');
        sim.station().addVolume({'C', DriveType::Fixed, true, 0, nullptr, 1ull << 30, "System"});
        BridgeConfig c;
        c.master->sectors = 2u << 20;
        c.master->megabytesPerSecond = mediaMBs;
        c.timing.busMegabytesPerSecond = busMBs;
        added = sim.addBridge(c);
        fn = std::make_shared<BridgeFunction>(added.bridge, false);
        sim.station().plug("root", 1, fn, PortSpeed::Super);
        sim.platform().op = &op;
        for (std::size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<std::uint8_t>(i ^ (i >> 8));

        Platform& p = sim.platform();
        auto disk = p.disks->openDisk(added.physicalDrivePath);
        EXPECT_TRUE(disk);
        const auto g = disk->geometry();
        EXPECT_TRUE(g && disk->createDisk(PartitionStyle::Mbr, 0x5742));
        DriveLayout l;
        l.style = PartitionStyle::Mbr;
        l.mbrSignature = 0x5742;
        const std::uint8_t type = std::string(fileSystem) == "FAT32" ? 0x0C : 0x07;
        l.partitions = {MbrEntry(kMiB, g->totalBytes - 2 * kMiB, type), {}, {}, {}};
        const std::uint32_t before = p.volumes->logicalDriveMask();
        EXPECT_TRUE(disk->setLayout(l) && disk->updateProperties());
        const std::uint32_t fresh = p.volumes->logicalDriveMask() & ~before;
        for (int i = 0; i < 26 && !letter; ++i)
            if (fresh & (1u << i))
                letter = static_cast<char>('A' + i);
        EXPECT_NE(letter, 0);
        EXPECT_EQ(p.volumes->systemFormat(letter, fileSystem, "SW", 0, true), 0);
        root = p.volumes->rootPath(letter);
    }
    Platform& p() { return sim.platform(); }
    // A folder of the PC with a few files; one written at an odd second.
    std::filesystem::path software() {
        const auto src = sim.ensureWorkFolder() / "pc" / "software";
        std::filesystem::create_directories(src / "tools");
        std::ofstream(src / "readme.txt") << "Read me first.\n";
        std::ofstream(src / "tools" / "setup.txt") << std::string(100000, 's');
        const auto odd = std::filesystem::file_time_type::clock::now() - std::chrono::hours(30);
        const auto secs = std::chrono::time_point_cast<std::chrono::seconds>(odd);
        const auto oddSecond =
            secs.time_since_epoch().count() % 2 ? secs : secs + std::chrono::seconds(1);
        std::filesystem::last_write_time(src / "readme.txt",
                                         oddSecond + std::chrono::milliseconds(300));
        return src;
    }
};

TEST(ReadWriteTestOnEmulatedDrives, RatesWithinTwoPercentOfTheDrive) {
    // Media and bus rates (MiB/s): the bus and the media move the data at the same time,
    // so the slower of the two is the rate the test measures.
    // At a nonzero time scale the host's own file work (far slower than the emulated
    // drive at 1/100 of real time) stays out of the measurement.
    struct Row {
        double media, bus, scale;
    } rows[] = {{20.0, 35.0, 0.0}, {120.0, 35.0, 0.0}, {400.0, 380.0, 0.0}, {20.0, 400.0, 0.01}};
    for (const auto& r : rows) {
        SimVolumeRig rig("NTFS", r.media, r.bus, r.scale);
        const double expected = std::min(r.media, r.bus);
        ReadWriteRates rates;
        ASSERT_TRUE(RunReadWriteTest(rig.p(), rig.root, 64, rig.pattern, rates)) << r.media;
        EXPECT_NEAR(rates.write, expected, expected * 0.02) << r.media;
        EXPECT_NEAR(rates.read, expected, expected * 0.02) << r.media;
        EXPECT_TRUE(rig.op.messages().empty());
        EXPECT_FALSE(std::filesystem::exists(rig.root / "targetTestFile.mas"));
    }
}

TEST(ReadWriteTestOnEmulatedDrives, WriteFaultAndFullVolumeFailTheTest) {
    struct Row {
        SimDiskFaults faults;
        std::string message;
    } rows[2];
    rows[0].faults.writeFailsAtByte = 40 * kMiB;
    rows[0].message = " Write target file fail: error 29";
    rows[1].faults.diskFullAtBytes = 48 * kMiB;
    rows[1].message = " Write target file fail: disk full";
    for (const auto& r : rows) {
        SimVolumeRig rig("NTFS");
        rig.sim.volumes().setDiskFaults(rig.added.deviceNumber, r.faults);
        ReadWriteRates rates;
        EXPECT_FALSE(RunReadWriteTest(rig.p(), rig.root, 64, rig.pattern, rates));
        ASSERT_FALSE(rig.op.messages().empty());
        EXPECT_EQ(rig.op.messages()[0].text, r.message);
        EXPECT_EQ(rates.write, 0.0f);
        EXPECT_FALSE(std::filesystem::exists(rig.root / "targetTestFile.mas"));
    }
}

TEST(ReadWriteTestOnEmulatedDrives, VolumeThatVanishesMidTestFails) {
    SimVolumeRig rig("NTFS");
    std::mutex lock;
    ReadWriteStepInput in;
    in.volumeRoot = rig.root;
    in.rwDataSize = 64;
    in.usbSpeed = 3;
    int flushes = 0;
    // The board is pulled once the warm-up is over: the measured run finds no volume.
    ReadWriteStepHooks hooks{lock, [&] { ++flushes; }, [] { return true; }};
    ReadWriteRates warm;
    ASSERT_TRUE(RunReadWriteTest(rig.p(), rig.root, 2, rig.pattern, warm));
    rig.sim.station().unplug("root", 1);
    const auto out = RunReadWriteStep(rig.p(), rig.pattern, in, hooks);
    EXPECT_EQ(out.result, -1);
    EXPECT_FALSE(out.testPassed);
    EXPECT_EQ(flushes, 10);
}

TEST(CopyAndCompareOnEmulatedVolumes, Fat32KeepsEvenSecondsAndTheCompareAllowsForThem) {
    SimVolumeRig rig("FAT32");
    const auto src = rig.software();
    SoftwareStepInput in{false, rig.root, MakeCopySource(*rig.p().files, src.string()), "SW"};
    ASSERT_EQ(RunCopyStep(rig.p(), in, {}), 1);
    const auto copied = rig.p().files->stat(rig.root / "SW" / "readme.txt");
    const auto original = rig.p().files->stat(src / "readme.txt");
    ASSERT_TRUE(copied && original);
    EXPECT_NE(copied->lastWriteTime, original->lastWriteTime);
    EXPECT_EQ(copied->lastWriteTime % foldercmp::kFatTimeWindow, 0u);

    FolderCounts counts = CountSource(rig.p(), in.copySource, true);
    EXPECT_EQ(counts.folders, 1);
    EXPECT_EQ(counts.files, 2);
    FolderCounts exact = counts;
    counts.timeWindow = TimeWindowOf(rig.p().volumes->volumeInformation(rig.letter)->fileSystem);
    EXPECT_EQ(RunCompareStep(rig.p(), in, counts), 1);
    EXPECT_EQ(RunCompareStep(rig.p(), in, exact), -1);
    ASSERT_EQ(rig.op.messages().size(), 1u);
    EXPECT_EQ(rig.op.messages()[0].text,
              (rig.root / "SW" / "readme.txt").string() + " Time does't match!!");
}

TEST(CopyAndCompareOnEmulatedVolumes, FullVolumeAndChangedByteFailTheSteps) {
    {
        SimVolumeRig rig("FAT32");
        SimDiskFaults f;
        f.diskFullAtBytes = 50000;
        rig.sim.volumes().setDiskFaults(rig.added.deviceNumber, f);
        const auto src = rig.software();
        SoftwareStepInput in{false, rig.root, MakeCopySource(*rig.p().files, src.string()), "SW"};
        std::string failure;
        EXPECT_EQ(RunCopyStep(rig.p(), in, {}, {}, &failure), -1);
        EXPECT_NE(failure.find("disk full"), std::string::npos) << failure;
    }
    {
        SimVolumeRig rig("FAT32");
        SimDiskFaults f;
        f.corruptCopiedFile = 2;
        rig.sim.volumes().setDiskFaults(rig.added.deviceNumber, f);
        const auto src = rig.software();
        SoftwareStepInput in{false, rig.root, MakeCopySource(*rig.p().files, src.string()), "SW"};
        FolderCounts counts = CountSource(rig.p(), in.copySource, true);
        counts.timeWindow = foldercmp::kFatTimeWindow;
        ASSERT_EQ(RunCopyStep(rig.p(), in, {}), 1);
        std::string difference;
        EXPECT_EQ(RunCompareStep(rig.p(), in, counts, &difference), -1);
        EXPECT_NE(difference.find(" File Content does't match!!"), std::string::npos) << difference;
        EXPECT_EQ(rig.op.messages().size(), 1u);
    }
}

}  // namespace
}  // namespace vq::sim
