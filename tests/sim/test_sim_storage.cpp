// Configuration storage of the emulated bridge: EEPROM, serial flash (status, busy,
// erase, program, identification, protection, word program), the memory space with its
// erase modes, the parallel flash, and reset into the identity the storage holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

constexpr const char* kStatus = "FF 04 12 00 00 00 00 00 00 00 00 00";

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return v;
}

bool AllFF(const std::vector<std::uint8_t>& v) {
    return std::all_of(v.begin(), v.end(), [](std::uint8_t b) { return b == 0xFF; });
}

TEST(SimEeprom, WritesAndReadsBackTheConfigurationBlock) {
    Rig rig(Kind(14));
    const auto block = Pattern(128, 3);
    ASSERT_TRUE(rig.out("DF 00 00 00 80 00 00 00 00 00 00 FB", block).good());
    auto a = rig.in("DF 10 00 00 80 00 00 00 00 00 00 FA", 128);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.data, block);
    EXPECT_EQ(rig.bridge->eeprom(), block);
    // Two bytes at 120: the test pattern of the EEPROM check.
    ASSERT_TRUE(rig.out("DF 00 00 00 02 00 00 00 00 00 78 FB", {0xAA, 0x55}).good());
    EXPECT_EQ(rig.in("DF 10 00 00 02 00 00 00 00 00 78 FA", 2).data,
              (std::vector<std::uint8_t>{0xAA, 0x55}));
    // Past the 128 bytes.
    EXPECT_EQ(rig.in("DF 10 00 00 10 00 00 00 00 00 78 FA", 16).result.scsiStatus, 2);
}

TEST(SimSerialFlash, EraseThenBlankProgramThenReadBackBusyThenReady) {
    BridgeConfig cfg = Kind(4);  // firmware in a 64 KiB serial flash
    cfg.flashImage.assign(0x10000, 0x11);
    Rig rig(cfg);
    EXPECT_FALSE(AllFF(rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 0x4000).data));
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 1, 1);  // busy right after the erase
    rig.sim.clock().sleepMs(100);
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 1, 0);
    EXPECT_TRUE(AllFF(rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 0x4000).data));
    EXPECT_TRUE(AllFF(rig.in("FF 04 10 00 40 00 00 00 00 00 00 00", 0x4000).data));
    // The second block was not touched.
    EXPECT_FALSE(AllFF(rig.in("FF 04 10 00 80 00 00 00 00 00 00 00", 0x100).data));

    const auto page = Pattern(0x4000, 9);
    ASSERT_TRUE(rig.out("FF 04 11 00 40 00 00 00 00 00 00 00", page).good());
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 1, 1);
    // A read while busy waits inside the bridge and sees the programmed page.
    auto back = rig.in("FF 04 10 00 40 00 00 00 00 00 00 00", 0x4000);
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.data, page);
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 1, 0);
    // More than 16 KiB in one command, or past the end, is refused.
    EXPECT_EQ(rig.out("FF 04 11 00 00 00 00 00 00 00 00 00", Pattern(0x4001, 1)).result.scsiStatus,
              2);
    EXPECT_EQ(rig.in("FF 04 10 00 FF F0 00 00 00 00 00 00", 0x20).result.scsiStatus, 2);
}

TEST(SimSerialFlash, ChipEraseTakesLongerThanAShortTimeOut) {
    Rig rig(Kind(4));
    auto quick = rig.none("FF 04 13 00 00 00 00 00 00 00 00 00", 1);
    EXPECT_FALSE(quick.result.callSucceeded);
    EXPECT_EQ(quick.result.lastError, 121u);
    rig.sim.clock().sleepMs(2000);
    auto slow = rig.none("FF 04 13 00 00 00 00 00 00 00 00 00", 100);
    EXPECT_TRUE(slow.good());
    EXPECT_TRUE(AllFF(rig.bridge->serialFlash()));
}

