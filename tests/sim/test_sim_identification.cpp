// Identification answers of every chip kind, the register space and the pass-through
// rules of the emulated bridge.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

constexpr const char* kInquiry = "12 00 00 00 28 00 00 00 00 00 00 00";
constexpr const char* kChipWord = "DF 10 00 00 02 00 00 00 00 00 00 FF";
constexpr const char* kIdentify = "E0 F4 E7 00 00 00 00 00 00 00 00 00";
constexpr const char* kSubRevision = "FF 04 30 08 00 00 00 00 00 00 00 00";
constexpr const char* kChipInfo = "FF 04 A0 14 00 00 00 00 00 00 00 00";

std::string Text(const std::vector<std::uint8_t>& d, std::size_t from, std::size_t n) {
    return std::string(d.begin() + static_cast<std::ptrdiff_t>(from),
                       d.begin() + static_cast<std::ptrdiff_t>(from + n));
}

struct KindRow {
    int kind;
    const char* inquiryCode;  // nullptr: bytes 36-39 carry no code
    const char* number;       // nullptr: IdentifyBridge is refused
    const char* subRevision;  // nullptr: ReadSubRevision is refused
    int chipWordBits;
};

// One row per ChipKind: what the device answers to the identification commands.
const KindRow kKinds[] = {
    {1, "v424", "424", nullptr, 0},     {2, "v424", "424", "v424B1", 0},
    {3, "v424", "424", "v424C1", 0},    {4, "v429", "429", nullptr, 0},
    {5, "v429", "429", "v429C0", 0},    {6, "v429", "429", "v429C3", 0},
    {7, "v429", "429", "v429E0", 0},    {8, "v418", "418", nullptr, 0},
    {9, "v433", "433", nullptr, 0},     {10, "v434", "434", nullptr, 0},
    {11, "v437", "437", nullptr, 0},    {12, "v438", "438", nullptr, 0},
    {13, "v653", "653", nullptr, 0},    {14, "v427", "427", nullptr, 0},
    {15, "v427", "427", "v427A1", 0},   {16, "v427", "427", "v427A3", 0},
    {17, "v614", "614", nullptr, 0},    {18, "v621", "621", nullptr, 0},
    {19, "v646", "646", nullptr, 0},    {20, "v688", "688", nullptr, 0},
    {21, "v671", "671", nullptr, 0},    {22, "v672", "672", nullptr, 0},
    {23, "v673", "673", nullptr, 0},    {24, "v675", "675", nullptr, 0},
    {25, "v705", "705", nullptr, 0},    {26, "v702", "702", nullptr, 0},
    {27, "v708", "708", nullptr, 0},    {28, "v712", "712", nullptr, 0},
    {29, "v930", "930", nullptr, 0},    {30, "v426", "426", nullptr, 0},
    {31, nullptr, nullptr, nullptr, 0}, {32, nullptr, nullptr, nullptr, 1},
    {33, nullptr, nullptr, nullptr, 2}, {34, nullptr, nullptr, nullptr, 3},
    {35, nullptr, "426", nullptr, 0},
};

TEST(SimIdentification, EveryKindAnswersItsOwnIdentification) {
    for (const auto& row : kKinds) {
        SCOPED_TRACE("kind " + std::to_string(row.kind));
        BridgeConfig cfg = Kind(static_cast<std::uint8_t>(row.kind));
        cfg.revision = 2;
        Rig rig(cfg);

        auto inq = rig.in(kInquiry, 40);
        ASSERT_TRUE(inq.good());
        EXPECT_EQ(inq.result.bytesTransferred, 40u);
        EXPECT_EQ(Text(inq.data, 36, 4), row.inquiryCode ? row.inquiryCode : "    ");

        auto word = rig.in(kChipWord, 2);
        ASSERT_TRUE(word.good());
        EXPECT_EQ((word.data[0] >> 5) & 3, row.chipWordBits);

        auto id = rig.in(kIdentify, 16);
        if (!row.number) {
            EXPECT_EQ(id.result.scsiStatus, 2);
        } else {
            ASSERT_TRUE(id.good());
            EXPECT_EQ(id.data[0], 0xF4);
            EXPECT_EQ(id.data[1], 0xE7);
            EXPECT_EQ(Text(id.data, 8, 4), std::string(row.number) + "2");
        }

        auto sub = rig.in(kSubRevision, 40);
        if (!row.subRevision) {
            EXPECT_EQ(sub.result.scsiStatus, 2);
        } else {
            ASSERT_TRUE(sub.good());
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(sub.data.data())), row.subRevision);
        }
    }
}

