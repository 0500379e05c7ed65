#include "tests/contract/DiskContract.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <vector>

#include "base/AlignedBuffer.h"
#include "base/Bytes.h"
#include "platform/DiskService.h"
#include "platform/FileService.h"
#include "platform/Hotplug.h"
#include "platform/PartitionTable.h"
#include "platform/VolumeService.h"

namespace vq::contract {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

char NewLetter(std::uint32_t before, std::uint32_t after) {
    const std::uint32_t added = after & ~before;
    for (int i = 0; i < 26; ++i) {
        if (added & (1u << i))
            return static_cast<char>('A' + i);
    }
    return 0;
}

PartitionInfo MbrEntry(std::uint64_t start, std::uint64_t length, std::uint8_t type = 0x07) {
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

void WriteHostFile(const std::filesystem::path& p, std::size_t size, std::uint8_t seed) {
    std::ofstream f(p, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i)
        f.put(static_cast<char>((i * 31 + seed) & 0xFF));
}

std::vector<char> ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

struct EventLog {
    std::mutex m;
    std::vector<DeviceEvent> events;
    std::vector<std::string> volumes(DeviceEvent::Kind kind) {
        std::lock_guard lock(m);
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.type == DeviceEvent::Type::Volume && e.kind == kind)
                out.push_back(e.name);
        }
        return out;
    }
};

}  // namespace

void DiskContract::SetUp() {
    rig = GetParam()();
    if (!rig)
        GTEST_SKIP() << "this machine offers no disk the tests may wipe";
    ASSERT_NE(p().disks, nullptr);
    ASSERT_NE(p().volumes, nullptr);
    ASSERT_NE(p().files, nullptr);
}

char DiskContract::partitionMbr() {
    auto disk = p().disks->openDisk(rig->diskPath());
    if (!disk)
        return 0;
    const auto g = disk->geometry();
    if (!g || !disk->createDisk(PartitionStyle::Mbr, 0x1234ABCD))
        return 0;
    DriveLayout l;
    l.style = PartitionStyle::Mbr;
    l.mbrSignature = 0x1234ABCD;
    l.partitions = {MbrEntry(kMiB, g->totalBytes - 2 * kMiB), {}, {}, {}};
    const std::uint32_t before = p().volumes->logicalDriveMask();
    if (!disk->setLayout(l) || !disk->updateProperties())
        return 0;
    return NewLetter(before, p().volumes->logicalDriveMask());
}

char DiskContract::formatted(const char* fileSystem, const char* label) {
    const char letter = partitionMbr();
    if (letter == 0 || p().volumes->systemFormat(letter, fileSystem, label, 0, true) != 0)
        return 0;
    return letter;
}

// ---- disks and layouts --------------------------------------------------------------------

TEST_P(DiskContract, GeometryCoversTheDiskInWholeCylinders) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto g = disk->geometry();
    ASSERT_TRUE(g);
    EXPECT_EQ(g->bytesPerSector, 512u);
    EXPECT_GT(g->totalBytes, 0u);
    const std::uint64_t cylinderBytes =
        std::uint64_t{g->tracksPerCylinder} * g->sectorsPerTrack * g->bytesPerSector;
    EXPECT_LE(g->cylinders * cylinderBytes, g->totalBytes);
    EXPECT_GT((g->cylinders + 1) * cylinderBytes, g->totalBytes);
}

TEST_P(DiskContract, SectorIoNeedsSectorAlignment) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    AlignedBuffer buf(8192);
    for (std::size_t i = 0; i < buf.size(); ++i)
        buf.data()[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_TRUE(disk->write(4096, buf.span()).ok);
    AlignedBuffer back(8192);
    const IoResult r = disk->read(4096, back.span());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 8192u);
    EXPECT_TRUE(std::equal(buf.data(), buf.data() + buf.size(), back.data()));
    struct Case {
        std::uint64_t offset;
        std::size_t from, length;
    };
    for (const Case& c : {Case{100, 0, 512}, Case{0, 0, 100}, Case{0, 1, 512}}) {
        const auto span = back.span().subspan(c.from, c.length);
        EXPECT_EQ(disk->read(c.offset, span).error, syserr::kInvalidParameter) << c.offset;
        EXPECT_EQ(disk->write(c.offset, span).error, syserr::kInvalidParameter) << c.offset;
    }
}