TEST(SimSerialFlash, ProtectionBlocksEraseUntilTheUnprotectSequenceClearsIt) {
    BridgeConfig cfg = Kind(4);
    cfg.flashProtected = true;
    Rig rig(cfg);
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 0x1C, 0x1C);
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    rig.sim.clock().sleepMs(100);
    EXPECT_FALSE(AllFF(rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 0x100).data));

    // A status write without write enable is ignored.
    ASSERT_TRUE(rig.out("FF 04 20 02 00 01 00 00 00 00 00 00", {0x01, 0x00}).good());
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 0x1C, 0x1C);
    ASSERT_TRUE(rig.none("FF 04 20 01 00 06 00 00 00 00 00 00").good());
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 0x02, 0x02);
    ASSERT_TRUE(rig.out("FF 04 20 02 00 01 00 00 00 00 00 00", {0x01, 0x00}).good());
    EXPECT_EQ(rig.in(kStatus, 2).data[0] & 0x01, 0x01);  // the status write takes a while
    rig.sim.clock().sleepMs(20);
    EXPECT_EQ(rig.in(kStatus, 2).data[0], 0x00);
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    EXPECT_TRUE(AllFF(rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 0x100).data));
}

TEST(SimSerialFlash, IdentificationAnswersPerFamily) {
    struct Row {
        int type;
        std::vector<std::uint8_t> jedec;  // 0x9F, first three bytes
        int rems3;                        // 0x90 without address, fourth byte
        int res3;                         // 0xAB without address, fourth byte
        int legacy0;                      // 0x15, first byte
    };
    const Row rows[] = {
        {3, {0x7F, 0x9D, 0x7C}, 0x7F, 0x9D, 0xFF},  {4, {0xBF, 0x25, 0x8E}, 0xBF, 0x8E, 0xFF},
        {5, {0x20, 0x20, 0x13}, 0x20, 0x05, 0xFF},  {6, {0x1F, 0x44, 0x01}, 0x1F, 0x01, 0x1F},
        {7, {0xC2, 0x20, 0x13}, 0xC2, 0x13, 0xFF},  {9, {0x37, 0x30, 0x13}, 0x37, 0x13, 0xFF},
        {15, {0x9D, 0x40, 0x13}, 0x9D, 0x13, 0xFF}, {17, {0xE0, 0x40, 0x10}, 0xE0, 0x10, 0xFF},
        {19, {0x0B, 0x40, 0x13}, 0x0B, 0x13, 0xFF}, {20, {0x85, 0x60, 0x13}, 0x85, 0x13, 0xFF},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("flash type " + std::to_string(r.type));
        BridgeConfig cfg = Kind(13);
        cfg.flashType = static_cast<std::uint8_t>(r.type);
        Rig rig(cfg);
        auto jedec = rig.in("FF 04 15 04 9F 00 00 00 00 00 00 00", 4);
        ASSERT_TRUE(jedec.good());
        EXPECT_EQ(std::vector<std::uint8_t>(jedec.data.begin(), jedec.data.begin() + 3), r.jedec);
        // Opcode byte 0 asks for the part's own JEDEC identification.
        EXPECT_EQ(rig.in("FF 04 15 04 00 00 00 00 00 00 00 00", 4).data, jedec.data);
        ASSERT_TRUE(rig.none("FF 04 20 01 01 90 00 00 00 00 00 00").good());
        EXPECT_EQ(rig.in("FF 04 21 00 00 00 00 00 04 00 00 00", 4).data[3], r.rems3);
        ASSERT_TRUE(rig.none("FF 04 20 01 01 AB 00 00 00 00 00 00").good());
        EXPECT_EQ(rig.in("FF 04 21 00 00 00 00 00 04 00 00 00", 4).data[3], r.res3);
        // With the three address bytes sent by the bridge the answer comes first.
        EXPECT_EQ(rig.in("FF 04 15 03 AB 03 00 00 00 00 00 00", 3).data[0], r.res3);
        EXPECT_EQ(rig.in("FF 04 15 03 15 03 00 00 00 00 00 00", 3).data[0], r.legacy0);
        // Service23Read reports the family the chip found (type - 2).
        EXPECT_EQ(rig.in("FF 04 23 04 00 00 00 00 00 00 00 00", 4).data[0], r.type - 2);
    }
}