TEST(SimIdentification, ChipInfoCarriesStepCodesAndFlags) {
    BridgeConfig cfg = Kind(8);
    cfg.stepCode = 0xAB;
    cfg.extraStepCode = 0xD2;
    cfg.chipFlag = 1;
    cfg.diskFirmwareMark = 1;
    Rig rig(cfg);
    auto a = rig.in(kChipInfo, 20);
    ASSERT_TRUE(a.good());
    EXPECT_EQ(a.result.bytesTransferred, 20u);
    EXPECT_EQ(a.data[8], 0xAB);
    EXPECT_EQ(a.data[16], 1);
    EXPECT_EQ(a.data[17], 1);
    EXPECT_EQ(a.data[18], 0xD2);
    EXPECT_EQ(Rig(Kind(17)).in(kChipInfo, 20).data[8], 0xA9);  // the kind's own step
}

TEST(SimIdentification, FirmwareVersionBytesFollowFirmwarePresence) {
    BridgeConfig with = Kind(11);
    with.firmwareVersion = {3, 4, 5, 6, 7, 8};
    auto a = Rig(with).in(kIdentify, 16);
    EXPECT_EQ(std::vector<std::uint8_t>(a.data.begin() + 6, a.data.begin() + 8),
              (std::vector<std::uint8_t>{3, 4}));
    EXPECT_EQ(std::vector<std::uint8_t>(a.data.begin() + 12, a.data.end()),
              (std::vector<std::uint8_t>{5, 6, 7, 8}));
    BridgeConfig without = Kind(11);
    without.firmwarePresent = false;
    auto b = Rig(without).in(kIdentify, 16);  // boot loader: 7.07.00.16.00
    EXPECT_EQ(b.data[6], 7);
    EXPECT_EQ(b.data[7], 7);
    EXPECT_EQ(b.data[13], 16);
    // The older chips answer twelve bytes only.
    EXPECT_EQ(Rig(Kind(1)).in(kIdentify, 16).result.bytesTransferred, 12u);
}

TEST(SimIdentification, FirmwareFlagsAndSignatureRevealFirmware) {
    Rig with(Kind(4));
    auto flags = with.in("DF 10 00 00 04 00 70 38 00 00 00 FD", 4);
    ASSERT_TRUE(flags.good());
    EXPECT_EQ(flags.data[2] & 1, 1);
    auto sig = with.in("DF 10 00 00 0A 00 C0 00 00 00 00 FD", 10);
    EXPECT_EQ(std::vector<std::uint8_t>(sig.data.begin(), sig.data.begin() + 4),
              (std::vector<std::uint8_t>{0x55, 0xAA, 0xAA, 0x55}));
    EXPECT_EQ(Text(sig.data, 4, 3), "429");

    BridgeConfig none = Kind(4);
    none.firmwarePresent = false;
    Rig without(none);
    EXPECT_EQ(without.in("DF 10 00 00 04 00 70 38 00 00 00 FD", 4).data[2] & 1, 0);
    EXPECT_EQ(without.in("DF 10 00 00 0A 00 C0 00 00 00 00 FD", 10).data[0], 0);
    // Kind 19's flag sits in 0x70F3.
    EXPECT_EQ(Rig(Kind(19)).in("DF 10 00 00 04 00 70 F0 00 00 00 FD", 4).data[3] & 1, 1);
}