TEST_P(DiskContract, MbrLayoutReadsBackAsWrittenAndItsVolumeAppears) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto g = disk->geometry();
    ASSERT_TRUE(g);
    ASSERT_TRUE(disk->createDisk(PartitionStyle::Mbr, 0));
    auto l = disk->layout();
    ASSERT_TRUE(l);
    EXPECT_EQ(l->style, PartitionStyle::Mbr);
    EXPECT_EQ(l->mbrSignature, 0u);
    ASSERT_EQ(l->partitions.size(), 4u);
    for (const auto& e : l->partitions)
        EXPECT_EQ(e.mbrType, 0);

    // One partition from sector 63 to the last whole cylinder, as the station makes it.
    const std::uint32_t b = g->bytesPerSector;
    const std::uint64_t length =
        g->cylinders * g->tracksPerCylinder * g->sectorsPerTrack * b - 63 * b;
    l->partitions[0] = MbrEntry(63 * b, length);
    EventLog log;
    if (p().hotplug)
        p().hotplug->setListener([&](const DeviceEvent& e) {
            std::lock_guard lock(log.m);
            log.events.push_back(e);
        });
    const std::uint32_t before = p().volumes->logicalDriveMask();
    ASSERT_TRUE(disk->setLayout(*l));
    ASSERT_TRUE(disk->updateProperties());

    const auto back = disk->layout();
    ASSERT_TRUE(back);
    ASSERT_EQ(back->partitions.size(), 4u);
    const PartitionInfo& e = back->partitions[0];
    EXPECT_EQ(e.startingOffset, 63u * b);
    EXPECT_EQ(e.length, length);
    EXPECT_EQ(e.mbrType, 0x07);
    EXPECT_EQ(e.partitionNumber, 1u);
    EXPECT_EQ(e.hiddenSectors, 63u);
    EXPECT_TRUE(e.recognizedPartition);

    // The sector as the system writes it.
    AlignedBuffer mbr(b);
    ASSERT_TRUE(disk->read(0, mbr.span()).ok);
    const auto m = mbr.span();
    EXPECT_EQ(GetLE32(m, 440), 0u);
    EXPECT_EQ(m[446], 0x00);
    EXPECT_EQ(m[450], 0x07);
    EXPECT_EQ(GetLE32(m, 454), 63u);
    EXPECT_EQ(GetLE32(m, 458), length / b);
    EXPECT_EQ(m[462 + 4], 0x00);
    EXPECT_EQ(m[510], 0x55);
    EXPECT_EQ(m[511], 0xAA);

    const char letter = NewLetter(before, p().volumes->logicalDriveMask());
    ASSERT_NE(letter, 0);
    EXPECT_NE(letter, p().volumes->systemDriveLetter());
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    const auto info = vol->partitionInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->startingOffset, 63u * b);
    EXPECT_EQ(info->length, length);
    EXPECT_EQ(info->hiddenSectors, 63u);
    const auto dn = disk->deviceNumber();
    const auto vn = vol->deviceNumber();
    ASSERT_TRUE(dn && vn);
    EXPECT_EQ(vn->deviceNumber, dn->deviceNumber);
    EXPECT_EQ(vn->deviceType, dn->deviceType);
    if (p().hotplug) {
        EXPECT_EQ(log.volumes(DeviceEvent::Kind::Arrival),
                  std::vector<std::string>{std::string(1, letter)});
        p().hotplug->setListener(nullptr);
    }
}

