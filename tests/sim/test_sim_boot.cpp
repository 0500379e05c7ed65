// What the boot code of the emulated boards checks: the checksums of their images, the
// banks of the later families, and the faults planned on their commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/Bytes.h"
#include "base/Format.h"
#include "platform/sim/SimImageRules.h"
#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

constexpr const char* kIdentify = "E0 F4 E7 00 00 00 00 00 00 00 00 00";
constexpr const char* kReset = "FF 04 26 56 51 00 00 00 00 00 00 00";

std::span<const std::uint8_t> Text(const char* s) {
    return {reinterpret_cast<const std::uint8_t*>(s), std::strlen(s)};
}

TEST(SimImageChecksums, KnownValues) {
    EXPECT_EQ(WordCrc16(Text("abcd")), 0x40D7);
    EXPECT_EQ(ImageCrc32(Text("abcd")), 0xA4B608B2u);
    EXPECT_EQ(BlockCrc16(Text("abc")), 0x3BD6);
    // A trailing group of fewer than four bytes is not taken.
    EXPECT_EQ(ImageCrc32(Text("abcdef")), 0xA4B608B2u);
}

// Kind 19 boots its flash image only with the right CRC-16 at 0xBFFE.
TEST(SimImageChecks, Kind19TakesOnlyAnImageWithItsCrc) {
    struct Row {
        const char* what;
        std::uint32_t address;  // byte cleared in the flash; 0: none
    } rows[] = {{"good image", 0}, {"body byte", 0x100}, {"CRC byte", 0xBFFE}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig(Kind(19));
        const auto running = rig.in(kIdentify, 16).data;
        if (row.address) {
            const std::string cdb =
                Format("DF 00 00 00 01 00 00 00 %02X %02X %02X FB", (row.address >> 16) & 0xFF,
                       (row.address >> 8) & 0xFF, row.address & 0xFF);
            ASSERT_TRUE(rig.out(cdb, {0x00}).good());
        }
        ASSERT_TRUE(rig.none(kReset).good());
        rig.sim.clock().sleepMs(1500);
        EXPECT_EQ(rig.bridge->firmwareRunning(), row.address == 0);
        const auto id = rig.in(kIdentify, 16).data;
        EXPECT_EQ(id[6], row.address ? ProfileFor(19).bootVersion[0] : running[6]);
        EXPECT_EQ(rig.bridge->registers(0x703A, 1)[0] & 0x15, row.address ? 0 : 0x15);
    }
}

// Kinds 21 to 24: a bank with any single field wrong is not booted; bank 1 stands in for
// bank 0, and with neither the chip stays on its mask ROM.
TEST(SimImageChecks, LaterBanksFallBackAndRefuseEachBrokenField) {
    struct Row {
        const char* what;
        std::uint32_t offset;  // in the bank
    } rows[] = {{"header marker", 513},           {"header checksum", 1021},
                {"configuration checksum", 2045}, {"configuration text", 1560},
                {"torn end", kBankSize - 1},      {"checksum copy", 522}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        BridgeConfig cfg = Kind(21);
        cfg.flashImage = MakeFirmwareImage(21, 2 * kBankSize);
        // Bank 1 says who it is through its INQUIRY product text.
        std::memcpy(cfg.flashImage.data() + kBankSize + 1560, "BANK1", 6);
        SealBank(std::span(cfg.flashImage).subspan(kBankSize, kBankSize));
        auto bad = cfg;
        bad.flashImage[row.offset] ^= 0x01;
        {
            Rig rig(bad);
            EXPECT_EQ(rig.bridge->bufferState(), BufferState::Firmware);
            EXPECT_EQ(rig.in("12 00 00 00 24 00", 36).data[16], 'B');  // "BANK1"
        }
        bad.flashImage[kBankSize + row.offset] ^= 0x01;
        Rig rig(bad);
        EXPECT_EQ(rig.bridge->bufferState(), BufferState::MaskRom);
        const auto id = rig.in(kIdentify, 16).data;
        EXPECT_EQ(id[6], 1);
    }
}

TEST(SimImageChecks, LaterFamilyReportsVersionTextsAndSettingBlockOfItsImage) {
    BridgeConfig cfg = Kind(22);
    cfg.flashImage = MakeFirmwareImage(22, 0x80000);
    const std::uint8_t version[] = {3, 0, 0x11, 0x22, 0x33, 0x44};
    for (std::uint32_t bank : {0u, kBankSize}) {
        std::copy(std::begin(version), std::end(version), cfg.flashImage.begin() + bank + 1024);
        std::memcpy(cfg.flashImage.data() + bank + 1552, "MAKER", 6);
        std::memcpy(cfg.flashImage.data() + bank + 1560, "Drive X", 8);
        SealBank(std::span(cfg.flashImage).subspan(bank, kBankSize));
    }
    // The device setting block: standby enabled, 1200 (two minutes).
    std::array<std::uint8_t, 24> iup{'I', 'U', 'P', '0', 0, 0, 0, 12};
    iup[16] = 1;
    PutBE32(iup, 20, 1200);
    PutLE16(iup, 8, BlockCrc16(std::span(iup).subspan(12, 12)));
    PutLE16(iup, 10, BlockCrc16(std::span(iup).first(10)));
    std::copy(iup.begin(), iup.end(), cfg.flashImage.begin() + kSettingBlockAt);
    Rig rig(cfg);
    const auto id = rig.in(kIdentify, 16).data;
    EXPECT_EQ(id[12], 0x11);
    EXPECT_EQ(id[15], 0x44);
    const auto inq = rig.in("12 00 00 00 24 00", 36).data;
    EXPECT_EQ(std::string(inq.begin() + 8, inq.begin() + 32), "MAKER   Drive X         ");
    EXPECT_EQ(rig.bridge->standbyTimer(), 1200u);
}

