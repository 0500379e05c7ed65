// Partitioning against in-memory disks: the layouts written, the order of the requests,
// the partitioning tool's scripts, the drive letter lookup and the wait for it.
#include <gtest/gtest.h>

#include "disk/MasterBootRecord.h"
#include "disk/Partition.h"
#include "tests/disk/DiskDoubles.h"

namespace vq::disk {
namespace {

using test::DiskRig;
using test::FakeDiskState;

constexpr const char* kDisk = "\\\\?\\usbstor#disk1";

struct GeometryCase {
    const char* name;
    std::uint64_t cylinders;
    std::uint32_t tracks;
    std::uint32_t sectors;
    std::uint32_t bytesPerSector;
    std::uint64_t extraBytes;  // beyond the last whole cylinder
};

class MbrLayout : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(MbrLayout, OnePartitionFromSector63ToTheLastWholeCylinder) {
    const auto& c = GetParam();
    DiskRig rig;
    auto& d = rig.disks.disks[kDisk] =
        FakeDiskState::WithChs(c.cylinders, c.tracks, c.sectors, c.bytesPerSector, c.extraBytes);
    ASSERT_EQ(PartitionMbr(rig.ctx, kDisk), 1);

    const std::uint64_t b = c.bytesPerSector;
    const std::vector<std::string> calls{
        "write " + std::to_string(63 * b) + " " + std::to_string(b),
        "createDisk",
        "layout",
        "setLayout",
        "updateProperties",
        "updateProperties"};
    EXPECT_EQ(d.calls, calls);
    ASSERT_EQ(d.layoutsSet.size(), 1u);
    const DriveLayout& l = d.layoutsSet[0];
    EXPECT_EQ(l.style, PartitionStyle::Mbr);
    ASSERT_EQ(l.partitions.size(), 4u) << "the entries read back stay";
    const PartitionInfo& p = l.partitions[0];
    EXPECT_EQ(p.style, PartitionStyle::Mbr);
    EXPECT_EQ(p.startingOffset, 63 * b);
    EXPECT_EQ(p.length, c.cylinders * c.tracks * c.sectors * b - 63 * b);
    EXPECT_EQ(p.partitionNumber, 1u);
    EXPECT_EQ(p.mbrType, 0x07);
    EXPECT_FALSE(p.bootIndicator);
    EXPECT_TRUE(p.recognizedPartition);
    EXPECT_TRUE(p.rewritePartition);
    EXPECT_EQ(p.hiddenSectors, 0u);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(l.partitions[i].mbrType, 0) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, MbrLayout,
    ::testing::Values(GeometryCase{"small", 20, 16, 63, 512, 0},
                      GeometryCase{"odd", 1023, 255, 63, 512, 7 * 512 + 40 * 63 * 512},
                      GeometryCase{"large", 243201, 255, 63, 512, 5 * 1024 * 1024},
                      GeometryCase{"sectors4k", 30401, 255, 63, 4096, 4096}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(PartitionMbr, ZeroBlockWriteIsTriedFiveTimesAndDoesNotDecide) {
    for (int failing : {0, 2, 5, 9}) {
        DiskRig rig;
        auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(100, 16, 63);
        d.failingWrites = failing;
        EXPECT_EQ(PartitionMbr(rig.ctx, kDisk), 1) << failing;
        const auto writes = std::count_if(d.calls.begin(), d.calls.end(), [](const std::string& s) {
            return s.rfind("write", 0) == 0;
        });
        const int expected = std::min(failing + 1, 5);
        EXPECT_EQ(writes, expected) << failing;
        EXPECT_EQ(rig.clock.sleeps, std::vector<std::uint32_t>(expected - 1, 300)) << failing;
    }
}

TEST(PartitionMbr, FailsOnEveryRequestThatFails) {
    struct Case {
        const char* name;
        void (*spoil)(FakeDiskState&);
        bool layoutWritten;
    };
    const Case cases[] = {
        {"open", [](FakeDiskState& d) { d.failOpen = true; }, false},
        {"geometry", [](FakeDiskState& d) { d.failGeometry = true; }, false},
        {"create", [](FakeDiskState& d) { d.failCreate = true; }, false},
        {"layout", [](FakeDiskState& d) { d.failLayout = true; }, false},
        {"setLayout", [](FakeDiskState& d) { d.failSetLayout = true; }, false},
        {"update", [](FakeDiskState& d) { d.failUpdate = true; }, true},
        // Less than 64 sectors: no room after sector 63.
        {"tiny",
         [](FakeDiskState& d) {
             d.geometry = {1, 1, 63, 512, 63 * 512};
         },
         false},
    };
    for (const auto& c : cases) {
        DiskRig rig;
        auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(100, 16, 63);
        c.spoil(d);
        EXPECT_EQ(PartitionMbr(rig.ctx, kDisk), 0) << c.name;
        EXPECT_EQ(d.layoutsSet.size(), c.layoutWritten ? 1u : 0u) << c.name;
    }
}

TEST(PartitionMbrLegacy, WritesTheBuiltInRecordThenTheLayout) {
    for (std::uint32_t b : {512u, 4096u}) {
        DiskRig rig;
        auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(500, 255, 63, b);
        d.store.write(0, std::vector<std::uint8_t>(b, 0xEE));
        ASSERT_EQ(PartitionMbrLegacy(rig.ctx, kDisk), 1) << b;
        EXPECT_EQ(d.calls,
                  (std::vector<std::string>{"write 0 " + std::to_string(b), "layout", "setLayout"}))
            << "no property refresh on the oldest system";
        const auto sector0 = d.store.sector(0);
        const auto& mbr = BuiltInMasterBootRecord();
        EXPECT_TRUE(std::equal(mbr.begin(), mbr.end(), sector0.begin()));
        EXPECT_TRUE(
            std::all_of(sector0.begin() + 512, sector0.end(), [](auto x) { return x == 0; }));
        const DriveLayout& l = d.layoutsSet.at(0);
        EXPECT_EQ(l.mbrSignature, 0xB1732E49u) << "the signature stays as read back";
        EXPECT_EQ(l.partitions[0].startingOffset, 63u * b);
        EXPECT_EQ(l.partitions[0].length, 500ull * 255 * 63 * b - 63 * b);
        EXPECT_EQ(l.partitions[0].mbrType, 0x07);
    }
}

TEST(PartitionMbrLegacy, FailsWhenTheRecordIsNotWritten) {
    DiskRig rig;
    auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(100, 16, 63);
    d.failingWrites = 1;
    EXPECT_EQ(PartitionMbrLegacy(rig.ctx, kDisk), 0);
    EXPECT_TRUE(d.layoutsSet.empty());
}

// The tool as the system has it: the scripts change the disk.
void GptTool(DiskRig& rig, FakeDiskState& d) {
    rig.disks.tool = [&d](const std::vector<std::string>& script) {
        if (script.size() > 1 && script[1] == "Convert GPT") {
            DriveLayout l;
            l.style = PartitionStyle::Gpt;
            PartitionInfo reserved;
            reserved.style = PartitionStyle::Gpt;
            reserved.partitionNumber = 1;
            reserved.startingOffset = 17408;
            reserved.length = 128 << 20;
            PartitionInfo data = reserved;
            data.partitionNumber = 2;
            data.startingOffset = 135266304;
            data.length = 1ull << 30;
            l.partitions = {reserved, data};
            d.layout = l;
        }
        return 0;
    };
}

TEST(PartitionGpt, RunsTheThreeScriptsInsideThePortLock) {
    DiskRig rig;
    auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(1000, 255, 63);
    d.number = StorageDeviceNumber{7, 4, 0};
    GptTool(rig, d);
    bool alwaysHeld = true;
    rig.disks.onToolRun = [&] { alwaysHeld = alwaysHeld && rig.portLock.held; };
    ASSERT_EQ(PartitionGpt(rig.ctx, kDisk), 1);
    EXPECT_TRUE(alwaysHeld);
    ASSERT_EQ(rig.disks.scripts.size(), 3u);
    EXPECT_EQ(ScriptText(rig.disks.scripts[0]), "select disk 4\r\nclean\r\n");
    EXPECT_EQ(ScriptText(rig.disks.scripts[1]),
              "select disk 4\r\nConvert GPT\r\ncreate partition Primary\r\n");
    EXPECT_EQ(ScriptText(rig.disks.scripts[2]),
              "select disk 4\r\nselect partition 2\r\nassign\r\n");
    EXPECT_EQ(std::count(d.calls.begin(), d.calls.end(), "updateProperties"), 2);
    EXPECT_FALSE(rig.portLock.held);
}

TEST(PartitionGpt, FailsUnlessTheDiskWasReallyPartitioned) {
    struct Case {
        const char* name;
        bool toolThere;
        int failingScript;  // 0: none
        bool toolChangesDisk;
        std::size_t scriptsRun;
    };
    const Case cases[] = {
        {"tool missing", false, 0, false, 0},
        {"clean fails", true, 1, true, 1},
        {"convert fails", true, 2, true, 2},
        {"assign fails", true, 3, true, 3},
        {"exit codes 0 but no GPT", true, 0, false, 3},
    };
    for (const auto& c : cases) {
        DiskRig rig;
        auto& d = rig.disks.disks[kDisk] = FakeDiskState::WithChs(1000, 255, 63);
        rig.disks.toolAvailable = c.toolThere;
        if (c.toolChangesDisk)
            GptTool(rig, d);
        auto inner = rig.disks.tool;
        int run = 0;
        rig.disks.tool = [&, inner](const std::vector<std::string>& s) {
            ++run;
            if (inner)
                inner(s);
            return run == c.failingScript ? 1 : 0;
        };
        EXPECT_EQ(PartitionGpt(rig.ctx, kDisk), 0) << c.name;
        EXPECT_EQ(rig.disks.scripts.size(), c.toolThere ? c.scriptsRun : 0u) << c.name;
    }
}

TEST(RescanDisks, SecondRunOnlyAfterAFirstThatExitedWithZero) {
    struct Case {
        bool tool;
        int firstExit;
        std::size_t runs;
        int result;
    };
    for (const Case c :
         {Case{true, 0, 2, 1}, Case{true, 5, 1, 1}, Case{true, -1, 1, 0}, Case{false, 0, 0, 0}}) {
        DiskRig rig;
        rig.disks.toolAvailable = c.tool;
        int run = 0;
        rig.disks.tool = [&](const std::vector<std::string>&) {
            return run++ == 0 ? c.firstExit : 0;
        };
        EXPECT_EQ(RescanDisks(rig.ctx), c.result) << c.firstExit;
        ASSERT_EQ(rig.disks.scripts.size(), c.runs) << c.firstExit;
        for (const auto& s : rig.disks.scripts)
            EXPECT_EQ(ScriptText(s), "rescan\r\n");
        EXPECT_EQ(rig.portLock.entered, static_cast<int>(c.runs));
    }
}

TEST(FindDiskDriveLetter, FirstVolumeOfTheDiskLeavingOutTheSystemDrive) {
    DiskRig rig;
    rig.paths.numbers[kDisk] = {7, 3, 0};
    auto vol = [&](char letter, std::uint32_t type, std::uint32_t number) {
        rig.volumes.volumes[letter];
        rig.paths.numbers[rig.volumes.volumeDevicePath(letter)] = {type, number, 1};
    };
    vol('C', 7, 3);  // the system drive, on the same disk number as a trap
    vol('D', 2, 3);  // an optical drive with the same number
    vol('E', 7, 1);
    vol('G', 7, 3);
    vol('H', 7, 3);
    char letter = 0;
    ASSERT_EQ(FindDiskDriveLetter(rig.ctx, kDisk, letter), 1);
    EXPECT_EQ(letter, 'G');

    rig.paths.numbers[kDisk] = {7, 9, 0};
    letter = 0;
    EXPECT_EQ(FindDiskDriveLetter(rig.ctx, kDisk, letter), 0);
    EXPECT_EQ(letter, 0);
    rig.paths.numbers.erase(kDisk);
    EXPECT_EQ(FindDiskDriveLetter(rig.ctx, kDisk, letter), 0);
}

TEST(WaitForDiskDriveLetter, OneSecondBeforeEachOf101Attempts) {
    DiskRig rig;
    rig.paths.numbers[kDisk] = {7, 3, 0};
    char letter = 0;
    EXPECT_FALSE(WaitForDiskDriveLetter(rig.ctx, kDisk, 4, letter));
    EXPECT_EQ(rig.clock.sleeps, std::vector<std::uint32_t>(101, 1000));
    const auto lines = rig.diagnostics.lines();
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines.front(), "4 Port : GetDiskLetter Fail 1 times!!\n");
    EXPECT_EQ(lines.back(), "4 Port : GetDiskLetter Fail 101 times!!\n");

    // The volume shows up on the third look.
    DiskRig later;
    later.paths.numbers[kDisk] = {7, 3, 0};
    later.volumes.volumes['F'];
    later.clock.onSleep = [&later] {
        if (later.clock.sleeps.size() == 3)
            later.paths.numbers[later.volumes.volumeDevicePath('F')] = {7, 3, 1};
    };
    char found = 0;
    EXPECT_TRUE(WaitForDiskDriveLetter(later.ctx, kDisk, 2, found));
    EXPECT_EQ(found, 'F');
    EXPECT_EQ(later.clock.sleeps.size(), 3u);
    EXPECT_EQ(later.diagnostics.lines(),
              (std::vector<std::string>{"2 Port : GetDiskLetter Fail 1 times!!\n",
                                        "2 Port : GetDiskLetter Fail 2 times!!\n"}));
}

TEST(PartitionStep, ChoosesTheProcedureAndWaitsForTheLetter) {
    EXPECT_EQ(ChoosePartitionProcedure(true, true), PartitionProcedure::MbrLegacy);
    EXPECT_EQ(ChoosePartitionProcedure(true, false), PartitionProcedure::MbrLegacy);
    EXPECT_EQ(ChoosePartitionProcedure(false, true), PartitionProcedure::Gpt);
    EXPECT_EQ(ChoosePartitionProcedure(false, false), PartitionProcedure::Mbr);

    DiskRig rig;
    rig.disks.disks[kDisk] = FakeDiskState::WithChs(100, 16, 63);
    rig.paths.numbers[kDisk] = {7, 3, 0};
    rig.volumes.volumes['K'];
    rig.paths.numbers[rig.volumes.volumeDevicePath('K')] = {7, 3, 1};
    char letter = 0;
    EXPECT_TRUE(PartitionStep(rig.ctx, PartitionProcedure::Mbr, kDisk, 1, letter));
    EXPECT_EQ(letter, 'K');
    EXPECT_EQ(rig.clock.sleeps, std::vector<std::uint32_t>{1000});

    // A failed procedure does not wait.
    DiskRig failed;
    failed.disks.disks[kDisk] = FakeDiskState::WithChs(100, 16, 63);
    failed.disks.disks[kDisk].failCreate = true;
    EXPECT_FALSE(PartitionStep(failed.ctx, PartitionProcedure::Mbr, kDisk, 1, letter));
    EXPECT_TRUE(failed.clock.sleeps.empty());
}

TEST(DiskSizeMB, WholeCylindersInMiB) {
    DiskRig rig;
    rig.disks.disks[kDisk] = FakeDiskState::WithChs(1023, 255, 63, 512, 12345 * 512);
    EXPECT_EQ(DiskSizeMB(rig.ctx, kDisk), 1023ull * 255 * 63 * 512 >> 20);
    EXPECT_EQ(DiskSizeMB(rig.ctx, "\\\\?\\nothing"), 0u);
}

}  // namespace
}  // namespace vq::disk