TEST(SimIdentification, PresenceRegisterReflectsTheDrives) {
    struct Row {
        bool master, masterPacket, slave, slavePacket;
        int value;
    };
    const Row rows[] = {{false, false, false, false, 0x00},
                        {true, false, false, false, 0x04},
                        {true, true, false, false, 0x05},
                        {true, false, true, true, 0x54},
                        {false, false, true, false, 0x40}};
    for (const auto& r : rows) {
        BridgeConfig cfg;
        cfg.master.reset();
        if (r.master) {
            cfg.master = DriveConfig{};
            cfg.master->packet = r.masterPacket;
        }
        if (r.slave) {
            cfg.slave = DriveConfig{};
            cfg.slave->packet = r.slavePacket;
        }
        Rig rig(cfg);
        auto a = rig.in("DF 10 00 00 01 00 72 0F 00 00 00 FD", 2);  // one byte sent as two
        ASSERT_TRUE(a.good());
        EXPECT_EQ(a.result.bytesTransferred, 1u);
        EXPECT_EQ(a.data[0], r.value);
    }
}

TEST(SimIdentification, RegistersReadBackWhatWasWritten) {
    Rig rig(Kind(6));
    ASSERT_TRUE(rig.out("DF 00 00 00 02 00 70 58 00 00 00 FE", {0x00, 0x08}).good());
    ASSERT_TRUE(rig.out("DF 00 00 00 01 00 70 59 00 00 00 FE", {0x18, 0x00}).good());
    auto a = rig.in("DF 10 00 00 02 00 70 58 00 00 00 FD", 2);
    EXPECT_EQ(a.data, (std::vector<std::uint8_t>{0x00, 0x18}));
    EXPECT_EQ(rig.bridge->powerControlLines(), 0x18);
    // The presence register cannot be written.
    ASSERT_TRUE(rig.out("DF 00 00 00 01 00 72 0F 00 00 00 FE", {0xFF, 0x00}).good());
    EXPECT_EQ(rig.in("DF 10 00 00 01 00 72 0F 00 00 00 FD", 2).data[0], 0x04);
    // Beyond the 64 KiB space.
    EXPECT_EQ(rig.in("DF 10 00 00 04 00 FF FE 00 00 00 FD", 4).result.scsiStatus, 2);
}

TEST(SimIdentification, StrappedRegisterBitsReadTheirLevel) {
    BridgeConfig cfg = Kind(13);
    cfg.straps.push_back({0x506A, 0x01, 0x01});
    Rig rig(cfg);
    ASSERT_TRUE(rig.out("DF 00 00 00 01 00 50 6A 00 00 00 FE", {0x00, 0x00}).good());
    EXPECT_EQ(rig.in("DF 10 00 00 01 00 50 6A 00 00 00 FD", 2).data[0], 0x01);
    ASSERT_TRUE(rig.out("DF 00 00 00 01 00 50 6A 00 00 00 FE", {0xF0, 0x00}).good());
    EXPECT_EQ(rig.in("DF 10 00 00 01 00 50 6A 00 00 00 FD", 2).data[0], 0xF1);
    // Without the strap the register reads back what was written.
    Rig plain(Kind(13));
    ASSERT_TRUE(plain.out("DF 00 00 00 01 00 50 6A 00 00 00 FE", {0x00, 0x00}).good());
    EXPECT_EQ(plain.in("DF 10 00 00 01 00 50 6A 00 00 00 FD", 2).data[0], 0x00);
}