TEST_P(DiskContract, GptLayoutReadsBackAsWrittenWithValidHeaders) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto g = disk->geometry();
    ASSERT_TRUE(g);
    const std::uint32_t b = g->bytesPerSector;
    const std::uint64_t sectors = g->totalBytes / b;
    ASSERT_TRUE(disk->createDisk(PartitionStyle::Gpt, 0));
    auto l = disk->layout();
    ASSERT_TRUE(l);
    EXPECT_EQ(l->style, PartitionStyle::Gpt);
    EXPECT_TRUE(l->partitions.empty());

    PartitionInfo data;
    data.style = PartitionStyle::Gpt;
    data.gptType = kGptBasicDataType;
    data.gptId = NewGuid();
    data.gptName = "Basic data partition";
    data.startingOffset = 17 * kMiB;
    data.length = (GptLastUsable(sectors, b) + 1) * b - data.startingOffset;
    PartitionInfo msr;
    msr.style = PartitionStyle::Gpt;
    msr.gptType = kGptReservedType;
    msr.startingOffset = kMiB;
    msr.length = 16 * kMiB;
    l->partitions = {msr, data};
    const std::uint32_t before = p().volumes->logicalDriveMask();
    ASSERT_TRUE(disk->setLayout(*l));
    ASSERT_TRUE(disk->updateProperties());

    const auto back = disk->layout();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->gptDiskId, l->gptDiskId);
    ASSERT_EQ(back->partitions.size(), 2u);
    EXPECT_EQ(back->partitions[0].gptType, kGptReservedType);
    const PartitionInfo& e = back->partitions[1];
    EXPECT_EQ(e.partitionNumber, 2u);
    EXPECT_EQ(e.gptType, kGptBasicDataType);
    EXPECT_EQ(e.gptId, data.gptId);
    EXPECT_EQ(e.gptName, "Basic data partition");
    EXPECT_EQ(e.startingOffset, data.startingOffset);
    EXPECT_EQ(e.length, data.length);

    // Protective MBR, and both headers with their CRCs.
    AlignedBuffer s(b);
    ASSERT_TRUE(disk->read(0, s.span()).ok);
    EXPECT_EQ(s.span()[450], 0xEE);
    EXPECT_EQ(GetLE32(s.span(), 454), 1u);
    for (const std::uint64_t lba : {std::uint64_t{1}, sectors - 1}) {
        ASSERT_TRUE(disk->read(lba * b, s.span()).ok);
        auto h = s.span();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data()), 8), "EFI PART");
        EXPECT_EQ(GetLE64(h, 24), lba);
        std::vector<std::uint8_t> copy(h.begin(), h.begin() + 92);
        PutLE32(copy, 16, 0);
        EXPECT_EQ(Crc32(copy), GetLE32(h, 16)) << "header at " << lba;
        EXPECT_EQ(GetLE32(h, 80), 128u);
    }
    // Only the data partition is a volume.
    const std::uint32_t after = p().volumes->logicalDriveMask();
    const char letter = NewLetter(before, after);
    ASSERT_NE(letter, 0);
    EXPECT_EQ(std::popcount(after & ~before), 1);
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->partitionInfo()->startingOffset, data.startingOffset);
    EXPECT_FALSE(vol->setMbrType(0x0C));  // not an MBR partition

    // A damaged primary header: the backup still gives the layout.
    AlignedBuffer zero(b);
    ASSERT_TRUE(disk->write(b, zero.span()).ok);
    const auto again = disk->layout();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->style, PartitionStyle::Gpt);
    EXPECT_EQ(again->partitions.size(), 2u);
}

TEST_P(DiskContract, LayoutsThatDoNotFitAreRefused) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto g = disk->geometry();
    ASSERT_TRUE(g);
    ASSERT_TRUE(disk->createDisk(PartitionStyle::Mbr, 0));
    struct Case {
        const char* what;
        std::vector<PartitionInfo> parts;
    };
    const std::vector<Case> cases = {
        {"overlap", {MbrEntry(kMiB, 8 * kMiB), MbrEntry(4 * kMiB, 8 * kMiB), {}, {}}},
        {"beyond the disk", {MbrEntry(kMiB, g->totalBytes), {}, {}, {}}},
        {"not on a sector", {MbrEntry(kMiB + 100, 8 * kMiB), {}, {}, {}}},
        {"five entries", {MbrEntry(kMiB, kMiB), {}, {}, {}, {}}},
    };
    for (const auto& c : cases) {
        DriveLayout l;
        l.style = PartitionStyle::Mbr;
        l.partitions = c.parts;
        EXPECT_FALSE(disk->setLayout(l)) << c.what;
    }
}

TEST_P(DiskContract, VolumesVanishWhenTheTableIsCleared) {
    const char letter = partitionMbr();
    ASSERT_NE(letter, 0);
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    ASSERT_TRUE(disk->createDisk(PartitionStyle::Mbr, 0));
    ASSERT_TRUE(disk->updateProperties());
    EXPECT_EQ(p().volumes->logicalDriveMask() & (1u << (letter - 'A')), 0u);
    EXPECT_FALSE(p().volumes->openVolume(letter));
}

