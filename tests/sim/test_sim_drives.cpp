// Drives behind the emulated bridge: IDENTIFY data, sector transfers through every
// command form, capacity, SMART, flush and the power-condition page.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "base/Bytes.h"
#include "platform/sim/SimDrive.h"
#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

std::uint16_t Word(const std::array<std::uint8_t, 512>& id, int w) {
    return GetLE16(id, static_cast<std::size_t>(w) * 2);
}
std::uint32_t Dword(const std::array<std::uint8_t, 512>& id, int w) {
    return GetLE32(id, static_cast<std::size_t>(w) * 2);
}

TEST(SimDriveIdentify, GeometryWordsFor28Bit48BitAnd4KiBDrives) {
    struct Row {
        std::uint64_t sectors;
        std::uint32_t sectorSize;
        std::uint32_t words60, words57;
        std::uint16_t word106;
        std::uint32_t words117;
    };
    const Row rows[] = {
        {1'000'000, 512, 1'000'000, 1'000'000, 0x4000, 0},
        {20'000'000, 512, 20'000'000, 16'514'064, 0x4000, 0},
        {0x0FFFFFFF, 512, 0x0FFFFFFF, 16'514'064, 0x4000, 0},
        {0x1'0000'0000ull, 512, 0x0FFFFFFF, 16'514'064, 0x4000, 0},
        {0x0'4000'0000ull, 4096, 0x0FFFFFFF, 16'514'064, 0x5000, 2048},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sectors);
        DriveConfig d;
        d.sectors = r.sectors;
        d.logicalSectorSize = r.sectorSize;
        const auto id = BuildIdentifyData(d);
        EXPECT_EQ(Dword(id, 60), r.words60);
        EXPECT_EQ(Dword(id, 57), r.words57);
        EXPECT_EQ(GetLE64(id, 200), r.sectors);
        EXPECT_EQ(Word(id, 106) & 0xF00F, r.word106);
        EXPECT_EQ(Dword(id, 117), r.words117);
        EXPECT_EQ(Word(id, 83) & 0x0400, 0x0400);
    }
}

TEST(SimDriveIdentify, StringsAreSwappedPairsAndPacketDevicesSayATAPI) {
    DriveConfig d;
    d.model = "ABCD";
    d.serial = "S1";
    d.firmwareRevision = "F9";
    auto id = BuildIdentifyData(d);
    EXPECT_EQ(std::string(id.begin() + 54, id.begin() + 60), "BADC  ");
    EXPECT_EQ(std::string(id.begin() + 20, id.begin() + 24), "1S  ");
    EXPECT_EQ(std::string(id.begin() + 46, id.begin() + 48), "9F");
    d.packet = true;
    id = BuildIdentifyData(d);
    EXPECT_EQ(Word(id, 0) >> 14, 2);
}

TEST(SimDriveCommands, IdentifyThroughTheVendorBlockAndThePassThrough) {
    BridgeConfig cfg = Kind(19);
    cfg.slave = DriveConfig{};
    cfg.slave->packet = true;
    cfg.slave->model = "Optical";
    Rig rig(cfg);
    auto master = rig.in("DF 10 00 02 00 00 00 00 00 00 A0 EC", 512);
    ASSERT_TRUE(master.good());
    EXPECT_EQ(master.data[54], 'Q');  // "VQ Emulated Disk", swapped pairs
    auto slave = rig.in("DF 10 00 02 00 00 00 00 00 00 B0 A1", 512);
    ASSERT_TRUE(slave.good());
    EXPECT_EQ(slave.data[55], 'O');
    // The wrong IDENTIFY for the device is aborted.
    EXPECT_EQ(rig.in("DF 10 00 02 00 00 00 00 00 00 B0 EC", 512).result.scsiStatus, 2);
    EXPECT_EQ(rig.in("DF 10 00 02 00 00 00 00 00 00 A0 A1", 512).result.scsiStatus, 2);
    // The standard pass-through form on the chips that translate it.
    auto pt = rig.in("A1 08 0E 00 01 00 00 00 A0 EC 00 00", 512);
    ASSERT_TRUE(pt.good());
    EXPECT_EQ(pt.data, master.data);
    EXPECT_EQ(Rig(Kind(14)).in("A1 08 0E 00 01 00 00 00 A0 EC 00 00", 512).result.scsiStatus, 2);
    // No slave on a default board.
    EXPECT_EQ(Rig(Kind(14)).in("DF 10 00 02 00 00 00 00 00 00 B0 EC", 512).result.scsiStatus, 2);
}

TEST(SimDriveCommands, SmartStatusAndFlush) {
    auto ok = Rig(Kind(14)).in("DF 10 00 00 01 DA 00 00 4F C2 A0 B0", 2);
    ASSERT_TRUE(ok.good());
    EXPECT_EQ(ok.result.bytesTransferred, 1u);
    EXPECT_EQ(ok.data[0], 0xC2);
    BridgeConfig bad = Kind(14);
    bad.master->smartFailing = true;
    EXPECT_EQ(Rig(bad).in("DF 10 00 00 01 DA 00 00 4F C2 A0 B0", 2).data[0], 0x2C);
    EXPECT_TRUE(Rig(Kind(8)).none("A1 06 0E 00 00 00 00 00 A0 EA 00 00").good());
}

