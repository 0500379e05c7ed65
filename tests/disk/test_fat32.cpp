// The FAT32 formatter against in-memory volumes: its plan for each size, the sectors it
// writes byte for byte, what it refuses, and the order of its requests.
#include <gtest/gtest.h>

#include <cstring>

#include "base/Format.h"
#include "disk/Fat32Format.h"
#include "tests/disk/DiskDoubles.h"

namespace vq::disk {
namespace {

using test::DiskRig;
using test::FakeDiskState;
using test::FakeVolumeState;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kGiB = 1024 * kMiB;

struct ClusterCase {
    std::uint64_t bytes;
    std::uint32_t bytesPerSector;
    std::uint32_t clusterBytes;
    std::uint32_t sectorsPerCluster;
};

TEST(Fat32SectorsPerCluster, BySizeByGivenSizeAnd4096ByteSectors) {
    const ClusterCase cases[] = {
        {512 * kMiB, 512, 0, 1},     {513 * kMiB, 512, 0, 8},    {1 * kGiB, 512, 0, 8},
        {8192 * kMiB, 512, 0, 8},    {8193 * kMiB, 512, 0, 16},  {16385 * kMiB, 512, 0, 32},
        {32768 * kMiB, 512, 0, 32},  {32769 * kMiB, 512, 0, 64}, {40 * kGiB, 512, 0, 64},
        {40 * kGiB, 512, 4096, 8},   {40 * kGiB, 512, 100, 1},   {1 * kGiB, 4096, 0, 128},
        {1 * kGiB, 4096, 4096, 128}, {2 * kGiB, 1024, 0, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Fat32SectorsPerCluster(c.bytes, c.bytesPerSector, c.clusterBytes),
                  c.sectorsPerCluster)
            << c.bytes / kMiB << " MiB, " << c.bytesPerSector << ", " << c.clusterBytes;
    }
}

TEST(PlanFat32, SizeLimitsAndClusterLimits) {
    struct Case {
        const char* name;
        std::uint64_t bytes;
        std::uint32_t bytesPerSector;
        std::uint32_t clusterBytes;
        Fat32Plan plan;
    };
    const Case cases[] = {
        {"65535 sectors", 65535ull * 512, 512, 0, Fat32Plan::TooSmall},
        {"65536 sectors", 65536ull * 512, 512, 0, Fat32Plan::Ok},
        {"2^32-2 sectors", 0xFFFFFFFEull * 512, 512, 0, Fat32Plan::Ok},
        {"2^32-1 sectors", 0xFFFFFFFFull * 512, 512, 0, Fat32Plan::TooBig},
        {"2000 GiB in 512-byte clusters", 2000 * kGiB, 512, 512, Fat32Plan::TooManyClusters},
        {"3000-byte clusters", 1 * kGiB, 512, 3000, Fat32Plan::BadClusterSize},
        {"128 KiB clusters", 1 * kGiB, 512, 131072, Fat32Plan::BadClusterSize},
        {"64 KiB clusters", 1 * kGiB, 512, 65536, Fat32Plan::Ok},
    };
    for (const auto& c : cases) {
        Fat32Layout l;
        EXPECT_EQ(PlanFat32(c.bytes, c.bytesPerSector, c.clusterBytes, l), c.plan) << c.name;
    }
}

TEST(PlanFat32, FatSizeByTheFormulaAndAlwaysRoomForEveryCluster) {
    // The formula's result where it has room: 1 GiB with 4 KiB clusters.
    Fat32Layout l;
    ASSERT_EQ(PlanFat32(1 * kGiB, 512, 0, l), Fat32Plan::Ok);
    const std::uint64_t total = 2097152;
    EXPECT_EQ(l.totalSectors, total);
    EXPECT_EQ(l.fatSize, (4 * (total - 32)) / (8 * 512 + 8) + 1);
    EXPECT_EQ(l.clusters, (total - 32 - 2 * l.fatSize) / 8);

    // Over a stretch of sizes the FAT always holds clusters + 2 entries; where the formula
    // falls short by an entry it gets one more sector.
    int grown = 0;
    for (std::uint64_t sectors = 65536; sectors < 65536 + 40000; sectors += 7) {
        for (std::uint32_t cluster : {512u, 4096u}) {
            Fat32Layout p;
            ASSERT_EQ(PlanFat32(sectors * 512, 512, cluster, p), Fat32Plan::Ok);
            const std::uint64_t spc = cluster / 512;
            const std::uint64_t formula = (4 * (sectors - 32)) / (spc * 512 + 8) + 1;
            ASSERT_GE(std::uint64_t{p.fatSize} * 512 / 4, std::uint64_t{p.clusters} + 2) << sectors;
            ASSERT_EQ(p.clusters, (sectors - 32 - 2 * p.fatSize) / spc) << sectors;
            ASSERT_TRUE(p.fatSize == formula || p.fatSize == formula + 1) << sectors;
            grown += p.fatSize != formula;
        }
    }
    EXPECT_GT(grown, 0);
}

TEST(Fat32VolumeId, FromTheLocalTime) {
    // low: (12*256 + 8) + (45*256 + 678/10) = 14667; high: (14*256 + 30) + 2026 = 5640.
    EXPECT_EQ(Fat32VolumeId({2026, 12, 8, 14, 30, 45, 678}), 0x1608394Bu);
    // Sums past 16 bits wrap: (23*256 + 59) + 65535 = 71482 -> 5946.
    EXPECT_EQ(Fat32VolumeId({65535, 1, 1, 23, 59, 0, 0}) >> 16, 5946u);
}

// A disk with one MBR partition at sector 63 and its volume F.
struct FormatRig : DiskRig {
    FakeDiskState disk;
    FakeVolumeState* volume = nullptr;
    FormatRig(std::uint64_t volumeSectors, std::uint32_t b = 512,
              PartitionStyle style = PartitionStyle::Mbr, std::uint64_t start = 63) {
        disk = FakeDiskState::WithChs((volumeSectors + start) / (255 * 63) + 1, 255, 63, b);
        volume = &volumeOn('F', disk, start, volumeSectors, style);
    }
    std::vector<std::uint8_t> sector(std::uint64_t volumeSector) const {
        return disk.store.sector(volume->partition.startingOffset / disk.store.bytesPerSector +
                                 volumeSector);
    }
};

std::string Text(const std::vector<std::uint8_t>& s, std::size_t offset, std::size_t n) {
    return std::string(s.begin() + offset, s.begin() + offset + n);
}

TEST(FormatFat32, OneGiBVolumeByteForByte) {
    FormatRig rig(2097152);
    // Old contents that must be gone: a FAT, a root directory, data in the first cluster.
    for (std::uint64_t s : {0ull, 32ull, 500ull, 4000ull, 4127ull})
        rig.disk.store.write((63 + s) * 512, std::vector<std::uint8_t>(512, 0xA5));
    ASSERT_EQ(FormatFat32(rig.ctx, 'F', 0, "STATION", true), 1);

    const std::uint32_t fat = (4 * (2097152 - 32)) / (8 * 512 + 8) + 1;
    ASSERT_EQ(fat, 2044u);
    const auto boot = rig.sector(0);
    const std::vector<std::uint8_t> head{0xEB, 0x5A, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), boot.begin()));
    EXPECT_EQ(GetLE16(boot, 11), 512);
    EXPECT_EQ(boot[13], 8);
    EXPECT_EQ(GetLE16(boot, 14), 32);
    EXPECT_EQ(boot[16], 2);
    EXPECT_EQ(GetLE16(boot, 17), 0);
    EXPECT_EQ(GetLE16(boot, 19), 0);
    EXPECT_EQ(boot[21], 0xF8);
    EXPECT_EQ(GetLE16(boot, 22), 0);
    EXPECT_EQ(GetLE16(boot, 24), 63);
    EXPECT_EQ(GetLE16(boot, 26), 255);
    EXPECT_EQ(GetLE32(boot, 28), 63u);
    EXPECT_EQ(GetLE32(boot, 32), 2097152u);
    EXPECT_EQ(GetLE32(boot, 36), fat);
    EXPECT_EQ(GetLE16(boot, 40), 0);
    EXPECT_EQ(GetLE16(boot, 42), 0);
    EXPECT_EQ(GetLE32(boot, 44), 2u);
    EXPECT_EQ(GetLE16(boot, 48), 1);
    EXPECT_EQ(GetLE16(boot, 50), 6);
    EXPECT_TRUE(std::all_of(boot.begin() + 52, boot.begin() + 64, [](auto b) { return b == 0; }));
    EXPECT_EQ(boot[64], 0x80);
    EXPECT_EQ(boot[65], 0x00);
    EXPECT_EQ(boot[66], 0x29);
    EXPECT_EQ(GetLE32(boot, 67), 0x1608394Bu);
    EXPECT_EQ(Text(boot, 71, 11), "STATION    ");
    EXPECT_EQ(Text(boot, 82, 8), "FAT32   ");
    EXPECT_TRUE(std::all_of(boot.begin() + 90, boot.begin() + 510, [](auto b) { return b == 0; }));
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(rig.sector(6), boot) << "backup boot sector";

