// The reserved area of the chips of kinds 7 and 8 on their drive, read as the board's
// datasheet: the hidden sectors above the reported capacity, where the chip finds its
// firmware and configuration at boot, what it shows once it booted from there, and what
// makes it refuse an area.
#include <gtest/gtest.h>

#include <fstream>

#include "base/Bytes.h"
#include "base/Format.h"
#include "resources/ImageRule.h"
#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

using Buf = std::vector<std::uint8_t>;

// AtaReadDmaExt / AtaWriteDmaExt: count in bytes 5-6, the LBA spread over bytes 7-12.
std::string AtaBlock(bool write, std::uint64_t lba, std::uint16_t count) {
    const auto b = [&](int shift) { return static_cast<unsigned>((lba >> shift) & 0xFF); };
    return Format("85 %s 00 00 %02X %02X %02X %02X %02X %02X %02X %02X 60 %s 00",
                  write ? "17 03" : "15 0B", count >> 8, count & 0xFF, b(24), b(0), b(32), b(8),
                  b(40), b(16), write ? "35" : "25");
}

constexpr const char* kReset = "FF 04 26 56 51 00 00 00 00 00 00 00";
constexpr const char* kChipInfo = "FF 04 A0 14 00 00 00 00 00 00 00 00";
constexpr const char* kIdentify = "E0 F4 E7 00 00 00 00 00 00 00 00 00";

// A firmware area for R: the chip's image with the pointer record at 150.
Buf FirmwareArea(std::uint8_t kind, std::uint32_t r) {
    Buf area(65536, 0);
    if (kind == 8) {
        resources::ImageByteStream s("VQB418FW", 32768);
        for (std::size_t i = 0; i < 32768; ++i)
            area[i] = s.next();
    } else {
        for (std::size_t i = 0; i < 32768; ++i)
            area[i] = static_cast<std::uint8_t>(i * 7 + 1);
        const Buf boot{0x55, 0xAA, 0x56, 0x51, '4', '2', '9', 'E', 3, 7, 3, 1, 0, 0};
        std::copy(boot.begin(), boot.end(), area.begin() + 0x4000);
    }
    area[150] = 0x55;
    PutBE32(area, 151, r);
    area[155] = 0xAA;
    return area;
}

