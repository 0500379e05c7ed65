// Partitioning and formatting on the emulated machine: the tables read back from the drive
// images, the volumes that appear, the file systems the machine recognises, and the faults
// it can show.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "base/AlignedBuffer.h"
#include "base/Bytes.h"
#include "disk/Fat32Format.h"
#include "disk/Format.h"
#include "disk/MasterBootRecord.h"
#include "disk/Partition.h"
#include "platform/Diagnostics.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"

namespace vq::disk {
namespace {

namespace fs = std::filesystem;

// One bridge with a disk on a one-port root hub, and the system disk C:.
struct SimDiskRig {
    explicit SimDiskRig(std::uint64_t sectors = 1u << 21, std::uint32_t sectorSize = 512) {
        sim.platform().diagnostics = &diagnostics;
        sim.station().addRootHub("root", 2);
        sim.station().setSystemDrive('C');
        sim.station().addVolume({'C', DriveType::Fixed, true, 0, nullptr, 1ull << 30, "System"});
        sim::BridgeConfig c;
        c.master->sectors = sectors;
        c.master->logicalSectorSize = sectorSize;
        c.master->image = sim.ensureWorkFolder() / "port1.img";
        image = c.master->image;
        added = sim.addBridge(c);
        fn = std::make_shared<sim::BridgeFunction>(added.bridge, false);
        sim.station().plug("root", 1, fn, sim::PortSpeed::High);
        ctx.console = [this](std::string_view t) { console += t; };
    }
    const std::string& disk() const { return added.physicalDrivePath; }
    std::vector<std::uint8_t> sector(std::uint64_t lba, std::uint32_t b = 512) {
        auto d = sim.platform().disks->openDisk(disk());
        AlignedBuffer buffer(b);
        if (!d || !d->read(lba * b, buffer.span()).ok)
            return {};
        return {buffer.data(), buffer.data() + b};
    }
    void faults(const sim::SimDiskFaults& f) { sim.volumes().setDiskFaults(added.deviceNumber, f); }