    const auto info = rig.sector(1);
    EXPECT_EQ(GetLE32(info, 0), 0x41615252u);
    EXPECT_EQ(GetLE32(info, 484), 0x61417272u);
    const std::uint32_t clusters = (2097152 - 32 - 2 * fat) / 8;
    EXPECT_EQ(GetLE32(info, 488), clusters - 1);
    EXPECT_EQ(GetLE32(info, 492), 3u);
    EXPECT_EQ(GetLE32(info, 508), 0xAA550000u);
    EXPECT_EQ(rig.sector(7), info) << "backup FSInfo";

    for (std::uint32_t f : {32u, 32u + fat}) {
        const auto first = rig.sector(f);
        EXPECT_EQ(GetLE32(first, 0), 0x0FFFFFF8u) << f;
        EXPECT_EQ(GetLE32(first, 4), 0x0FFFFFFFu) << f;
        EXPECT_EQ(GetLE32(first, 8), 0x0FFFFFFFu) << f;
        EXPECT_TRUE(std::all_of(first.begin() + 12, first.end(), [](auto b) { return b == 0; }));
    }
    // Every other sector up to the end of the root cluster is zero; the old data is gone.
    const std::uint32_t root = 32 + 2 * fat;
    for (std::uint32_t s = 0; s < root + 8; ++s) {
        if (s == 0 || s == 1 || s == 6 || s == 7 || s == 32 || s == 32 + fat || s == root)
            continue;
        const auto bytes = rig.sector(s);
        ASSERT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](auto b) { return b == 0; })) << s;
    }
    // The label entry, written through pass-through at the root cluster's disk block.
    const auto label = rig.sector(root);
    EXPECT_EQ(Text(label, 0, 11), "STATION    ");
    EXPECT_EQ(label[11], 0x08);
    EXPECT_TRUE(std::all_of(label.begin() + 12, label.end(), [](auto b) { return b == 0; }));
    const auto& cdbs = rig.disk.cdbs;
    ASSERT_EQ(cdbs.size(), 3u);
    EXPECT_EQ(cdbs[0], (std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cdbs[1][0], 0x28);
    EXPECT_EQ(GetBE32(cdbs[1], 2), 63 + root) << "a disk block number";
    EXPECT_EQ(GetBE16(cdbs[1], 7), 1);
    EXPECT_EQ(cdbs[2][0], 0x2A);
    EXPECT_EQ(GetBE32(cdbs[2], 2), 63 + root);

    EXPECT_EQ(rig.volume->typesSet, std::vector<std::uint8_t>{0x0C});
    EXPECT_EQ(rig.volume->calls,
              (std::vector<std::string>{"lock", "setMbrType", "dismount", "unlock"}));
}

