// Golden command blocks: every operation and variant, byte for byte, with its direction,
// transfer length, time-out and the data it sends.
#include "bridge/VendorCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "FakeScsi.h"

namespace vq::bridge {
namespace {

using test::FakeScsi;
using test::Hex;
using test::HexOf;
using test::Reply;

using Bytes8 = std::vector<std::uint8_t>;

Bytes8 Filled(std::size_t n, std::uint8_t first = 0xA5) {
    Bytes8 v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

Bytes8 PowerPage(bool on) {
    Bytes8 p(48, 0);
    p[8] = 0x1A;
    p[9] = 0x26;
    if (on) {
        p[11] = 1;
        p[18] = 0x17;  // 10 minutes = 6000 = 0x1770
        p[19] = 0x70;
    }
    return p;
}

constexpr auto kIn = DataDirection::In;
constexpr auto kOut = DataDirection::Out;
constexpr std::uint32_t kSetting = 7;

struct Golden {
    const char* name;
    std::function<bool(const Target&)> send;
    const char* cdb;
    DataDirection direction;
    std::size_t length;  // as sent: a one-byte transfer goes as two
    std::uint32_t timeout;
    Bytes8 data = {};  // data-out only
};

std::vector<Golden> Table() {
    static Bytes8 sink(65536);
    auto in = [](std::size_t n) { return Bytes(sink.data(), n); };
    return {
        // ATA-register vendor commands.
        {"ReadChipWord",
         [](auto& t) {
             std::uint16_t w;
             return ReadChipWord(t, w);
         },
         "DF 10 00 00 02 00 00 00 00 00 00 FF", kIn, 2, kSetting},
        {"ReadXdata 1 byte", [=](auto& t) { return ReadXdata(t, 0x720F, in(1)); },
         "DF 10 00 00 01 00 72 0F 00 00 00 FD", kIn, 2, kSetting},
        {"ReadXdata 10 bytes", [=](auto& t) { return ReadXdata(t, 0xC000, in(10)); },
         "DF 10 00 00 0A 00 C0 00 00 00 00 FD", kIn, 10, kSetting},
        {"WriteXdata 1 byte", [](auto& t) { return WriteXdata(t, 0x506A, Hex("5A")); },
         "DF 00 00 00 01 00 50 6A 00 00 00 FE", kOut, 2, 50, Hex("5A 00")},
        {"WriteXdata 3 bytes", [](auto& t) { return WriteXdata(t, 0x7054, Hex("01 02 03")); },
         "DF 00 00 00 03 00 70 54 00 00 00 FE", kOut, 3, 50, Hex("01 02 03")},
        {"ReadMemory", [=](auto& t) { return ReadMemory(t, 0x012345, in(1024)); },
         "DF 10 00 04 00 00 00 00 01 23 45 FA", kIn, 1024, kSetting},
        {"WriteMemory mode 0", [](auto& t) { return WriteMemory(t, 0, 0x1000, Filled(8192)); },
         "DF 00 00 20 00 00 00 00 00 10 00 FB", kOut, 8192, 50, Filled(8192)},
        {"WriteMemory mode 2", [](auto& t) { return WriteMemory(t, 2, 0x10000, Filled(4)); },
         "DF 02 00 00 04 00 00 00 01 00 00 FB", kOut, 4, 50, Filled(4)},
        {"WriteMemory mode 3 erase only", [](auto& t) { return WriteMemory(t, 3, 0, {}); },
         "DF 03 00 00 00 00 00 00 00 00 00 FB", kOut, 0, 100},
        {"WriteMemory mode 3 with data", [](auto& t) { return WriteMemory(t, 3, 0, Filled(2)); },
         "DF 03 00 00 02 00 00 00 00 00 00 FB", kOut, 2, 100, Filled(2)},
        {"WriteMemory mode masked 0x87", [](auto& t) { return WriteMemory(t, 0xFF, 0, Filled(4)); },
         "DF 87 00 00 04 00 00 00 00 00 00 FB", kOut, 4, 50, Filled(4)},
        {"WriteMemory mode 0x0B keeps 3", [](auto& t) { return WriteMemory(t, 0x0B, 0, {}); },
         "DF 03 00 00 00 00 00 00 00 00 00 FB", kOut, 0, 100},
        {"WriteMemory flag 0x83", [](auto& t) { return WriteMemory(t, 0x83, 0, Filled(4)); },
         "DF 83 00 00 04 00 00 00 00 00 00 FB", kOut, 4, 50, Filled(4)},
        {"AtaIdentifyDrive master",
         [=](auto& t) { return AtaIdentifyDrive(t, kAtaMaster, kAtaIdentifyDevice, in(512)); },
         "DF 10 00 02 00 00 00 00 00 00 A0 EC", kIn, 512, kSetting},
        {"AtaIdentifyDrive slave packet",
         [=](auto& t) { return AtaIdentifyDrive(t, kAtaSlave, kAtaIdentifyPacketDevice, in(512)); },
         "DF 10 00 02 00 00 00 00 00 00 B0 A1", kIn, 512, kSetting},
        {"AtaSmartStatus", [](auto& t) { return AtaSmartStatus(t); },
         "DF 10 00 00 01 DA 00 00 4F C2 A0 B0", kIn, 2, kSetting},

        // Bridge service commands.
        {"ReadFlashBusy",
         [](auto& t) {
             std::uint8_t b;
             return ReadFlashBusy(t, b);
         },
         "FF 04 00 00 00 00 00 00 00 00 00 00", kIn, 2, kSetting},
        {"ParallelFlashErase", [](auto& t) { return ParallelFlashErase(t); },
         "FF 04 01 00 00 00 00 00 00 00 00 00", kOut, 0, 50},
        {"ParallelFlashProgram type 0",
         [](auto& t) { return ParallelFlashProgram(t, 0, Filled(16)); },
         "FF 04 02 55 55 AA 2A 55 55 AA 55 A0", kOut, 16, 50, Filled(16)},
        {"ParallelFlashProgram type 1",
         [](auto& t) { return ParallelFlashProgram(t, 1, Filled(16)); },
         "FF 04 02 55 05 AA 02 55 05 AA 55 A0", kOut, 16, 50, Filled(16)},
        {"ParallelFlashProgram type 2",
         [](auto& t) { return ParallelFlashProgram(t, 2, Filled(16)); },
         "FF 04 02 55 55 AA 2A 55 55 AA 55 A0", kOut, 16, 50, Filled(16)},
        {"ParallelFlashProgram other type",
         [](auto& t) { return ParallelFlashProgram(t, 3, Filled(16)); },
         "FF 04 02 00 00 00 00 00 00 00 00 00", kOut, 16, 50, Filled(16)},
        {"ParallelFlashRead", [=](auto& t) { return ParallelFlashRead(t, 0x12345678, in(16)); },
         "FF 04 03 78 56 34 12 00 00 00 00 00", kIn, 16, kSetting},
        {"ParallelFlashSetup type 0", [](auto& t) { return ParallelFlashSetup(t, 0); },
         "FF 04 04 00 00 00 00 00 00 00 00 00", kOut, 18, 50,
         Hex("55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10")},
        {"ParallelFlashSetup type 1", [](auto& t) { return ParallelFlashSetup(t, 1); },
         "FF 04 04 00 00 00 00 00 00 00 00 00", kOut, 18, 50,
         Hex("55 05 AA 02 55 05 55 05 AA 02 55 05 AA 55 80 AA 55 10")},
        {"ParallelFlashSetup type 2", [](auto& t) { return ParallelFlashSetup(t, 2); },
         "FF 04 04 00 00 00 00 00 00 00 00 00", kOut, 18, 50,
         Hex("55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10")},
        {"ParallelFlashEnter", [](auto& t) { return ParallelFlashEnter(t); },
         "FF 04 05 00 00 00 00 00 00 00 00 00", kOut, 0, 50},
        {"Service0F",
         [](auto& t) {
             return Service0F(t, {0xC7, 0xD8, 0x02, 0x20}, 32);
         },
         "FF 04 0F C7 D8 02 20 00 20 00 00 00", kOut, 0, 50},
        {"SerialFlashRead", [=](auto& t) { return SerialFlashRead(t, 0x018000, in(512)); },
         "FF 04 10 01 80 00 00 00 00 00 00 00", kIn, 512, kSetting},
        {"SerialFlashWrite", [](auto& t) { return SerialFlashWrite(t, 0x4000, Filled(16384)); },
         "FF 04 11 00 40 00 00 00 00 00 00 00", kOut, 16384, 50, Filled(16384)},
        {"SerialFlashStatus",
         [](auto& t) {
             std::uint8_t s;
             return SerialFlashStatus(t, s);
         },
         "FF 04 12 00 00 00 00 00 00 00 00 00", kIn, 2, kSetting},
        {"SerialFlashChipErase", [](auto& t) { return SerialFlashChipErase(t); },
         "FF 04 13 00 00 00 00 00 00 00 00 00", kOut, 0, 100},
        {"SerialFlashEraseBlock", [](auto& t) { return SerialFlashEraseBlock(t, 0x8000); },
         "FF 04 14 00 80 00 00 00 00 00 00 00", kOut, 0, 50},
        {"SerialFlashReadId 4", [=](auto& t) { return SerialFlashReadId(t, 0x9F, false, in(4)); },
         "FF 04 15 04 9F 00 00 00 00 00 00 00", kIn, 4, kSetting},
        {"SerialFlashReadId 3 address form",
         [=](auto& t) { return SerialFlashReadId(t, 0xAB, true, in(3)); },
         "FF 04 15 03 AB 03 00 00 00 00 00 00", kIn, 3, kSetting},
        {"SpiCommand write enable", [](auto& t) { return SpiCommand(t, Hex("01 00 06")); },
         "FF 04 20 01 00 06 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiCommand enable status write", [](auto& t) { return SpiCommand(t, Hex("01 00 50")); },
         "FF 04 20 01 00 50 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiCommand write status", [](auto& t) { return SpiCommand(t, Hex("01 01 01")); },
         "FF 04 20 01 01 01 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiCommand clear status",
         [](auto& t) { return SpiCommand(t, Hex("02 00 01 00"), Hex("01 00")); },
         "FF 04 20 02 00 01 00 00 00 00 00 00", kOut, 2, 50, Hex("01 00")},
        {"SpiCommand read id", [](auto& t) { return SpiCommand(t, Hex("01 01 9F")); },
         "FF 04 20 01 01 9F 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiCommand word program start",
         [](auto& t) { return SpiCommand(t, Hex("04 01 AD 01 40 00")); },
         "FF 04 20 04 01 AD 01 40 00 00 00 00", kOut, 0, 50},
        {"SpiCommand word program next", [](auto& t) { return SpiCommand(t, Hex("01 01 AD")); },
         "FF 04 20 01 01 AD 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiCommand word program pair",
         [](auto& t) { return SpiCommand(t, Hex("03 00 AD 12 34")); },
         "FF 04 20 03 00 AD 12 34 00 00 00 00", kOut, 0, 50},
        {"SpiCommand write disable", [](auto& t) { return SpiCommand(t, Hex("01 00 04")); },
         "FF 04 20 01 00 04 00 00 00 00 00 00", kOut, 0, 50},
        {"SpiRead", [=](auto& t) { return SpiRead(t, in(4)); },
         "FF 04 21 00 00 00 00 00 04 00 00 00", kIn, 4, kSetting},
        {"SpiWrite", [](auto& t) { return SpiWrite(t, Hex("00 00")); },
         "FF 04 22 00 00 00 00 00 02 00 00 00", kOut, 2, 50, Hex("00 00")},
        {"Service23Read", [=](auto& t) { return Service23Read(t, in(4)); },
         "FF 04 23 04 00 00 00 00 00 00 00 00", kIn, 4, kSetting},
        {"ReadConfigWord",
         [=](auto& t) {
             return ReadConfigWord(t, {0x11, 0x22, 0x33, 0x44, 0x55}, in(2));
         },
         "FF 04 24 02 11 22 33 55 01 00 00 00", kIn, 2, kSetting},
        {"ReadConfigWordAt", [=](auto& t) { return ReadConfigWordAt(t, 32, in(2)); },
         "FF 04 25 02 08 00 00 00 00 00 00 00", kIn, 2, kSetting},
        {"Service25", [](auto& t) { return Service25(t); }, "FF 04 25 00 00 00 00 00 00 00 00 00",
         kOut, 0, 50},
        {"ResetBridge", [](auto& t) { return ResetBridge(t); },
         "FF 04 26 56 51 00 00 00 00 00 00 00", kIn, 0, kSetting},
        {"ReadSubRevision", [=](auto& t) { return ReadSubRevision(t, in(40)); },
         "FF 04 30 08 00 00 00 00 00 00 00 00", kIn, 40, kSetting},
        {"ReadChipInfo", [=](auto& t) { return ReadChipInfo(t, in(20)); },
         "FF 04 A0 14 00 00 00 00 00 00 00 00", kIn, 20, kSetting},
        {"SetStandbyTimer on", [](auto& t) { return SetStandbyTimer(t, 10, true); },
         "FF 04 A3 01 00 00 17 70 00 00 00 00", kIn, 0, kSetting},
        {"SetStandbyTimer option off", [](auto& t) { return SetStandbyTimer(t, 10, false); },
         "FF 04 A3 00 00 00 17 70 00 00 00 00", kIn, 0, kSetting},
        {"SetStandbyTimer zero time", [](auto& t) { return SetStandbyTimer(t, 0, true); },
         "FF 04 A3 00 00 00 00 00 00 00 00 00", kIn, 0, kSetting},
        {"ModeControl request",
         [](auto& t) {
             std::uint8_t a;
             return ModeControl(t, 2, a);
         },
         "FF 04 C8 02 00 00 00 00 00 00 00 00", kIn, 2, kSetting},
        {"ModeControl set value", [](auto& t) { return ModeControlSetValue(t, 0x33); },
         "FF 04 C8 05 33 00 00 00 00 00 00 00", kIn, 0, kSetting},
        {"Service56", [](auto& t) { return Service56(t); }, "FF 04 56 51 55 00 00 00 00 00 00 00",
         kOut, 0, 50},

        // Identification.
        {"IdentifyBridge", [=](auto& t) { return IdentifyBridge(t, in(16)); },
         "E0 F4 E7 00 00 00 00 00 00 00 00 00", kIn, 16, kSetting},

        // Standard SCSI and ATA pass-through.
        {"Inquiry", [=](auto& t) { return Inquiry(t, in(40)); },
         "12 00 00 00 28 00 00 00 00 00 00 00", kIn, 40, kSetting},
        {"InquiryVpdC3", [=](auto& t) { return InquiryVpdC3(t, in(84)); },
         "12 01 C3 00 54 00 00 00 00 00 00 00", kIn, 84, kSetting},
        {"ReadCapacity10",
         [](auto& t) {
             std::uint32_t a, b;
             return ReadCapacity10(t, a, b);
         },
         "25 00 00 00 00 00 00 00 00 00 00 00", kIn, 8, kSetting},
        {"ReadCapacity16",
         [](auto& t) {
             std::uint64_t a;
             std::uint32_t b;
             return ReadCapacity16(t, a, b);
         },
         "9E 10 00 00 00 00 00 00 00 00 00 00 00 10 00 00", kIn, 16, kSetting},
        {"AtaReadDmaExt", [=](auto& t) { return AtaReadDmaExt(t, 0x123456789ABC, 8, in(4096)); },
         "85 15 0B 00 00 00 08 56 BC 34 9A 12 78 60 25 00", kIn, 4096, kSetting},
        {"AtaWriteDmaExt",
         [](auto& t) { return AtaWriteDmaExt(t, 0x0000FEDCBA98, 1, Filled(512)); },
         "85 17 03 00 00 00 01 FE 98 00 BA 00 DC 60 35 00", kOut, 512, 50, Filled(512)},
        {"AtaFlushCache", [](auto& t) { return AtaFlushCache(t); },
         "A1 06 0E 00 00 00 00 00 A0 EA 00 00", kOut, 0, 50},
        {"AtaIdentifyPassThrough", [=](auto& t) { return AtaIdentifyPassThrough(t, in(512)); },
         "A1 08 0E 00 01 00 00 00 A0 EC 00 00", kIn, 512, kSetting},
        {"ModeSensePowerPage", [=](auto& t) { return ModeSensePowerPage(t, in(48)); },
         "5A 08 1A 00 00 00 00 00 30 00", kIn, 48, kSetting},
        {"ModeSelectPowerPage on", [](auto& t) { return ModeSelectPowerPage(t, 10, true); },
         "55 01 00 00 00 00 00 00 30 00", kOut, 48, 50, PowerPage(true)},
        {"ModeSelectPowerPage option off",
         [](auto& t) { return ModeSelectPowerPage(t, 10, false); }, "55 01 00 00 00 00 00 00 30 00",
         kOut, 48, 50, PowerPage(false)},
        {"ModeSelectPowerPage zero time", [](auto& t) { return ModeSelectPowerPage(t, 0, true); },
         "55 01 00 00 00 00 00 00 30 00", kOut, 48, 50, PowerPage(false)},
        {"ReadBuffer", [=](auto& t) { return ReadBuffer(t, 1, 0, 0x010000, in(4096)); },
         "3C 01 00 01 00 00 00 10 00 00", kIn, 4096, kSetting},
        {"WriteBuffer", [](auto& t) { return WriteBuffer(t, 6, 1, 0x8000, Filled(512)); },
         "3B 06 01 00 80 00 00 02 00 00", kOut, 512, 50, Filled(512)},
        {"WriteBuffer activate", [](auto& t) { return WriteBuffer(t, 0x0F, 1, 0x8000, Filled(8)); },
         "3B 0F 00 00 00 00 00 00 00 00", kOut, 0, 50},
        {"VendorBlockC3", [](auto& t) { return VendorBlockC3(t, 0x1234, 0x5678, Filled(72)); },
         "C3 30 00 00 12 34 56 78 00 48 00 00", kOut, 72, 50, Filled(72)},
    };
}

TEST(VendorCommands, EveryBlockIsSentByteForByte) {
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport(scsi, clock, TransportSettings{kSetting});
    const Target dev{transport, "\\\\.\\F:"};
    scsi.handler = [](const test::Sent&) { return std::optional<Reply>(Reply{{0xC2}}); };
    for (const auto& g : Table()) {
        SCOPED_TRACE(g.name);
        scsi.sent.clear();
        EXPECT_TRUE(g.send(dev));
        ASSERT_EQ(scsi.sent.size(), 1u);
        const auto& s = scsi.sent[0];
        EXPECT_EQ(HexOf(s.cdb), g.cdb);
        EXPECT_EQ(s.direction, g.direction);
        EXPECT_EQ(s.length, g.length);
        EXPECT_EQ(s.timeout, g.timeout);
        if (g.direction == kOut && g.length > 1) {
            EXPECT_EQ(s.data, g.data);
        }
    }
}

TEST(VendorCommands, LengthsTheBlockCannotCarryAreRefusedUnsent) {
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport(scsi, clock);
    const Target dev{transport, "p"};
    Bytes8 big(0x10000), small(3);
    EXPECT_FALSE(ReadXdata(dev, 0, big));
    EXPECT_FALSE(ReadMemory(dev, 0, big));
    EXPECT_FALSE(WriteMemory(dev, 0, 0, big));
    EXPECT_FALSE(SpiRead(dev, big));
    EXPECT_FALSE(SpiWrite(dev, Bytes8(256)));
    Bytes8 answer(256);
    EXPECT_FALSE(Inquiry(dev, answer));
    EXPECT_FALSE(ReadChipInfo(dev, answer));
    EXPECT_FALSE(SpiCommand(dev, Bytes8(10)));
    EXPECT_FALSE(VendorBlockC3(dev, 1, 2, small));
    EXPECT_TRUE(scsi.sent.empty());
}

TEST(VendorCommands, AnswersAreDecodedAsTheirFieldsSay) {
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport(scsi, clock);
    const Target dev{transport, "p"};
    scsi.on("DF 10 00 00 02", Reply{Hex("12 34")});
    scsi.on("25", Reply{Hex("00 01 00 00 00 00 10 00")});
    scsi.on("9E", Reply{Hex("00 00 00 01 00 00 00 00 00 00 02 00")});
    std::uint16_t word = 0;
    ASSERT_TRUE(ReadChipWord(dev, word));
    EXPECT_EQ(word, 0x3412);  // low byte first
    std::uint32_t last = 0, block = 0;
    ASSERT_TRUE(ReadCapacity10(dev, last, block));
    EXPECT_EQ(last, 0x00010000u);
    EXPECT_EQ(block, 4096u);
    std::uint64_t last64 = 0;
    ASSERT_TRUE(ReadCapacity16(dev, last64, block));
    EXPECT_EQ(last64, 0x100000000ull);
    EXPECT_EQ(block, 512u);
    scsi.fail("25");
    EXPECT_FALSE(ReadCapacity10(dev, last, block));
    EXPECT_EQ(block, 512u);
}

TEST(VendorCommands, SmartStatusNeedsTheAnswerC2) {
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport(scsi, clock);
    const Target dev{transport, "p"};
    scsi.on("DF 10 00 00 01 DA", Reply{Hex("C2")});
    EXPECT_TRUE(AtaSmartStatus(dev));
    scsi.on("DF 10 00 00 01 DA", Reply{Hex("2C")});
    EXPECT_FALSE(AtaSmartStatus(dev));
}

TEST(VendorCommands, AtaIdentifyChoosesDrivesAndCommandsFromThePresenceRegister) {
    struct Row {
        std::uint8_t flags;
        std::vector<std::string> identifies;  // blocks sent after the register read
        bool result;
    } rows[] = {
        {0x00, {}, false},
        {0x04, {"DF 10 00 02 00 00 00 00 00 00 A0 EC"}, true},
        {0x05, {"DF 10 00 02 00 00 00 00 00 00 A0 A1"}, true},
        {0x40, {"DF 10 00 02 00 00 00 00 00 00 B0 EC"}, true},
        {0x50, {"DF 10 00 02 00 00 00 00 00 00 B0 A1"}, true},
        {0x44,
         {"DF 10 00 02 00 00 00 00 00 00 A0 EC", "DF 10 00 02 00 00 00 00 00 00 B0 EC"},
         false},  // the slave's answer fails: the last command decides
        {0x01, {}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.flags));
        FakeScsi scsi;
        test::ManualClock clock;
        Transport transport(scsi, clock);
        const Target dev{transport, "p"};
        scsi.on("DF 10 00 00 01 00 72 0F", Reply{{r.flags}});
        scsi.on("DF 10 00 02 00 00 00 00 00 00 A0", Reply{Bytes8(512, 0x11)});
        if (r.flags != 0x44)
            scsi.on("DF 10 00 02 00 00 00 00 00 00 B0", Reply{Bytes8(512, 0x22)});
        Bytes8 out(512);
        EXPECT_EQ(AtaIdentify(dev, out), r.result);
        auto blocks = scsi.blocks();
        ASSERT_FALSE(blocks.empty());
        EXPECT_EQ(blocks[0], "DF 10 00 00 01 00 72 0F 00 00 00 FD");
        blocks.erase(blocks.begin());
        EXPECT_EQ(blocks, r.identifies);
    }
}

}  // namespace
}  // namespace vq::bridge
