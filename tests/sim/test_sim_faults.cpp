// The fault plan of an emulated bridge: each kind of fault, and the time-out rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

constexpr const char* kReadPresence = "DF 10 00 00 01 00 72 0F 00 00 00 FD";

BridgeConfig WithFault(std::uint8_t kind, FaultSpec f) {
    BridgeConfig c = Kind(kind);
    c.faults.push_back(std::move(f));
    return c;
}

TEST(SimFaults, FailsTheNthCommandOfItsKindOnly) {
    FaultSpec f;
    f.type = FaultSpec::Type::FailCommand;
    f.command = "ReadXdata";
    f.n = 2;
    Rig rig(WithFault(14, f));
    EXPECT_TRUE(rig.in("12 00 00 00 24 00", 36).good());  // another kind does not count
    EXPECT_TRUE(rig.in(kReadPresence, 2).good());
    auto second = rig.in(kReadPresence, 2);
    EXPECT_TRUE(second.result.callSucceeded);
    EXPECT_EQ(second.result.scsiStatus, 2);
    EXPECT_TRUE(rig.in(kReadPresence, 2).good());
    // A failed write leaves the state alone.
    FaultSpec w;
    w.command = "WriteXdata";
    Rig wr(WithFault(14, w));
    EXPECT_EQ(wr.out("DF 00 00 00 01 00 70 54 00 00 00 FE", {0x42, 0}).result.scsiStatus, 2);
    EXPECT_EQ(wr.bridge->registers(0x7054, 1)[0], 0);
}

TEST(SimFaults, CorruptsOneProgrammedByteWhereverItIsWritten) {
    FaultSpec f;
    f.type = FaultSpec::Type::CorruptProgram;
    f.address = 0x4123;
    f.mask = 0x10;
    Rig rig(WithFault(4, f));
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    const std::vector<std::uint8_t> page(0x4000, 0x00);
    ASSERT_TRUE(rig.out("FF 04 11 00 40 00 00 00 00 00 00 00", page).good());
    auto back = rig.in("FF 04 10 00 40 00 00 00 00 00 00 00", 0x4000);
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.data[0x123], 0x10);
    EXPECT_EQ(std::count(back.data.begin(), back.data.end(), 0), 0x3FFF);
    // The EEPROM of another board with the fault at 5.
    f.address = 5;
    Rig ee(WithFault(14, f));
    ASSERT_TRUE(
        ee.out("DF 00 00 00 80 00 00 00 00 00 00 FB", std::vector<std::uint8_t>(128, 0)).good());
    EXPECT_EQ(ee.bridge->eeprom()[5], 0x10);
}

TEST(SimFaults, StayBusyKeepsTheFlashBusyAndFailsItsCommands) {
    FaultSpec f;
    f.type = FaultSpec::Type::StayBusy;
    f.command = "SerialFlashEraseBlock";
    Rig rig(WithFault(4, f));
    EXPECT_TRUE(rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 16).good());
    ASSERT_TRUE(rig.none("FF 04 14 00 00 00 00 00 00 00 00 00").good());
    for (int i = 0; i < 5; ++i) {
        rig.sim.clock().sleepMs(1000);
        EXPECT_EQ(rig.in("FF 04 12 00 00 00 00 00 00 00 00 00", 2).data[0] & 1, 1);
    }
    const auto t0 = rig.sim.clock().nowNs();
    auto r = rig.in("FF 04 10 00 00 00 00 00 00 00 00 00", 16);
    EXPECT_EQ(r.result.scsiStatus, 2);
    EXPECT_GE(rig.sim.clock().nowNs() - t0, 3'000'000'000);  // the bridge waited first
}