TEST(SimImageChecks, ActivationKeepsTheSerialOfTheIdentityRecord) {
    Rig rig(Kind(21));
    std::vector<std::uint8_t> record(72, 0);
    record[0] = 0x42;
    const std::string serial = "SN-0042             ";
    std::copy(serial.begin(), serial.end(), record.begin() + 52);
    ASSERT_TRUE(rig.out("C3 30 00 00 00 01 00 02 00 48", record).good());
    ASSERT_TRUE(rig.none("3B 0F 00 00 00 00 00 00 00 00").good());
    rig.sim.clock().sleepMs(1500);
    EXPECT_EQ(rig.bridge->identity().serial, "SN-0042");
    const auto vpd = rig.in("12 01 C3 00 54 00", 84).data;
    EXPECT_EQ(std::string(vpd.begin() + 64, vpd.begin() + 84), serial);
}

TEST(SimFaults, FailFromTheNthOnAndTimeOutInEmulatedTime) {
    BridgeConfig cfg = Kind(14);
    cfg.faults.push_back({FaultSpec::Type::FailCommand, "IdentifyBridge", 2, 0});
    cfg.faults.push_back({FaultSpec::Type::Timeout, "ReadChipInfo", 1, 2});
    Rig rig(cfg);
    EXPECT_TRUE(rig.in(kIdentify, 16).good());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rig.in(kIdentify, 16).result.scsiStatus, 2) << i;
    const std::int64_t before = rig.sim.clock().nowNs();
    for (int i = 0; i < 2; ++i) {
        const auto a = rig.in("FF 04 A0 20 00 00 00 00 00 00 00 00", 32, 10);
        EXPECT_FALSE(a.result.callSucceeded);
        EXPECT_EQ(a.result.lastError, 121u);
    }
    EXPECT_EQ(rig.sim.clock().nowNs() - before, 20'000'000'000);
    EXPECT_TRUE(rig.in("FF 04 A0 20 00 00 00 00 00 00 00 00", 32).good());
    // A fault planned while the board runs counts from the commands it has seen.
    rig.bridge->addFault({FaultSpec::Type::FailCommand, "ReadChipInfo", 1, 1});
    EXPECT_EQ(rig.in("FF 04 A0 20 00 00 00 00 00 00 00 00", 32).result.scsiStatus, 2);
    EXPECT_TRUE(rig.in("FF 04 A0 20 00 00 00 00 00 00 00 00", 32).good());
}

// A drive of known media rate behind a port of known bus rate: the slower one sets the
// time of a transfer, in MiB/s.
TEST(SimThroughput, SlowerOfBusAndMediaSetsTheRate) {
    struct Row {
        double bus, media, expect;
    } rows[] = {{40, 120, 40}, {400, 120, 120}, {400, 33.5, 33.5}};
    for (const auto& row : rows) {
        BridgeConfig cfg = Kind(14);
        cfg.timing.busMegabytesPerSecond = row.bus;
        cfg.master->megabytesPerSecond = row.media;
        Rig rig(cfg);
        auto dev = rig.open();
        // 8 reads of 2 MiB, as a read test does: the command overhead stays far below 2 %.
        std::vector<std::uint8_t> data(2u << 20);
        const std::int64_t t0 = rig.sim.clock().nowNs();
        for (std::uint32_t lba = 0; lba < 8 * 4096; lba += 4096) {
            ScsiRequest r;
            const auto cdb = Hex(Format("28 00 00 00 %02X %02X 00 10 00 00", lba >> 8, lba & 0xFF));
            r.cdb = cdb;
            r.direction = DataDirection::In;
            r.data = data;
            r.timeoutSeconds = 10;
            ASSERT_TRUE(dev->execute(r).callSucceeded);
        }
        const double seconds = static_cast<double>(rig.sim.clock().nowNs() - t0) / 1e9;
        const double rate = 8.0 * 2 / seconds;
        EXPECT_NEAR(rate, row.expect, row.expect * 0.02) << row.bus << " " << row.media;
    }
}

}  // namespace
}  // namespace vq::sim::test