TEST(SimSerialFlash, WordProgramSequenceWritesWordProgramParts) {
    BridgeConfig cfg = Kind(4);
    cfg.flashType = 4;
    Rig rig(cfg);
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    rig.sim.clock().sleepMs(100);
    // The page-program command writes one byte per page on these parts.
    ASSERT_TRUE(rig.out("FF 04 11 00 00 00 00 00 00 00 00 00", Pattern(512, 1)).good());
    auto once = rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 4).data;
    EXPECT_EQ(once[0], Pattern(512, 1)[0]);
    EXPECT_EQ(once[1], 0xFF);

    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    rig.sim.clock().sleepMs(100);
    const std::vector<std::uint8_t> words{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    ASSERT_TRUE(rig.none("FF 04 20 01 00 50 00 00 00 00 00 00").good());
    ASSERT_TRUE(rig.none("FF 04 20 01 01 01 00 00 00 00 00 00").good());
    ASSERT_TRUE(rig.out("FF 04 22 00 00 00 00 00 02 00 00 00", {0x00, 0x00}).good());
    ASSERT_TRUE(rig.none("FF 04 20 01 00 06 00 00 00 00 00 00").good());
    ASSERT_TRUE(rig.none("FF 04 20 04 01 AD 00 01 00 00 00 00").good());
    ASSERT_TRUE(rig.out("FF 04 22 00 00 00 00 00 02 00 00 00", {0x11, 0x22}).good());
    ASSERT_TRUE(rig.none("FF 04 20 03 00 AD 33 44 00 00 00 00").good());
    ASSERT_TRUE(rig.none("FF 04 20 01 01 AD 00 00 00 00 00 00").good());
    ASSERT_TRUE(rig.out("FF 04 22 00 00 00 00 00 02 00 00 00", {0x55, 0x66}).good());
    ASSERT_TRUE(rig.none("FF 04 20 01 00 04 00 00 00 00 00 00").good());
    // After write disable further words are ignored.
    ASSERT_TRUE(rig.none("FF 04 20 03 00 AD 77 88 00 00 00 00").good());
    auto back = rig.in("FF 04 10 00 01 00 00 00 00 00 00 00", 8).data;
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 6), words);
    EXPECT_EQ(back[6], 0xFF);
}

TEST(SimMemorySpace, EraseModesClearTheirUnitsBeforeWriting) {
    BridgeConfig cfg = Kind(11);  // type 8: block 64 KiB, sector 4 KiB
    Rig rig(cfg);
    auto read = [&](const char* cdb, std::size_t n) { return rig.in(cdb, n).data; };
    // Mode 3 with no data: the whole chip.
    ASSERT_TRUE(rig.none("DF 03 00 00 00 00 00 00 00 00 00 FB", 100).good());
    EXPECT_TRUE(AllFF(rig.bridge->serialFlash()));
    // Mode 0 programs only: writing over programmed bytes keeps the cleared bits.
    ASSERT_TRUE(rig.out("DF 00 00 00 02 00 00 00 00 10 00 FB", {0x0F, 0xF0}).good());
    ASSERT_TRUE(rig.out("DF 00 00 00 02 00 00 00 00 10 00 FB", {0xF0, 0xF0}).good());
    EXPECT_EQ(read("DF 10 00 00 02 00 00 00 00 10 00 FA", 2),
              (std::vector<std::uint8_t>{0x00, 0xF0}));
    // Mode 1 erases the 4 KiB sector the write starts in, and only that one.
    ASSERT_TRUE(rig.out("DF 00 00 00 01 00 00 00 00 20 00 FB", {0x00, 0x00}).good());
    ASSERT_TRUE(rig.out("DF 01 00 00 02 00 00 00 00 10 00 FB", {0xA5, 0x5A}).good());
    EXPECT_EQ(read("DF 10 00 00 02 00 00 00 00 10 00 FA", 2),
              (std::vector<std::uint8_t>{0xA5, 0x5A}));
    EXPECT_EQ(read("DF 10 00 00 01 00 00 00 00 20 00 FA", 2)[0], 0x00);
    // Mode 2 erases the 64 KiB block.
    ASSERT_TRUE(rig.out("DF 02 00 00 01 00 00 00 00 00 00 FB", {0x42, 0x00}).good());
    EXPECT_EQ(read("DF 10 00 00 01 00 00 00 00 20 00 FA", 2)[0], 0xFF);
    EXPECT_EQ(read("DF 10 00 00 01 00 00 00 00 00 00 FA", 2)[0], 0x42);
    // Only bits 0-2 and 7 of the mode count: 0x80 is a plain write.
    ASSERT_TRUE(rig.out("DF 80 00 00 01 00 00 00 00 00 00 FB", {0x02, 0x00}).good());
    EXPECT_EQ(read("DF 10 00 00 01 00 00 00 00 00 00 FA", 2)[0], 0x02);
}