TEST(SimFaults, NoReturnAfterReset) {
    FaultSpec f;
    f.type = FaultSpec::Type::NoReturn;
    Rig rig(WithFault(14, f));
    ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
    rig.sim.clock().sleepMs(60'000);
    EXPECT_FALSE(rig.bridge->present());
    EXPECT_EQ(rig.open(), nullptr);
    rig.bridge->plugIn();  // replugged by hand it boots again
    EXPECT_NE(rig.open(), nullptr);
}

TEST(SimFaults, VanishesInTheMiddleOfATransfer) {
    FaultSpec f;
    f.type = FaultSpec::Type::VanishMidTransfer;
    f.command = "Write10";
    Rig rig(WithFault(14, f));
    auto dev = rig.open();
    const auto cdb = Hex("2A 00 00 00 00 00 00 00 08 00");
    std::vector<std::uint8_t> data(4096, 0xAB);
    ScsiRequest r{cdb, DataDirection::Out, data, 10};
    const ScsiResult res = dev->execute(r);
    EXPECT_FALSE(res.callSucceeded);
    EXPECT_EQ(res.lastError, 1167u);
    EXPECT_EQ(res.bytesTransferred, 2048u);
    EXPECT_FALSE(rig.bridge->present());
    EXPECT_FALSE(dev->execute(r).callSucceeded);
    rig.bridge->plugIn();
    EXPECT_EQ(rig.in("28 00 00 00 00 00 00 00 01 00", 512).data[0], 0);  // nothing written
}

TEST(SimFaults, RunsOutOfSpace) {
    FaultSpec f;
    f.type = FaultSpec::Type::OutOfSpace;
    f.bytes = 128 * 1024;
    Rig rig(WithFault(14, f));
    const std::vector<std::uint8_t> chunk(65536, 1);
    EXPECT_TRUE(rig.out("2A 00 00 00 00 00 00 00 80 00", chunk).good());
    EXPECT_TRUE(rig.out("2A 00 00 00 10 00 00 00 80 00", chunk).good());
    EXPECT_TRUE(rig.out("2A 00 00 00 00 00 00 00 80 00", chunk).good());  // rewrite: no new space
    auto full = rig.out("2A 00 00 00 20 00 00 00 80 00", chunk);
    EXPECT_TRUE(full.result.callSucceeded);
    EXPECT_EQ(full.result.scsiStatus, 2);
}

// The board comes back from the reset after the fault as another device: with the
// identity fields the fault gives, or with its product ID plus 1; later boots keep it.
TEST(SimFaults, ReturnsFromTheNextResetWithAnotherIdentity) {
    const struct {
        std::optional<std::uint16_t> vid, pid;
        std::optional<std::string> serial;
        UsbIdentity expected;
    } rows[] = {
        {std::nullopt,
         std::nullopt,
         std::nullopt,
         {0x7E8A, 0x242A, "Velmora", "USB to ATA/ATAPI bridge", "000000000001"}},
        {0x1D6B,
         std::nullopt,
         "WRONG",
         {0x1D6B, 0x2429, "Velmora", "USB to ATA/ATAPI bridge", "WRONG"}},
    };
    for (const auto& row : rows) {
        FaultSpec f;
        f.type = FaultSpec::Type::OtherIdentity;
        f.vid = row.vid;
        f.pid = row.pid;
        f.serial = row.serial;
        Rig rig(WithFault(14, f));
        const UsbIdentity before = rig.bridge->identity();
        ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
        rig.sim.clock().sleepMs(2000);
        EXPECT_NE(rig.bridge->identity(), before);
        EXPECT_EQ(rig.bridge->identity(), row.expected);
        rig.bridge->unplug();
        rig.bridge->plugIn();
        EXPECT_EQ(rig.bridge->identity(), row.expected);
    }
    // Planned for the second reset, the first one still returns the board as it was.
    FaultSpec f;
    f.type = FaultSpec::Type::OtherIdentity;
    f.command = "ResetBridge";
    f.n = 2;
    Rig rig(WithFault(14, f));
    const UsbIdentity before = rig.bridge->identity();
    ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
    rig.sim.clock().sleepMs(2000);
    EXPECT_EQ(rig.bridge->identity(), before);
    ASSERT_TRUE(rig.in("FF 04 26 56 51 00 00 00 00 00 00 00", 0).good());
    rig.sim.clock().sleepMs(2000);
    EXPECT_EQ(rig.bridge->identity().pid, before.pid + 1);
}

// One byte of one drive sector is stored changed, whichever block writes it; the host's
// buffer and the other sectors are left alone.
TEST(SimFaults, CorruptsOneByteOfADriveSector) {
    FaultSpec f;
    f.type = FaultSpec::Type::CorruptSector;
    f.lba = 9;
    f.address = 300;
    f.mask = 0x81;
    for (const char* write : {"2A 00 00 00 00 08 00 00 02 00",  // WRITE(10) of 8 and 9
                              "85 17 03 00 00 00 02 00 08 00 00 00 00 60 35 00"}) {
        SCOPED_TRACE(write);
        Rig rig(WithFault(14, f));
        const auto sent = rig.out(write, std::vector<std::uint8_t>(1024, 0x3C));
        ASSERT_TRUE(sent.good());
        EXPECT_EQ(sent.data, std::vector<std::uint8_t>(1024, 0x3C));
        auto back = rig.in("28 00 00 00 00 08 00 00 02 00", 1024);
        ASSERT_TRUE(back.good());
        std::vector<std::uint8_t> expected(1024, 0x3C);
        expected[512 + 300] ^= 0x81;
        EXPECT_EQ(back.data, expected);
    }
}

TEST(SimFaults, UnknownCommandNamesNeverMatch) {
    FaultSpec f;
    f.command = "NoSuchCommand";
    Rig rig(WithFault(14, f));
    EXPECT_TRUE(rig.in(kReadPresence, 2).good());
    EXPECT_EQ(CommandKindFromName("SerialFlashStatus"), CommandKind::SerialFlashStatus);
    EXPECT_EQ(CommandKindName(CommandKind::AtaWriteDmaExt), "AtaWriteDmaExt");
    for (int k = 0; k < static_cast<int>(CommandKind::Count); ++k) {
        const auto kind = static_cast<CommandKind>(k);
        EXPECT_EQ(CommandKindFromName(CommandKindName(kind)), kind);
    }
}

}  // namespace
}  // namespace vq::sim::test