    sim::SimPlatform sim;
    CapturingDiagnostics diagnostics;
    sim::AddedBridge added;
    std::shared_ptr<sim::BridgeFunction> fn;
    fs::path image;
    bridge::Transport transport{sim.scsi(), sim.clock()};
    std::mutex portLock;
    DiskContext ctx{sim.platform(), transport, portLock, 5};
    std::string console;
};

TEST(SimPartition, MbrTablesReadBackFromTheDriveImage) {
    struct Case {
        const char* name;
        std::uint64_t sectors;
        std::uint32_t b;
    };
    for (const Case c : {Case{"small", 131072, 512}, Case{"odd", 2'000'003, 512},
                         Case{"large", 3'000'000'000ull, 512}, Case{"4k", 1'000'001, 4096}}) {
        SimDiskRig rig(c.sectors, c.b);
        ASSERT_EQ(PartitionMbr(rig.ctx, rig.disk()), 1) << c.name;
        const auto g = rig.sim.platform().disks->openDisk(rig.disk())->geometry();
        ASSERT_TRUE(g) << c.name;
        const std::uint64_t whole = g->cylinders * g->tracksPerCylinder * g->sectorsPerTrack;
        const auto mbr = rig.sector(0, c.b);
        ASSERT_EQ(mbr.size(), c.b) << c.name;
        EXPECT_EQ(mbr[446], 0x00) << c.name << ": not active";
        EXPECT_EQ(mbr[450], 0x07) << c.name;
        EXPECT_EQ(GetLE32(mbr, 454), 63u) << c.name;
        EXPECT_EQ(GetLE32(mbr, 458), whole - 63) << c.name << ": to the last whole cylinder";
        EXPECT_TRUE(std::all_of(mbr.begin() + 462, mbr.begin() + 510, [](auto x) {
            return x == 0;
        })) << c.name;
        EXPECT_EQ(mbr[510], 0x55) << c.name;
        EXPECT_EQ(mbr[511], 0xAA) << c.name;
        char letter = 0;
        EXPECT_TRUE(WaitForDiskDriveLetter(rig.ctx, rig.disk(), 1, letter)) << c.name;
        EXPECT_NE(letter, 'C') << c.name;
        EXPECT_NE(letter, 0) << c.name;
    }
}

TEST(SimPartition, LegacyMbrCarriesTheStationsBootCode) {
    SimDiskRig rig;
    ASSERT_EQ(PartitionMbrLegacy(rig.ctx, rig.disk()), 1);
    const auto mbr = rig.sector(0);
    const auto& code = BuiltInMasterBootRecord();
    EXPECT_TRUE(std::equal(code.begin(), code.begin() + 446, mbr.begin()));
    EXPECT_EQ(mbr[450], 0x07);
    EXPECT_EQ(GetLE32(mbr, 454), 63u);
    rig.sim.volumes().rescanAll();
    char letter = 0;
    EXPECT_TRUE(WaitForDiskDriveLetter(rig.ctx, rig.disk(), 1, letter));
}

TEST(SimPartition, GptWithTheDataPartitionTwo) {
    SimDiskRig rig;
    ASSERT_EQ(PartitionGpt(rig.ctx, rig.disk()), 1);
    const auto header = rig.sector(1);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 8), "EFI PART");
    const auto layout = rig.sim.platform().disks->openDisk(rig.disk())->layout();
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->style, PartitionStyle::Gpt);
    ASSERT_GE(layout->partitions.size(), 2u);
    EXPECT_EQ(layout->partitions[1].partitionNumber, 2u);
    char letter = 0;
    ASSERT_TRUE(WaitForDiskDriveLetter(rig.ctx, rig.disk(), 1, letter));
    const auto letters = rig.sim.volumes().lettersOf(rig.added.deviceNumber);
    ASSERT_EQ(letters.count(layout->partitions[1].startingOffset), 1u);
    EXPECT_EQ(letters.at(layout->partitions[1].startingOffset), letter)
        << "the letter is the data partition's";

    // The format fallback formats that partition.
    EXPECT_EQ(FormatWithDiskpart(rig.ctx, rig.disk(), "NTFS", "GPTDATA", 0), 1);
    const auto info = rig.sim.platform().volumes->volumeInformation(letter);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileSystem, "NTFS");
    EXPECT_EQ(info->label, "GPTDATA");
}

TEST(SimPartition, GptFailsWithoutThePartitioningTool) {
    SimDiskRig rig;
    rig.sim.disks().setPartitionToolAvailable(false);
    EXPECT_EQ(PartitionGpt(rig.ctx, rig.disk()), 0);
    EXPECT_EQ(RescanDisks(rig.ctx), 0);
}

// Partitions (MBR) and waits for the volume; the letter.
char Partitioned(SimDiskRig& rig) {
    char letter = 0;
    EXPECT_TRUE(PartitionStep(rig.ctx, PartitionProcedure::Mbr, rig.disk(), 1, letter));
    return letter;
}

TEST(SimFormat, EachFileSystemIsRecognisedWithItsLabel) {
    struct Case {
        int fs;
        const char* name;
    };
    for (const Case c : {Case{kFsFat32, "FAT32"}, Case{kFsNtfs, "NTFS"}, Case{kFsExFat, "exFAT"}}) {
        SimDiskRig rig;
        const char letter = Partitioned(rig);
        ASSERT_NE(letter, 0);
        ASSERT_TRUE(FormatStep(rig.ctx, letter, rig.disk(), c.fs, "PORT1", 0))
            << c.name << rig.console;
        const auto info = rig.sim.platform().volumes->volumeInformation(letter);
        ASSERT_TRUE(info) << c.name;
        EXPECT_EQ(info->fileSystem, c.name);
        EXPECT_EQ(info->label, "PORT1") << c.name;
        if (c.fs == kFsFat32) {
            EXPECT_EQ(rig.sector(0)[450], 0x0C) << "the partition's type is FAT32 (LBA)";
        }
    }
}