TEST(SimMemorySpace, EraseUnitsFollowTheFlashFamily) {
    struct Row {
        int type;
        std::uint32_t sector, block;
    };
    for (const Row r : {Row{3, 4096, 32768}, Row{5, 32768, 65536}, Row{19, 8192, 65536}}) {
        SCOPED_TRACE(r.type);
        BridgeConfig cfg = Kind(11);
        cfg.flashType = static_cast<std::uint8_t>(r.type);
        cfg.flashImage.assign(0x20000, 0x11);
        Rig rig(cfg);
        ASSERT_TRUE(rig.out("DF 01 00 00 01 00 00 00 00 00 00 FB", {0x7E, 0x00}).good());
        auto f = rig.bridge->serialFlash();
        EXPECT_EQ(f[0], 0x7E);
        EXPECT_EQ(f[r.sector - 1], 0xFF);
        EXPECT_EQ(f[r.sector], 0x11);  // the next sector keeps its data
        ASSERT_TRUE(rig.out("DF 02 00 00 01 00 00 00 00 00 00 FB", {0x7E, 0x00}).good());
        f = rig.bridge->serialFlash();
        EXPECT_EQ(f[r.block - 1], 0xFF);
        EXPECT_EQ(f[r.block], 0x11);
    }
}

TEST(SimParallelFlash, SetupMustMatchThePartBeforeEraseAndProgram) {
    const char* setup0 = "FF 04 04 00 00 00 00 00 00 00 00 00";
    const std::vector<std::uint8_t> seq0 =
        Hex("55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10");
    const std::vector<std::uint8_t> seq1 =
        Hex("55 05 AA 02 55 05 55 05 AA 02 55 05 AA 55 80 AA 55 10");
    for (int type = 0; type <= 2; ++type) {
        SCOPED_TRACE(type);
        BridgeConfig cfg = Kind(30);
        cfg.parallelFlashType = static_cast<std::uint8_t>(type);
        Rig rig(cfg);
        const auto& right = type == 1 ? seq1 : seq0;
        const auto& wrong = type == 1 ? seq0 : seq1;
        const std::string program = type == 1 ? "FF 04 02 55 05 AA 02 55 05 AA 55 A0"
                                              : "FF 04 02 55 55 AA 2A 55 55 AA 55 A0";
        // Nothing works before the bridge enters parallel-flash mode.
        EXPECT_EQ(rig.in("FF 04 00 00 00 00 00 00 00 00 00 00", 2).result.scsiStatus, 2);
        ASSERT_TRUE(rig.none("FF 04 05 00 00 00 00 00 00 00 00 00").good());
        // A sequence for another part erases nothing.
        ASSERT_TRUE(rig.out(setup0, wrong).good());
        ASSERT_TRUE(rig.none("FF 04 01 00 00 00 00 00 00 00 00 00").good());
        rig.sim.clock().sleepMs(1000);
        EXPECT_FALSE(AllFF(rig.in("FF 04 03 00 00 00 00 00 00 00 00 00", 0x100).data));
        ASSERT_TRUE(rig.out(setup0, right).good());
        ASSERT_TRUE(rig.none("FF 04 01 00 00 00 00 00 00 00 00 00").good());
        EXPECT_EQ(rig.in("FF 04 00 00 00 00 00 00 00 00 00 00", 2).data[0], 1);
        rig.sim.clock().sleepMs(600);
        EXPECT_EQ(rig.in("FF 04 00 00 00 00 00 00 00 00 00 00", 2).data[0], 0);
        EXPECT_TRUE(AllFF(rig.in("FF 04 03 00 00 00 00 00 00 00 00 00", 0x10000).data));
        const auto image = Pattern(0x10000, 5);
        ASSERT_TRUE(rig.out(program, image).good());
        EXPECT_EQ(rig.in("FF 04 00 00 00 00 00 00 00 00 00 00", 2).data[0], 1);
        rig.sim.clock().sleepMs(2000);
        auto back = rig.in("FF 04 03 00 00 00 00 00 00 00 00 00", 0x10000);
        ASSERT_TRUE(back.good());
        EXPECT_EQ(back.data, image);
        // Address in little-endian order.
        EXPECT_EQ(rig.in("FF 04 03 10 32 00 00 00 00 00 00 00", 1).data[0], image[0x3210]);
    }
}