TEST(FormatFat32, ZeroesInLargeRequests) {
    FormatRig rig(2097152);
    ASSERT_EQ(FormatFat32(rig.ctx, 'F', 0, "", true), 1);
    const std::uint64_t cleared = 32 + 2 * 2044 + 8;
    // From the volume's first sector, 128 sectors a request, then the structures.
    std::vector<std::string> expected;
    for (std::uint64_t s = 0; s < cleared; s += 128) {
        expected.push_back("write " + std::to_string((63 + s) * 512) + " " +
                           std::to_string(std::min<std::uint64_t>(128, cleared - s) * 512));
    }
    for (std::uint64_t s : {0, 1, 6, 7, 32, 32 + 2044})
        expected.push_back("write " + std::to_string((63 + s) * 512) + " 512");
    EXPECT_EQ(rig.disk.calls, expected);
    EXPECT_NE(rig.console.find(Format("Clearing out %d sectors for Reserved sectors, fats and "
                                      "root cluster...\n",
                                      cleared)),
              std::string::npos);
}

TEST(FormatFat32, LabelFieldAndSectorSizeCases) {
    struct Case {
        const char* name;
        std::uint64_t sectors;
        std::uint32_t bytesPerSector;
        PartitionStyle style;
        const char* label;
        const char* bootLabel;
        std::uint32_t sectorsPerCluster;
        std::uint32_t hidden;
    };
    const Case cases[] = {
        {"empty label", 2097152, 512, PartitionStyle::Mbr, "", "NO NAME    ", 8, 2048},
        {"long label", 2097152, 512, PartitionStyle::Mbr, "PRODUCTION-LINE-7", "PRODUCTION-", 8,
         2048},
        {"4096-byte sectors", 262144, 4096, PartitionStyle::Mbr, "A", "A          ", 128, 2048},
        {"GPT", 83886080, 512, PartitionStyle::Gpt, "BIG", "BIG        ", 64, 264192},
    };
    for (const auto& c : cases) {
        FormatRig rig(c.sectors, c.bytesPerSector, c.style, c.hidden);
        rig.volume->partition.hiddenSectors = c.style == PartitionStyle::Mbr ? c.hidden : 0;
        ASSERT_EQ(FormatFat32(rig.ctx, 'F', 0, c.label, true), 1) << c.name;
        const auto boot = rig.sector(0);
        EXPECT_EQ(Text(boot, 71, 11), c.bootLabel) << c.name;
        EXPECT_EQ(boot[13], c.sectorsPerCluster) << c.name;
        EXPECT_EQ(GetLE32(boot, 28), c.hidden) << c.name;
        EXPECT_EQ(boot[510], 0x55) << c.name;
        EXPECT_EQ(boot[511], 0xAA) << c.name;
        EXPECT_EQ(boot[c.bytesPerSector - 2], 0x55) << c.name;
        EXPECT_EQ(boot[c.bytesPerSector - 1], 0xAA) << c.name;
        EXPECT_EQ(rig.volume->typesSet.size(), c.style == PartitionStyle::Mbr ? 1u : 0u) << c.name;
        // The label entry carries the label as given, padded; without a label there is
        // none (an entry of spaces is no valid label).
        Fat32Layout l;
        PlanFat32(c.sectors * c.bytesPerSector, c.bytesPerSector, 0, l);
        const auto entry = rig.sector(l.firstDataSector());
        EXPECT_EQ(Text(entry, 0, 11), *c.label ? LabelField(c.label) : std::string(11, '\0'))
            << c.name;
    }
}