TEST_P(DiskContract, PartitionToolMakesTheGptDataPartitionTwoAndAssignsIt) {
    if (!p().disks->partitionToolAvailable())
        GTEST_SKIP() << "no partitioning tool";
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto n = disk->deviceNumber();
    ASSERT_TRUE(n);
    const std::string select = "select disk " + std::to_string(n->deviceNumber);
    const std::uint32_t before = p().volumes->logicalDriveMask();
    EXPECT_EQ(p().disks->runPartitionTool({"rescan"}), 0);
    EXPECT_EQ(p().disks->runPartitionTool({select, "clean"}), 0);
    EXPECT_EQ(p().disks->runPartitionTool({select, "Convert GPT", "create partition Primary"}), 0);
    EXPECT_EQ(p().disks->runPartitionTool({select, "select partition 2", "assign"}), 0);
    const auto l = disk->layout();
    ASSERT_TRUE(l);
    EXPECT_EQ(l->style, PartitionStyle::Gpt);
    ASSERT_EQ(l->partitions.size(), 2u);
    EXPECT_EQ(l->partitions[1].gptType, kGptBasicDataType);
    const char letter = NewLetter(before, p().volumes->logicalDriveMask());
    ASSERT_NE(letter, 0);
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->partitionInfo()->startingOffset, l->partitions[1].startingOffset);

    // Anything else ends the script with a nonzero code.
    EXPECT_NE(p().disks->runPartitionTool({select, "delete partition"}), 0);
    EXPECT_NE(p().disks->runPartitionTool({"select disk 99"}), 0);
    EXPECT_NE(p().disks->runPartitionTool({"select partition 1"}), 0);
}

// The station's two layouts one after the other on the same disk: one MBR partition from
// sector 63 to the last whole cylinder, then GPT with the reserved partition 1 and the data
// partition 2. Each shows one volume with a letter that holds files, and whose free space
// falls by what they take; the first layout's volume goes with it.
TEST_P(DiskContract, MbrThenGptLayoutsEachGiveAVolumeThatHoldsFiles) {
    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    const auto g = disk->geometry();
    const auto number = disk->deviceNumber();
    ASSERT_TRUE(g && number);
    const std::uint32_t b = g->bytesPerSector;
    // The letter of the volume that starts at `start` on this disk (0: none).
    const auto letterAt = [&](std::uint64_t start) {
        const std::uint32_t mask = p().volumes->logicalDriveMask();
        for (int i = 0; i < 26; ++i) {
            const char letter = static_cast<char>('A' + i);
            auto vol = (mask & (1u << i)) ? p().volumes->openVolume(letter) : nullptr;
            const auto n = vol ? vol->deviceNumber() : std::nullopt;
            const auto info = vol ? vol->partitionInfo() : std::nullopt;
            if (n && info && n->deviceNumber == number->deviceNumber &&
                info->startingOffset == start)
                return letter;
        }
        return '\0';
    };
    struct Layout {
        const char* name;
        PartitionStyle style;
        std::vector<PartitionInfo> partitions;
        std::uint64_t dataStart;
        const char* fileSystem;
    };
    PartitionInfo msr;
    msr.style = PartitionStyle::Gpt;
    msr.gptType = kGptReservedType;
    msr.startingOffset = kMiB;
    msr.length = 16 * kMiB;
    PartitionInfo data = msr;
    data.gptType = kGptBasicDataType;
    data.startingOffset = 17 * kMiB;
    data.length = (GptLastUsable(g->totalBytes / b, b) + 1) * b - data.startingOffset;
    const std::uint64_t cylinders = g->cylinders * g->tracksPerCylinder * g->sectorsPerTrack * b;
    const Layout layouts[] = {
        {"MBR",
         PartitionStyle::Mbr,
         {MbrEntry(63 * b, cylinders - 63 * b), {}, {}, {}},
         63 * b,
         "NTFS"},
        {"GPT", PartitionStyle::Gpt, {msr, data}, data.startingOffset, "exFAT"},
    };
    for (const Layout& l : layouts) {
        ASSERT_TRUE(disk->createDisk(l.style, 0x5742)) << l.name;
        DriveLayout table;
        table.style = l.style;
        table.mbrSignature = 0x5742;
        table.partitions = l.partitions;
        ASSERT_TRUE(disk->setLayout(table)) << l.name;
        ASSERT_TRUE(disk->updateProperties()) << l.name;
        const char letter = letterAt(l.dataStart);
        ASSERT_NE(letter, 0) << l.name;
        EXPECT_NE(letter, p().volumes->systemDriveLetter()) << l.name;
        ASSERT_EQ(p().volumes->systemFormat(letter, l.fileSystem, l.name, 0, true), 0) << l.name;
        EXPECT_EQ(p().volumes->volumeInformation(letter)->label, l.name);
        const auto root = p().volumes->rootPath(letter);
        if (l.style == PartitionStyle::Gpt) {
            EXPECT_EQ(letterAt(63 * b), 0) << "the MBR partition's volume is gone";
        }
        if (const std::string why = rig->cannotMount(l.fileSystem); !why.empty()) {
            std::cout << "[ SKIPPED  ] files on the " << l.name << " volume: " << why << "\n";
            continue;
        }

        const auto before = p().volumes->freeBytes(letter);
        ASSERT_TRUE(before) << l.name;
        AlignedBuffer written(4 * kMiB);
        for (std::size_t i = 0; i < written.size(); ++i)
            written.data()[i] = static_cast<std::uint8_t>(i * 13 + l.dataStart);
        const auto file = root / (std::string(l.name) + ".bin");
        std::uint32_t e = 0;
        auto f = p().files->open(file, FileMode::CreateNew, FileAccess::Write, true, &e);
        ASSERT_TRUE(f) << l.name << " error " << e;
        ASSERT_TRUE(f->write(written.span()).ok) << l.name;
        f.reset();
        AlignedBuffer back(4 * kMiB);
        f = p().files->open(file, FileMode::OpenExisting, FileAccess::Read, true, &e);
        ASSERT_TRUE(f) << l.name;
        EXPECT_EQ(f->read(back.span()).bytes, back.size()) << l.name;
        f.reset();
        EXPECT_TRUE(std::equal(written.data(), written.data() + written.size(), back.data()))
            << l.name;
        const auto after = p().volumes->freeBytes(letter);
        ASSERT_TRUE(after) << l.name;
        EXPECT_LE(*after + 4 * kMiB, *before) << l.name;
        EXPECT_GE(*after + 5 * kMiB, *before) << l.name;
    }
}