// ---- reset and the identity the storage holds ----

std::vector<std::uint8_t> Descriptor(const std::string& s, bool oneByte) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 * s.size() + 2), 3};
    for (char c : s) {
        d.push_back(static_cast<std::uint8_t>(c));
        if (!oneByte)
            d.push_back(0);
    }
    return d;
}

void Put(std::vector<std::uint8_t>& b, std::size_t at, const std::vector<std::uint8_t>& v) {
    std::copy(v.begin(), v.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

TEST(SimReset, BridgeComesBackWithTheIdentityOfEachLayout) {
    struct Layout {
        const char* name;
        std::size_t vid, mfg, prod, serial;
        bool oneByte, descriptor;
    };
    const Layout layouts[] = {{"type 1", 8, 20, 64, 96, false, true},
                              {"type 2", 0, 12, 52, 96, false, false},
                              {"type 3", 0, 12, 48, 84, true, false}};
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.name);
        Rig rig(Kind(14));
        std::vector<std::uint8_t> block(128, 0);
        if (l.descriptor) {
            block[0] = 0x12;
            block[1] = 0x01;
        }
        block[l.vid] = 0x34;
        block[l.vid + 1] = 0x12;
        block[l.vid + 2] = 0x78;
        block[l.vid + 3] = 0x56;
        Put(block, l.mfg, Descriptor("ACME", l.oneByte));
        Put(block, l.prod, Descriptor("Box", l.oneByte));
        Put(block, l.serial, Descriptor("SN42", l.oneByte));
        ASSERT_TRUE(rig.out("DF 00 00 00 80 00 00 00 00 00 00 FB", block).good());
        auto old = rig.open();
        EXPECT_EQ(rig.bridge->identity(), BridgeConfig{}.defaultIdentity);  // not yet

        ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
        EXPECT_FALSE(rig.bridge->present());
        EXPECT_EQ(rig.open(), nullptr);
        rig.sim.clock().sleepMs(1499);
        EXPECT_EQ(rig.open(), nullptr);
        rig.sim.clock().sleepMs(1);
        ASSERT_NE(rig.open(), nullptr);
        const UsbIdentity id = rig.bridge->identity();
        EXPECT_EQ(id.vid, 0x1234);
        EXPECT_EQ(id.pid, 0x5678);
        EXPECT_EQ(id.manufacturer, "ACME");
        EXPECT_EQ(id.product, "Box");
        EXPECT_EQ(id.serial, "SN42");
        // A handle opened before the reset is stale.
        const auto cdb = Hex("12 00 00 00 24 00");
        std::vector<std::uint8_t> buf(36);
        ScsiRequest r{cdb, DataDirection::In, buf, 10};
        EXPECT_FALSE(old->execute(r).callSucceeded);
        EXPECT_EQ(rig.bridge->resets(), 1u);
    }
}