TEST(FormatFat32, RefusedVolumesAreLeftUntouched) {
    struct Case {
        const char* name;
        std::uint64_t sectors;
        std::uint32_t clusterBytes;
        const char* message;
    };
    const Case cases[] = {
        {"too small", 65535, 0,
         "This drive is too small for FAT32 - there must be at least 64K clusters\n"},
        {"too big", 0xFFFFFFFFull, 0, "This drive is too big for FAT32 - max 2TB supported\n"},
        {"2^28 clusters", 2000 * kGiB / 512, 512,
         "This drive has more than 2^28 clusters, try to specify a larger cluster size\n"},
        {"cluster size", 2097152, 3000, "Cluster size 3000 bytes"},
    };
    for (const auto& c : cases) {
        FormatRig rig(c.sectors);
        EXPECT_EQ(FormatFat32(rig.ctx, 'F', c.clusterBytes, "X", true), 0) << c.name;
        EXPECT_NE(rig.console.find(c.message), std::string::npos) << c.name << rig.console;
        EXPECT_TRUE(rig.disk.calls.empty()) << c.name << ": nothing is written";
        EXPECT_TRUE(rig.disk.store.sectors.empty()) << c.name;
        EXPECT_FALSE(rig.volume->locked) << c.name;
        EXPECT_EQ(rig.volume->calls.back(), "unlock") << c.name;
    }
}