TEST(SimPassThrough, SixteenBoardsAnswerFromTheirOwnThreads) {
    SimPlatform sim;
    std::vector<AddedBridge> boards;
    for (std::uint8_t k = 1; k <= 16; ++k)
        boards.push_back(sim.addBridge(Kind(k)));
    std::vector<int> good(16, 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        workers.emplace_back([&, i] {
            const auto cdb = Hex("DF 10 00 02 00 00 00 00 00 00 A0 EC");
            std::vector<std::uint8_t> buf(512);
            for (int n = 0; n < 200; ++n) {
                auto dev = sim.scsi().open(boards[i].physicalDrivePath);
                ScsiRequest r{cdb, DataDirection::In, buf, 10};
                good[i] += dev && dev->execute(r).scsiStatus == 0 ? 1 : 0;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    for (std::size_t i = 0; i < boards.size(); ++i) {
        EXPECT_EQ(good[i], 200) << i;
        EXPECT_EQ(boards[i].deviceNumber, i + 1);
        EXPECT_EQ(boards[i].bridge->trace().size(), 200u);
    }
}

TEST(SimPassThrough, AbsentPathsFailToOpenAndBadBlocksAnswerCheckCondition) {
    Rig rig;
    std::uint32_t err = 0;
    EXPECT_EQ(rig.sim.scsi().open("\\\\.\\PhysicalDrive9", &err), nullptr);
    EXPECT_EQ(err, 2u);
    EXPECT_NE(rig.sim.scsi().open("\\\\.\\physicaldrive1"), nullptr);  // case does not matter
    EXPECT_EQ(rig.added.physicalDrivePath, "\\\\.\\PhysicalDrive1");
    const char* bad[] = {"C7 00 00 00 00 00 00 00 00 00 00 00",   // unknown opcode
                         "FF 05 00 00 00 00 00 00 00 00 00 00",   // wrong service group
                         "FF 04 77 00 00 00 00 00 00 00 00 00",   // unknown service code
                         "E0 F4 00 00 00 00 00 00 00 00 00 00",   // identification without E7
                         "DF 10 00 00 02 00 00 00 00 00 00 FC",   // unknown sub-code
                         "FF 04 26 00 00 00 00 00 00 00 00 00"};  // reset without its key
    for (const char* cdb : bad) {
        SCOPED_TRACE(cdb);
        auto a = rig.in(cdb, 16);
        EXPECT_TRUE(a.result.callSucceeded);
        EXPECT_EQ(a.result.scsiStatus, 2);
    }
    // A read asked for in the wrong direction, or with too small a buffer.
    EXPECT_EQ(rig.out("DF 10 00 00 02 00 70 38 00 00 00 FD", {0, 0}).result.scsiStatus, 2);
    EXPECT_EQ(rig.in("DF 10 00 00 04 00 70 38 00 00 00 FD", 2).result.scsiStatus, 2);
    // A block shorter than six bytes is refused by the system.
    auto dev = rig.open();
    const std::uint8_t tiny[] = {0x12, 0};
    ScsiRequest r;
    r.cdb = tiny;
    EXPECT_FALSE(dev->execute(r).callSucceeded);
    auto dn = dev->deviceNumber();
    ASSERT_TRUE(dn);
    EXPECT_EQ(dn->deviceType, 7u);
    EXPECT_EQ(dn->deviceNumber, 1u);
}

TEST(SimPassThrough, EveryCommandIsTracedAndTakesEmulatedTime) {
    Rig rig;
    const auto t0 = rig.sim.clock().nowNs();
    rig.in(kInquiry, 40);
    rig.in("C7 00 00 00 00 00", 0);
    EXPECT_GT(rig.sim.clock().nowNs(), t0);
    auto t = rig.bridge->trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, CommandKind::Inquiry);
    EXPECT_EQ(t[0].cdb[4], 0x28);
    EXPECT_EQ(t[0].length, 40u);
    EXPECT_EQ(t[1].result.scsiStatus, 2);
    EXPECT_NE(FormatTraceRecord(t[0]).find("Inquiry"), std::string::npos);
}

}  // namespace
}  // namespace vq::sim::test