// ---- volumes ------------------------------------------------------------------------------

TEST_P(DiskContract, ALockedVolumeRefusesASecondLockAndFiles) {
    VQ_NEEDS_MOUNT("NTFS");
    const char letter = formatted("NTFS");
    ASSERT_NE(letter, 0);
    const auto root = p().volumes->rootPath(letter);
    EXPECT_TRUE(root.is_absolute());
    auto a = p().volumes->openVolume(letter);
    auto b = p().volumes->openVolume(letter);
    ASSERT_TRUE(a && b);
    AlignedBuffer sector(512);
    // Sectors of a mounted file system are written only under the lock.
    EXPECT_EQ(a->write(0, sector.span()).error, syserr::kAccessDenied);
    ASSERT_TRUE(a->lock());
    EXPECT_FALSE(b->lock());
    std::uint32_t e = 0;
    EXPECT_FALSE(
        p().files->open(root / "x.bin", FileMode::CreateAlways, FileAccess::Write, false, &e));
    EXPECT_EQ(e, syserr::kAccessDenied);
    ASSERT_TRUE(a->read(0, sector.span()).ok);
    EXPECT_TRUE(a->write(0, sector.span()).ok);  // the same boot sector, under the lock
    ASSERT_TRUE(a->unlock());
    // A file open keeps the volume from being locked.
    {
        auto f =
            p().files->open(root / "x.bin", FileMode::CreateAlways, FileAccess::Write, false, &e);
        ASSERT_TRUE(f) << e;
        EXPECT_FALSE(b->lock());
    }
    EXPECT_TRUE(b->lock());
    EXPECT_TRUE(b->unlock());
}

TEST_P(DiskContract, ADismountedVolumeIsMountedAfreshFromItsSectors) {
    VQ_NEEDS_MOUNT("NTFS");
    const char letter = formatted("NTFS", "FIRST");
    ASSERT_NE(letter, 0);
    const auto before = p().volumes->volumeInformation(letter);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->fileSystem, "NTFS");
    EXPECT_EQ(before->label, "FIRST");
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    ASSERT_TRUE(vol->lock());
    AlignedBuffer zero(512);
    ASSERT_TRUE(vol->write(0, zero.span()).ok);  // the boot sector wiped
    ASSERT_TRUE(vol->dismount());
    ASSERT_TRUE(vol->unlock());
    vol.reset();
    EXPECT_FALSE(p().volumes->volumeInformation(letter));  // nothing the system knows
    EXPECT_FALSE(p().volumes->freeBytes(letter));
}