// A configuration sector with the block (VID 0x4321, product "OnDisk") at 128.
Buf ConfigSector(std::uint32_t sectorSize) {
    Buf sector(sectorSize, 0);
    for (std::size_t i = 0; i < 128; i += 2) {
        sector[i] = 0x56;
        sector[i + 1] = 0x51;
    }
    Buf block(128, 0);
    block[0] = 0x12;
    block[1] = 0x01;
    PutLE16(block, 8, 0x4321);
    const std::string text = "OnDisk";
    block[64] = static_cast<std::uint8_t>(2 + 2 * text.size());
    block[65] = 3;
    for (std::size_t i = 0; i < text.size(); ++i)
        block[66 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    block[124] |= 0x20;
    std::copy(block.begin(), block.end(), sector.begin() + 128);
    return sector;
}

struct Board {
    explicit Board(std::uint8_t kind, std::uint32_t sectorSize = 512, bool chipFlag = false,
                   std::uint64_t sectors = 0x10000)
        : rig([&] {
              BridgeConfig c = Kind(kind);
              c.hasEeprom = false;
              c.chipFlag = chipFlag ? 1 : 0;
              c.master->sectors = sectors;
              c.master->logicalSectorSize = sectorSize;
              return c;
          }()),
          s(sectorSize),
          n(sectors) {}

    bool write(std::uint64_t lba, const Buf& bytes) {
        return rig.out(AtaBlock(true, lba, static_cast<std::uint16_t>(bytes.size() / s)), bytes)
            .good();
    }
    Answer read(std::uint64_t lba, std::uint16_t count) {
        return rig.in(AtaBlock(false, lba, count), std::size_t{count} * s);
    }
    void reset() {
        ASSERT_TRUE(rig.in(kReset, 0).good());
        rig.sim.clock().sleepMs(2000);
    }

    Rig rig;
    std::uint32_t s;
    std::uint64_t n;
};

TEST(SimDiskArea, HiddenSectorsAboveTheReportedCapacity) {
    Board b(8);
    // READ CAPACITY and READ(10) stop at the reported 0x10000 sectors.
    EXPECT_EQ(GetBE32(b.rig.in("25 00 00 00 00 00 00 00 00 00", 8).data, 0), 0xFFFFu);
    EXPECT_EQ(b.rig.in("28 00 00 01 00 00 00 00 01 00", 512).result.scsiStatus, 2);
    // The raw pass-through reaches the 1024 hidden sectors above, and no further.
    const Buf marks(512, 0x5A);
    ASSERT_TRUE(b.write(0x10000 + 1023, marks));
    EXPECT_EQ(b.read(0x10000 + 1023, 1).data, marks);
    EXPECT_EQ(b.read(0x10000 + 1024, 1).result.scsiStatus, 2);
    // They are kept in the drive image beyond the reported capacity.
    std::ifstream image(b.rig.bridge->drive(0)->imagePath(), std::ios::binary);
    image.seekg(static_cast<std::streamoff>((0x10000 + 1023) * 512));
    Buf stored(512);
    image.read(reinterpret_cast<char*>(stored.data()), 512);
    EXPECT_EQ(stored, marks);
}

// The chip finds its area wherever the station's three ways put it: after a first
// install (R = c + N - 1), where a marked area with a blank record goes (R = N + 257), or
// where a pointer record at LBA N says. It then runs that firmware, takes the
// configuration of the sector at R, marks itself and keeps the record at N.
TEST(SimDiskArea, BootsTheFirmwareAndConfigurationItFinds) {
    struct Row {
        std::uint8_t kind;
        std::uint32_t sectorSize;
        bool chipFlag;
        std::uint64_t sectors;
        int place;  // 0: c + N - 1, 1: N + 257, 2: named by a record at N
        bool keepsRecord;
    } rows[] = {
        {7, 512, false, 0x10000, 0, true},  {8, 512, false, 0x10000, 0, true},
        {8, 4096, false, 0x10000, 0, true}, {7, 512, true, 0x10000, 0, false},
        {8, 512, false, 0x10000, 1, false}, {7, 1024, false, 0x12345, 1, true},
        {8, 512, false, 0x10000, 2, true},  {7, 512, false, 0x1'0000'0040ull, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Format("kind %u, %u-byte sectors, flag %d, N %llu, place %d", row.kind,
                            row.sectorSize, row.chipFlag, (unsigned long long)row.sectors,
                            row.place));
        Board b(row.kind, row.sectorSize, row.chipFlag, row.sectors);
        const std::uint64_t n = row.sectors;
        const std::uint64_t r = row.place == 0   ? (row.chipFlag ? 1 : 0) + n - 1
                                : row.place == 1 ? n + 257
                                                 : n - 3000;
        const std::uint64_t t = (((row.chipFlag ? r : r - 1) & ~0xFFull) - 256);
        ASSERT_TRUE(b.write(t, FirmwareArea(row.kind, static_cast<std::uint32_t>(r))));
        ASSERT_TRUE(b.write(r, ConfigSector(row.sectorSize)));
        if (row.place == 2) {
            Buf record(row.sectorSize, 0);
            record[150] = 0x55;
            PutBE32(record, 151, static_cast<std::uint32_t>(r));
            record[155] = 0xAA;
            ASSERT_TRUE(b.write(n, record));
        }
        EXPECT_FALSE(b.rig.bridge->identity().product == "OnDisk");
        b.reset();

        EXPECT_TRUE(b.rig.bridge->firmwareRunning());
        EXPECT_EQ(b.rig.bridge->identity().vid, 0x4321);
        EXPECT_EQ(b.rig.bridge->identity().product, "OnDisk");
        const Buf info = b.rig.in(kChipInfo, 20).data;
        const Buf sig = b.rig.bridge->registers(0xC000, 4);
        if (row.kind == 7) {
            EXPECT_EQ(info[16], 1);
            // The version of the disk firmware's boot block.
            const Buf id = b.rig.in(kIdentify, 16).data;
            EXPECT_EQ(Buf(id.begin() + 6, id.begin() + 8), (Buf{3, 7}));
        } else {
            EXPECT_EQ(sig, (Buf{0x55, 0xAA, 0xAA, 0x55}));
        }
        const Buf anchor = b.read(n, 1).data;
        const bool record = anchor[150] == 0x55 && anchor[155] == 0xAA &&
                            GetBE32(anchor, 151) == static_cast<std::uint32_t>(r);
        EXPECT_EQ(record, row.keepsRecord || row.place == 1);
    }
}

// A single wrong field leaves the area unused: kind 7 then runs its serial-flash
// firmware without the mark, kind 8 its ROM without the signature; the configuration is
// still taken when its own sector is right.
TEST(SimDiskArea, RefusesAnAreaWithAWrongField) {
    struct Row {
        std::uint8_t kind;
        std::size_t offset;  // byte of the area changed
        std::uint8_t flip;   // bits changed there
    } rows[] = {
        {7, 150, 0x01},                   // record marker
        {7, 154, 0xFF},                   // the record names another R
        {7, 155, 0x01},                   // record end
        {7, 0x4002, 0xFF},                // boot block
        {7, 0x4006, 0x01},                // another chip's boot block ("428")
        {8, 150, 0x01},    {8, 0, 0x80},  // the image's first byte
        {8, 32767, 0x01},                 // and its last
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Format("kind %u, byte %zu", row.kind, row.offset));
        Board b(row.kind);
        const std::uint64_t r = b.n - 1;
        Buf area = FirmwareArea(row.kind, static_cast<std::uint32_t>(r));
        area[row.offset] ^= row.flip;
        ASSERT_TRUE(b.write(((r - 1) & ~0xFFull) - 256, area));
        ASSERT_TRUE(b.write(r, ConfigSector(512)));
        b.reset();
        if (row.kind == 7)
            EXPECT_EQ(b.rig.in(kChipInfo, 20).data[16], 0);
        else
            EXPECT_EQ(b.rig.bridge->registers(0xC000, 1)[0], 0);
        EXPECT_EQ(b.rig.bridge->identity().product, "OnDisk");
        EXPECT_EQ(b.read(b.n, 1).data, Buf(512, 0));  // no record kept
    }
    // A configuration sector without the disk flag (bit 5 of byte 124) is not taken.
    Board b(8);
    Buf sector = ConfigSector(512);
    sector[128 + 124] &= static_cast<std::uint8_t>(~0x20);
    ASSERT_TRUE(b.write(b.n - 1, sector));
    b.reset();
    EXPECT_EQ(b.rig.bridge->identity(), BridgeConfig{}.defaultIdentity);
}

// The area lives in the drive image: a board made again on the same image boots it.
TEST(SimDiskArea, PersistsWithTheDriveImage) {
    const auto folder = std::filesystem::path(::testing::TempDir()) / "vq-sim-disk-area";
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    std::filesystem::create_directories(folder);
    BridgeConfig c = Kind(8);
    c.hasEeprom = false;
    c.master->sectors = 0x10000;
    c.master->image = folder / "drive.img";
    {
        Rig rig(c);
        const std::uint64_t r = 0x10000 + 257;
        EXPECT_TRUE(rig.out(AtaBlock(true, 0x10000, 128), FirmwareArea(8, r)).good());
        EXPECT_TRUE(rig.out(AtaBlock(true, r, 1), ConfigSector(512)).good());
    }
    Rig again(c);
    EXPECT_EQ(again.bridge->registers(0xC000, 2), (Buf{0x55, 0xAA}));
    EXPECT_EQ(again.bridge->identity().product, "OnDisk");
    std::filesystem::remove_all(folder, ec);
}

}  // namespace
}  // namespace vq::sim::test