TEST(FormatFat32, FailuresOfTheVolumeRequests) {
    struct Case {
        const char* name;
        void (*spoil)(FakeVolumeState&, FakeDiskState&);
        const char* debug;
    };
    const Case cases[] = {
        {"lock", [](FakeVolumeState& v, FakeDiskState&) { v.failLock = true; },
         "Failed to lock device while formating FAT32"},
        {"set type", [](FakeVolumeState& v, FakeDiskState&) { v.failSetType = true; },
         "Failed to set parition info"},
        {"dismount", [](FakeVolumeState& v, FakeDiskState&) { v.failDismount = true; },
         "Failed to dismount device"},
        {"writes", [](FakeVolumeState&, FakeDiskState& d) { d.failWritesForever = true; },
         "zero_sectors Failed to write"},
    };
    for (const auto& c : cases) {
        FormatRig rig(2097152);
        c.spoil(*rig.volume, rig.disk);
        EXPECT_EQ(FormatFat32(rig.ctx, 'F', 0, "X", true), 0) << c.name;
        EXPECT_TRUE(rig.debugged(c.debug)) << c.name;
        EXPECT_FALSE(rig.volume->locked) << c.name;
    }
}

TEST(FormatFat32, OpenIsRetriedOneSecondApart) {
    FormatRig rig(2097152);
    rig.volume->failingOpens = 2;
    EXPECT_EQ(FormatFat32(rig.ctx, 'F', 0, "X", true), 1);
    EXPECT_EQ(rig.clock.sleeps, (std::vector<std::uint32_t>{1000, 1000}));
    EXPECT_TRUE(rig.debugged("Failed to open device - close drive F before formatting!!\n"));

    FormatRig never(2097152);
    never.volume->failingOpens = 100;
    never.ctx.hddAccessRetry = 3;
    EXPECT_EQ(FormatFat32(never.ctx, 'F', 0, "X", true), 0);
    EXPECT_EQ(never.clock.sleeps.size(), 3u);
}

TEST(WriteVolumeLabelEntry, BlockLength512WhenTheCapacityIsNotRead) {
    FormatRig rig(2097152, 512);
    rig.disk.readCapacityWorks = false;
    rig.disk.store.write(1000 * 512, std::vector<std::uint8_t>(512, 0x11));
    test::FakeVolume v(*rig.volume, rig.disks.m);
    EXPECT_EQ(WriteVolumeLabelEntry(rig.ctx, v, "ABCDEFGHIJKLMNOP", 1000), 1);
    const auto s = rig.disk.store.sector(1000);
    EXPECT_EQ(Text(s, 0, 11), "ABCDEFGHIJK");
    EXPECT_EQ(s[11], 0x08);
    EXPECT_EQ(s[12], 0x11) << "the rest of the block stays";
}

}  // namespace
}  // namespace vq::disk