TEST_P(DiskContract, LabelRulesOfEachFileSystem) {
    struct Case {
        const char* fs;
        const char* label;
        std::uint32_t error;
        const char* shown;
    };
    const std::string exfatLongest =
        std::string("Fifteen chars XY").substr(0, rig->exfatLabelLimit());
    const std::string exfatTooLong = exfatLongest + "Z";
    const Case cases[] = {
        {"FAT32", "DATA DISK", 0, "DATA DISK"},
        {"FAT32", "lower", 0, "LOWER"},
        {"FAT32", "ELEVEN CHAR", 0, "ELEVEN CHAR"},
        {"FAT32", "TWELVE CHARS", syserr::kLabelTooLong, nullptr},
        {"FAT32", "A*B", syserr::kInvalidName, nullptr},
        {"NTFS", "A label of thirty-two characters", 0, "A label of thirty-two characters"},
        {"NTFS", "A label of thirty-three character", syserr::kLabelTooLong, nullptr},
        {"exFAT", exfatTooLong.c_str(), syserr::kLabelTooLong, nullptr},
        {"exFAT", exfatLongest.c_str(), 0, exfatLongest.c_str()},
    };
    std::string formattedAs;
    char letter = 0;
    for (const Case& c : cases) {
        if (formattedAs != c.fs) {
            letter = letter ? letter : partitionMbr();
            ASSERT_NE(letter, 0);
            ASSERT_EQ(p().volumes->systemFormat(letter, c.fs, "", 0, true), 0) << c.fs;
            formattedAs = c.fs;
        }
        EXPECT_EQ(p().volumes->setLabel(letter, c.label), c.error) << c.fs << " " << c.label;
        if (c.shown) {
            const auto v = p().volumes->volumeInformation(letter);
            ASSERT_TRUE(v);
            EXPECT_EQ(v->label, c.shown);
            EXPECT_EQ(v->fileSystem, c.fs);
        }
    }
}

TEST_P(DiskContract, FormattingSetsFileSystemClusterSizeAndFreeSpace) {
    const char letter = partitionMbr();
    ASSERT_NE(letter, 0);
    ASSERT_EQ(p().volumes->systemFormat(letter, "NTFS", "", 4096, true), 0);
    const auto first = p().volumes->volumeInformation(letter);
    ASSERT_TRUE(first);
    ASSERT_EQ(p().volumes->systemFormat(letter, "exFAT", "X", 32768, true), 0);
    const auto v = p().volumes->volumeInformation(letter);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->fileSystem, "exFAT");
    EXPECT_EQ(v->maxComponentLength, 255u);
    EXPECT_NE(v->serialNumber, first->serialNumber);
    EXPECT_NE(p().volumes->systemFormat(letter, "HPFS", "", 0, true), 0);
    EXPECT_NE(p().volumes->systemFormat(letter, "NTFS", "", 3000, true), 0);
    VQ_NEEDS_MOUNT("exFAT");
    const auto total = p().volumes->totalBytes(letter);
    const auto free = p().volumes->freeBytes(letter);
    ASSERT_TRUE(total && free);
    EXPECT_EQ(*total % 32768, 0u);
    EXPECT_LT(*free, *total);
    EXPECT_GT(*free, *total / 2);
}

// ---- files --------------------------------------------------------------------------------