TEST(SimFormat, Fat32VolumeReadByMtools) {
    SimDiskRig rig;
    const char letter = Partitioned(rig);
    ASSERT_EQ(FormatVolume(rig.ctx, letter, true, "STATION", kFsFat32, 0), kFormatOk);
#ifndef _WIN32
    std::string mdir;
    for (const char* d : {"/usr/bin/mdir", "/bin/mdir"}) {
        if (fs::is_regular_file(d))
            mdir = d;
    }
    if (mdir.empty())
        GTEST_SKIP() << "mdir is not installed (mtools): the drive image is not checked";
    const fs::path log = rig.sim.ensureWorkFolder() / "mdir.log";
    const std::string command = "MTOOLS_SKIP_CHECK=1 " + mdir + " -i '" + rig.image.string() +
                                "@@32256' :: > '" + log.string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(log);
    const std::string listing{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(listing.find("Volume in drive : is STATION"), std::string::npos) << listing;
#endif
}

TEST(SimFormat, EmulatedFaults) {
    // The system formatter fails: -7, and the partitioning tool's format takes over.
    {
        SimDiskRig rig;
        const char letter = Partitioned(rig);
        sim::SimDiskFaults f;
        f.formatExitCode = 1;
        rig.faults(f);
        EXPECT_EQ(FormatVolume(rig.ctx, letter, true, "NT", kFsNtfs, 0), kFormatToolFailed);
        // The emulated partitioning tool formats through the same system formatter.
        EXPECT_FALSE(FormatStep(rig.ctx, letter, rig.disk(), kFsNtfs, "NT", 0));
        rig.faults({});
        EXPECT_EQ(FormatWithDiskpart(rig.ctx, rig.disk(), "NTFS", "NT", 0), 1);
        const auto info = rig.sim.platform().volumes->volumeInformation(letter);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->fileSystem, "NTFS");
        EXPECT_EQ(info->label, "NT");
    }
    // A label the system refuses with error 154 on FAT32.
    {
        SimDiskRig rig;
        const char letter = Partitioned(rig);
        sim::SimDiskFaults f;
        f.labelError = syserr::kLabelTooLong;
        rig.faults(f);
        EXPECT_EQ(FormatVolume(rig.ctx, letter, true, "PORT1", kFsFat32, 0), kFormatLabelTooLong);
    }
    // The volume cannot be locked: no FAT32 format on any attempt.
    {
        SimDiskRig rig;
        const char letter = Partitioned(rig);
        sim::SimDiskFaults f;
        f.lockRefused = true;
        rig.faults(f);
        EXPECT_EQ(FormatVolume(rig.ctx, letter, true, "PORT1", kFsFat32, 0), kFormatNotMade);
        const auto lines = rig.diagnostics.lines();
        EXPECT_EQ(
            std::count(lines.begin(), lines.end(), "Failed to lock device while formating FAT32"),
            5);
    }
    // The volume never appears: the step fails after 101 looks.
    {
        SimDiskRig rig;
        sim::SimDiskFaults f;
        f.volumesNeverAppear = true;
        rig.faults(f);
        char letter = 0;
        EXPECT_FALSE(PartitionStep(rig.ctx, PartitionProcedure::Mbr, rig.disk(), 3, letter));
        const auto lines = rig.diagnostics.lines();
        EXPECT_EQ(
            std::count(lines.begin(), lines.end(), "3 Port : GetDiskLetter Fail 101 times!!\n"), 1);
    }
}

TEST(SimFormat, TooSmallVolumeIsLeftAsItWas) {
    SimDiskRig rig(65536 + 100);  // four whole cylinders: a partition of 64,197 sectors
    const char letter = Partitioned(rig);
    ASSERT_NE(letter, 0);
    const auto before = rig.sector(63);
    EXPECT_EQ(FormatVolume(rig.ctx, letter, true, "X", kFsFat32, 0), kFormatNotMade);
    EXPECT_EQ(rig.sector(63), before);
}

}  // namespace
}  // namespace vq::disk