TEST(SimDriveCommands, CapacityForEveryForm) {
    BridgeConfig cfg = Kind(14);
    cfg.master->sectors = 0x1'2345'6789ull;
    cfg.master->logicalSectorSize = 4096;
    Rig rig(cfg);
    auto c10 = rig.in("25 00 00 00 00 00 00 00 00 00 00 00", 8);
    ASSERT_TRUE(c10.good());
    EXPECT_EQ(c10.data, Hex("FF FF FF FF 00 00 10 00"));
    auto c16 = rig.in("9E 10 00 00 00 00 00 00 00 00 00 00 00 10 00 00", 16);
    ASSERT_TRUE(c16.good());
    EXPECT_EQ(c16.data, Hex("00 00 00 01 23 45 67 88 00 00 10 00 00 00 00 00"));
    BridgeConfig none = Kind(14);
    none.master.reset();
    EXPECT_EQ(Rig(none).in("25 00 00 00 00 00 00 00 00 00 00 00", 8).result.scsiStatus, 2);
}

TEST(SimDriveCommands, SectorsPersistInTheImageThroughEveryForm) {
    const std::filesystem::path image =
        std::filesystem::temp_directory_path() / "vqsim-test-sectors-persist.img";
    std::filesystem::remove(image);
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13);
    {
        BridgeConfig cfg = Kind(14);
        cfg.master->sectors = 0x10'0000'0000ull;
        cfg.master->image = image;
        Rig rig(cfg);
        EXPECT_EQ(rig.bridge->drive(0)->imagePath(), image);
        // WRITE(10) two sectors at LBA 0x10, READ(10) them back.
        ASSERT_TRUE(rig.out("2A 00 00 00 00 10 00 00 02 00", data).good());
        auto r = rig.in("28 00 00 00 00 10 00 00 02 00", 1024);
        ASSERT_TRUE(r.good());
        EXPECT_EQ(r.data, data);
        // The ATA form with a 48-bit LBA 0x0000_0102_0304 (bytes 7-12 in their odd order).
        ASSERT_TRUE(rig.out("85 17 03 00 00 00 02 01 04 00 03 00 02 60 35 00", data).good());
        auto a = rig.in("85 15 0B 00 00 00 02 01 04 00 03 00 02 60 25 00", 1024);
        ASSERT_TRUE(a.good());
        EXPECT_EQ(a.data, data);
        // Unwritten sectors read as zeros; past the end is refused.
        EXPECT_EQ(rig.in("28 00 00 00 00 00 00 00 01 00", 512).data,
                  std::vector<std::uint8_t>(512, 0));
        EXPECT_EQ(rig.in("85 15 0B 00 00 00 01 00 00 FF 00 FF 00 60 25 00", 512).result.scsiStatus,
                  2);
        // No blocks, no data.
        auto zero = rig.in("28 00 00 00 00 10 00 00 00 00", 0);
        EXPECT_TRUE(zero.good());
        EXPECT_EQ(zero.result.bytesTransferred, 0u);
        // The data length must cover the sectors named.
        EXPECT_EQ(rig.in("28 00 00 00 00 10 00 00 02 00", 512).result.scsiStatus, 2);
    }
    // The image is an ordinary file: the sector at LBA 0x01020304 sits at 512 times it.
    std::ifstream f(image, std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekg(static_cast<std::streamoff>(0x01020304ull * 512));
    std::vector<char> got(1024);
    f.read(got.data(), 1024);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin(), [](char a, std::uint8_t b) {
        return static_cast<std::uint8_t>(a) == b;
    }));
    f.close();
    // A new board on the same image sees the sectors.
    {
        BridgeConfig cfg = Kind(14);
        cfg.master->sectors = 0x10'0000'0000ull;
        cfg.master->image = image;
        Rig rig(cfg);
        EXPECT_EQ(rig.in("28 00 00 00 00 10 00 00 02 00", 1024).data, data);
    }
    std::filesystem::remove(image);
}

TEST(SimDriveCommands, PowerConditionPageAndStandbyTimer) {
    Rig rig(Kind(21));
    auto sense = rig.in("5A 08 1A 00 00 00 00 00 30 00", 48);
    ASSERT_TRUE(sense.good());
    EXPECT_EQ(sense.data[8], 0x1A);
    EXPECT_EQ(sense.data[9], 0x26);
    EXPECT_EQ(sense.data[11], 0);
    std::vector<std::uint8_t> page(48, 0);
    page[8] = 0x1A;
    page[9] = 0x26;
    page[11] = 1;
    PutBE32(page, 16, 6000);
    ASSERT_TRUE(rig.out("55 01 00 00 00 00 00 00 30 00", page).good());
    EXPECT_EQ(rig.bridge->standbyTimer(), 6000u);
    sense = rig.in("5A 08 1A 00 00 00 00 00 30 00", 48);
    EXPECT_EQ(GetBE32(sense.data, 16), 6000u);
    EXPECT_EQ(sense.data[11], 1);
    // A list without the page is refused; the vendor timer command sets it too.
    EXPECT_EQ(rig.out("55 01 00 00 00 00 00 00 30 00", std::vector<std::uint8_t>(48, 0))
                  .result.scsiStatus,
              2);
    ASSERT_TRUE(rig.in("FF 04 A3 01 00 00 04 B0 00 00 00 00", 0).good());
    EXPECT_EQ(rig.bridge->standbyTimer(), 1200u);
    ASSERT_TRUE(rig.in("FF 04 A3 00 00 00 04 B0 00 00 00 00", 0).good());
    EXPECT_EQ(rig.bridge->standbyTimer(), 0u);
}

TEST(SimDriveCommands, VendorPageC3) {
    Rig rig(Kind(25));
    auto a = rig.in("12 01 C3 00 54 00 00 00 00 00 00 00", 84);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.result.bytesTransferred, 84u);
    EXPECT_EQ(a.data[1], 0xC3);
    EXPECT_EQ(std::string(a.data.begin() + 4, a.data.begin() + 7), "705");
    EXPECT_EQ(rig.in("12 01 99 00 54 00", 84).result.scsiStatus, 2);
}

}  // namespace
}  // namespace vq::sim::test