TEST_P(DiskContract, UnbufferedTransfersMustBeSectorAligned) {
    VQ_NEEDS_MOUNT("NTFS");
    const char letter = formatted("NTFS");
    ASSERT_NE(letter, 0);
    const auto path = p().volumes->rootPath(letter) / "targetTestFile.mas";
    std::uint32_t e = 0;
    auto f = p().files->open(path, FileMode::CreateNew, FileAccess::Write, true, &e);
    ASSERT_TRUE(f) << e;
    AlignedBuffer buf(8192);
    EXPECT_EQ(f->write(buf.span().subspan(1, 4096)).error, syserr::kInvalidParameter);
    EXPECT_EQ(f->write(buf.span().first(100)).error, syserr::kInvalidParameter);
    const IoResult w = f->write(buf.span());
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.bytes, 8192u);
    f.reset();
    EXPECT_FALSE(p().files->open(path, FileMode::CreateNew, FileAccess::Write, true, &e));
    EXPECT_EQ(e, syserr::kFileExists);
    auto r = p().files->open(path, FileMode::OpenExisting, FileAccess::Read, true, &e);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->read(buf.span().subspan(512, 1000)).error, syserr::kInvalidParameter);
    EXPECT_EQ(r->read(buf.span()).bytes, 8192u);
    EXPECT_EQ(r->read(buf.span()).bytes, 0u);  // the end
    EXPECT_EQ(*r->size(), 8192u);
    // Buffered transfers take any length.
    auto bf = p().files->open(path, FileMode::CreateAlways, FileAccess::Write, false, &e);
    ASSERT_TRUE(bf);
    EXPECT_TRUE(bf->write(buf.span().subspan(3, 100)).ok);
    bf.reset();
    r.reset();
    EXPECT_EQ(p().files->remove(path), 0u);
    EXPECT_EQ(p().files->remove(path), syserr::kFileNotFound);
    EXPECT_FALSE(p().files->open(path, FileMode::OpenExisting, FileAccess::Read, true, &e));
    EXPECT_EQ(e, syserr::kFileNotFound);
}

TEST_P(DiskContract, FreeSpaceFallsAsFilesAreWritten) {
    VQ_NEEDS_MOUNT("FAT32");
    const char letter = formatted("FAT32");
    ASSERT_NE(letter, 0);
    const auto root = p().volumes->rootPath(letter);
    const auto before = p().volumes->freeBytes(letter);
    ASSERT_TRUE(before);
    EXPECT_EQ(p().files->freeBytes(root), before);
    std::uint32_t e = 0;
    auto f = p().files->open(root / "big.bin", FileMode::CreateNew, FileAccess::Write, true, &e);
    ASSERT_TRUE(f);
    AlignedBuffer buf(4 * kMiB);
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(f->write(buf.span()).ok);
    f.reset();
    const auto after = p().volumes->freeBytes(letter);
    ASSERT_TRUE(after);
    EXPECT_LE(*after + 8 * kMiB, *before);
    EXPECT_GE(*after + 9 * kMiB, *before);
    EXPECT_EQ(p().files->remove(root / "big.bin"), 0u);
    EXPECT_EQ(p().volumes->freeBytes(letter), before);
}

TEST_P(DiskContract, ListingShowsAttributesSizesAndTimeStamps) {
    VQ_NEEDS_MOUNT("NTFS");
    const char letter = formatted("NTFS");
    ASSERT_NE(letter, 0);
    const auto root = p().volumes->rootPath(letter);
    ASSERT_EQ(p().files->createFolder(root / "Sub"), 0u);
    EXPECT_EQ(p().files->createFolder(root / "Sub"), syserr::kAlreadyExists);
    EXPECT_EQ(p().files->createFolder(root / "no" / "such"), syserr::kPathNotFound);
    std::uint32_t e = 0;
    auto f =
        p().files->open(root / "Sub" / "a.txt", FileMode::CreateNew, FileAccess::Write, false, &e);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->write(std::vector<std::uint8_t>(1234, 'a')).ok);
    f.reset();
    const auto entries = p().files->list(root / "Sub");
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    const FileEntry& a = (*entries)[0];
    EXPECT_EQ(a.name, "a.txt");
    EXPECT_EQ(a.size, 1234u);
    EXPECT_FALSE(a.isDirectory());
    EXPECT_GT(a.lastWriteTime, 116444736000000000ull);  // after 1970
    EXPECT_NE(a.creationTime, 0u);
    const auto top = p().files->list(root);
    ASSERT_TRUE(top);
    const auto sub =
        std::find_if(top->begin(), top->end(), [](auto& x) { return x.name == "Sub"; });
    ASSERT_NE(sub, top->end());
    EXPECT_TRUE(sub->isDirectory());
    const auto st = p().files->stat(root / "Sub" / "a.txt");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->lastWriteTime, a.lastWriteTime);
    EXPECT_FALSE(p().files->stat(root / "none"));
    EXPECT_FALSE(p().files->list(root / "none"));
}