TEST(SimReset, DiskResidentConfigurationOfBoardsWithoutEeprom) {
    BridgeConfig cfg = Kind(8);
    cfg.hasEeprom = false;
    cfg.master->sectors = 4096;
    Rig rig(cfg);
    std::vector<std::uint8_t> sector(512, 0);
    for (std::size_t i = 0; i < 128; i += 2) {
        sector[i] = 0x56;
        sector[i + 1] = 0x51;
    }
    std::vector<std::uint8_t> block(128, 0);
    block[0] = 0x12;
    block[1] = 0x01;
    block[8] = 0x21;
    block[9] = 0x43;
    Put(block, 64, Descriptor("OnDisk", false));
    block[124] |= 0x20;
    Put(sector, 128, block);
    // The last sector (LBA 4095) through the ATA pass-through.
    ASSERT_TRUE(rig.out("85 17 03 00 00 00 01 00 FF 00 0F 00 00 60 35 00", sector).good());
    EXPECT_EQ(rig.bridge->identity(), BridgeConfig{}.defaultIdentity);
    ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
    rig.sim.clock().sleepMs(2000);
    EXPECT_EQ(rig.bridge->identity().vid, 0x4321);
    EXPECT_EQ(rig.bridge->identity().product, "OnDisk");
}

TEST(SimReset, ConfigurationInSerialFlashAndParallelFlash) {
    // Kind 19 keeps a compact-layout block at 0xC000 of its flash.
    Rig flashRig(Kind(19));
    std::vector<std::uint8_t> block(128, 0);
    block[0] = 0xCD;
    block[1] = 0xAB;
    Put(block, 12, Descriptor("Maker", true));
    Put(block, 48, Descriptor("Thing", true));
    Put(block, 84, Descriptor("0001", true));
    ASSERT_TRUE(flashRig.out("DF 01 00 00 80 00 00 00 00 C0 00 FB", block).good());
    ASSERT_TRUE(flashRig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
    flashRig.sim.clock().sleepMs(2000);
    EXPECT_EQ(flashRig.bridge->identity().vid, 0xABCD);
    EXPECT_EQ(flashRig.bridge->identity().product, "Thing");

    // The extended block of the later families: the manufacturer as plain text at 200;
    // kind 26 falls back to its second sector when the first is blank.
    BridgeConfig later = Kind(26);
    later.flashImage.assign(0x20000, 0xFF);
    std::fill_n(later.flashImage.begin(), 0x100, std::uint8_t{0x33});  // firmware present
    std::vector<std::uint8_t> ext(256, 0);
    ext[0] = 0x01;
    ext[1] = 0x70;
    ext[6] = 10;
    Put(ext, 48, Descriptor("Later", true));
    Put(ext, 200, {'W', 'o', 'r', 'k', 's'});
    Put(later.flashImage, 0x1D000, ext);
    Rig laterRig(later);
    EXPECT_EQ(laterRig.bridge->identity().vid, 0x7001);
    EXPECT_EQ(laterRig.bridge->identity().product, "Later");
    EXPECT_EQ(laterRig.bridge->identity().manufacturer, "Works");

    // The parallel-flash model keeps IDs at 0x4008 and UTF-16 descriptors at 0x40A0 on.
    BridgeConfig cfg = Kind(30);
    cfg.parallelImage = std::vector<std::uint8_t>(0x10000, 0xFF);
    std::fill_n(cfg.parallelImage.begin(), 0x100, std::uint8_t{0x12});
    Put(cfg.parallelImage, 0x4008, {0x11, 0x22, 0x33, 0x44});
    Put(cfg.parallelImage, 0x40A0, Descriptor("Velmora", false));
    Put(cfg.parallelImage, 0x40E0, Descriptor("USB to ATA/ATAPI bridge", false));
    Put(cfg.parallelImage, 0x4120, Descriptor("77", false));
    Rig par(cfg);
    const UsbIdentity id = par.bridge->identity();
    EXPECT_EQ(id.vid, 0x2211);
    EXPECT_EQ(id.pid, 0x4433);
    EXPECT_EQ(id.manufacturer, "Velmora");
    EXPECT_EQ(id.product, "USB to ATA/ATAPI bridge");
    EXPECT_EQ(id.serial, "77");
    // A blank EEPROM leaves the chip's own identity.
    EXPECT_EQ(Rig(Kind(14)).bridge->identity(), BridgeConfig{}.defaultIdentity);
}

}  // namespace
}  // namespace vq::sim::test