TEST_P(DiskContract, CopiesKeepTimeStampsAtTheDestinationsResolution) {
    // A source file written at an odd second.
    const auto src = rig->hostFolder() / "src";
    std::filesystem::create_directories(src);
    WriteHostFile(src / "odd.bin", 1000, 1);
    const auto odd = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
    const auto oddSecond = std::chrono::floor<std::chrono::seconds>(odd) + std::chrono::seconds(1) +
                           std::chrono::milliseconds(300);
    std::filesystem::last_write_time(src / "odd.bin", oddSecond);
    const auto hostStamp = p().files->stat(src / "odd.bin");
    ASSERT_TRUE(hostStamp);

    const char letter = partitionMbr();
    ASSERT_NE(letter, 0);
    for (const char* fs : {"NTFS", "FAT32"}) {
        if (const std::string why = rig->cannotMount(fs); !why.empty()) {
            std::cout << "[ SKIPPED  ] copies to " << fs << ": " << why << "\n";
            continue;
        }
        ASSERT_EQ(p().volumes->systemFormat(letter, fs, "", 0, true), 0);
        const auto dst = p().volumes->rootPath(letter);
        ASSERT_EQ(p().files->copyTree(src, dst, nullptr), 0u) << fs;
        const auto copied = p().files->stat(dst / "odd.bin");
        ASSERT_TRUE(copied);
        const std::uint64_t t = copied->lastWriteTime;
        constexpr std::uint64_t kSecond = 10'000'000;
        if (std::string(fs) == "FAT32") {
            // Two-second resolution, rounded up (a host that cannot set the odd second
            // leaves an even one, which stays as it is).
            const std::uint64_t h = hostStamp->lastWriteTime;
            EXPECT_EQ(t, (h + 2 * kSecond - 1) / (2 * kSecond) * (2 * kSecond));
        } else {
            EXPECT_EQ(t / 10'000, hostStamp->lastWriteTime / 10'000);  // to the millisecond
        }
    }
}

TEST_P(DiskContract, FolderCopyReportsProgressAndCanBeStopped) {
    const auto src = rig->hostFolder() / "software";
    std::filesystem::create_directories(src / "bin" / "deep");
    WriteHostFile(src / "readme.txt", 300, 2);
    WriteHostFile(src / "bin" / "tool.exe", 20000, 3);
    WriteHostFile(src / "bin" / "deep" / "data.dat", 9 * kMiB, 4);
    VQ_NEEDS_MOUNT("exFAT");
    const char letter = formatted("exFAT");
    ASSERT_NE(letter, 0);
    const auto dst = p().volumes->rootPath(letter) / "SW";
    ASSERT_EQ(p().files->createFolder(dst), 0u);
    std::vector<CopyProgress> seen;
    ASSERT_EQ(p().files->copyTree(src, dst,
                                  [&](const CopyProgress& c) {
                                      seen.push_back(c);
                                      return true;
                                  }),
              0u);
    ASSERT_FALSE(seen.empty());
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].bytesDone, seen[i - 1].bytesDone);
        EXPECT_GE(seen[i].filesDone, seen[i - 1].filesDone);
    }
    EXPECT_EQ(seen.back().filesTotal, 3u);
    EXPECT_EQ(seen.back().filesDone, 3u);
    EXPECT_EQ(seen.back().bytesTotal, 300u + 20000u + 9 * kMiB);
    EXPECT_EQ(seen.back().bytesDone, seen.back().bytesTotal);
    EXPECT_EQ(ReadAll(dst / "bin" / "deep" / "data.dat"),
              ReadAll(src / "bin" / "deep" / "data.dat"));
    EXPECT_EQ(ReadAll(dst / "readme.txt"), ReadAll(src / "readme.txt"));

    // Stopped by the callback.
    const auto dst2 = p().volumes->rootPath(letter) / "SW2";
    ASSERT_EQ(p().files->createFolder(dst2), 0u);
    int calls = 0;
    EXPECT_EQ(p().files->copyTree(src, dst2, [&](const CopyProgress&) { return ++calls < 2; }),
              syserr::kCancelled);
    EXPECT_EQ(p().files->copyTree(src / "missing", dst2, nullptr), syserr::kPathNotFound);
}

}  // namespace vq::contract
