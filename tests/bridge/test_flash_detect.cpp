// Flash detection against a scripted serial flash: the manufacturer tables in their order,
// every probe step, and the choice of probe by chip kind.
#include "bridge/FlashDetect.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <vector>

#include "FakeScsi.h"

namespace vq::bridge {
namespace {

using test::FakeScsi;
using test::Hex;
using test::Reply;
using Bytes8 = std::vector<std::uint8_t>;

// A flash behind the bridge: what it answers to each identification opcode, through raw
// transactions (SpiCommand then SpiRead) and through the bridge's own command.
struct FlashScript {
    std::map<std::uint8_t, Bytes8> spi;
    std::map<std::tuple<std::uint8_t, bool, std::size_t>, Bytes8> readId;  // op, 3-address, n
    std::optional<std::uint8_t> service23;  // nullopt: the command fails
    std::uint8_t lastOp = 0;

    std::optional<Reply> operator()(const test::Sent& s) {
        if (s.cdb[0] != 0xFF || s.cdb[1] != 0x04)
            return std::nullopt;
        switch (s.cdb[2]) {
            case 0x20:
                lastOp = s.cdb[5];
                return Reply{};
            case 0x21:
                return Reply{spi.count(lastOp) ? spi[lastOp] : Bytes8(4, 0)};
            case 0x15: {
                const auto key = std::make_tuple(s.cdb[4], s.cdb[5] == 0x03, std::size_t{s.cdb[3]});
                return Reply{readId.count(key) ? readId[key] : Bytes8(4, 0)};
            }
            case 0x23:
                if (!service23)
                    return Reply{{}, true, 0, 2};
                return Reply{{*service23, 0, 0, 0}};
            default:
                return std::nullopt;
        }
    }
};

class FlashDetectTest : public ::testing::Test {
  protected:
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport{scsi, clock};
    Target dev{transport, "\\\\.\\I:"};
    FlashScript flash;
    void SetUp() override {
        scsi.handler = [this](const test::Sent& s) { return flash(s); };
    }
};

TEST_F(FlashDetectTest, JedecAnswersGoThroughTheManufacturerTableInOrder) {
    struct Row {
        const char* answer;
        FlashType probeA;
        FlashType probeB;
    } rows[] = {
        {"7F 37 00 00", 9, 9},     {"37 30 00 00", 9, 9},     {"1F 40 13 00", 6, 6},
        {"C2 20 15 00", 7, 7},     {"EF 40 16 00", 8, 8},     {"20 20 15 00", 5, 5},
        {"1C 31 13 00", 10, 10},   {"8C 20 15 00", 11, 11},   {"7F 9D 46 00", 3, 3},
        {"62 06 13 00", 12, 12},   {"C8 40 13 00", 13, 13},   {"A1 31 13 00", 14, 14},
        {"9D 40 13 00", 15, 15},   {"9D 60 13 00", 255, 15},  {"E0 40 10 00", 16, 17},
        {"E0 40 13 00", 16, 16},   {"0B 40 13 00", 255, 19},  {"0B 40 11 00", 255, 18},
        {"5E 40 11 00", 255, 18},  {"85 60 13 00", 255, 20},  {"68 40 15 00", 255, 18},
        {"7F 00 00 00", 255, 255}, {"9D 9D 00 00", 255, 255}, {"00 00 00 00", 255, 255},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.answer);
        flash.spi = {{0x9F, Hex(r.answer)}};
        flash.readId = {{{0x9F, false, 4}, Hex(r.answer)}};
        EXPECT_EQ(ProbeFlashA(dev).type, r.probeA);
        EXPECT_EQ(ProbeFlashB(dev).type, r.probeB);
    }
}

TEST_F(FlashDetectTest, ProbeAFallsBackThroughItsOpcodes) {
    using Spi = std::map<std::uint8_t, Bytes8>;
    using Id = std::map<std::tuple<std::uint8_t, bool, std::size_t>, Bytes8>;
    struct Row {
        const char* name;
        Spi spi;
        Id readId;
        FlashType type;
    } rows[] = {
        {"0x90 with BF", {{0x90, Hex("00 00 00 BF")}}, {}, 4},
        {"0xAB with 9D", {{0xAB, Hex("00 00 00 9D")}}, {}, 3},
        {"0xAB with 05", {{0xAB, Hex("00 00 00 05")}}, {}, 5},
        {"0x15 with 1F", {{0x15, Hex("1F 00 00 00")}}, {}, 6},
        {"bridge 0x15 with 1F", {}, {{{0x15, false, 3}, Hex("1F 00 00")}}, 6},
        {"bridge 0xAB with 05", {}, {{{0xAB, true, 3}, Hex("05 00 00")}}, 5},
        {"0x90 answer in the wrong byte", {{0x90, Hex("BF 00 00 00")}}, {}, 255},
        {"unknown JEDEC then 0x90",
         {{0x9F, Hex("55 55 55 55")}, {0x90, Hex("00 00 00 BF")}},
         {},
         4},
        {"nothing", {}, {}, 255},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        flash.spi = r.spi;
        flash.readId = r.readId;
        EXPECT_EQ(ProbeFlashA(dev).type, r.type);
    }
    scsi.sent.clear();
    flash.spi.clear();
    flash.readId.clear();
    const FlashProbe none = ProbeFlashA(dev);
    EXPECT_FALSE(none.found());
    EXPECT_EQ(scsi.blocks(), (std::vector<std::string>{
                                 "FF 04 20 01 01 9F 00 00 00 00 00 00",
                                 "FF 04 21 00 00 00 00 00 04 00 00 00",
                                 "FF 04 20 01 01 90 00 00 00 00 00 00",
                                 "FF 04 21 00 00 00 00 00 04 00 00 00",
                                 "FF 04 20 01 01 AB 00 00 00 00 00 00",
                                 "FF 04 21 00 00 00 00 00 04 00 00 00",
                                 "FF 04 20 01 01 15 00 00 00 00 00 00",
                                 "FF 04 21 00 00 00 00 00 04 00 00 00",
                                 "FF 04 15 03 15 00 00 00 00 00 00 00",
                                 "FF 04 15 03 AB 03 00 00 00 00 00 00",
                             }));
}

TEST_F(FlashDetectTest, ProbeBFallsBackThroughItsOpcodes) {
    using Id = std::map<std::tuple<std::uint8_t, bool, std::size_t>, Bytes8>;
    struct Row {
        const char* name;
        Id readId;
        FlashType type;
    } rows[] = {
        {"0x90 with BF", {{{0x90, false, 4}, Hex("00 00 00 BF")}}, 4},
        {"0xAB with 9D", {{{0xAB, true, 4}, Hex("00 00 00 9D")}}, 3},
        {"0xAB with 05 last", {{{0xAB, true, 4}, Hex("00 00 00 05")}}, 5},
        {"0x15 with 1F", {{{0x15, false, 4}, Hex("1F 00 00 00")}}, 6},
        {"0xAB with 05 first", {{{0xAB, true, 4}, Hex("05 00 00 00")}}, 5},
        {"nothing", {}, 255},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        flash.readId = r.readId;
        const FlashProbe p = ProbeFlashB(dev);
        EXPECT_EQ(p.type, r.type);
        if (p.found()) {
            EXPECT_EQ(Bytes8(p.id.begin(), p.id.end()), r.readId.begin()->second);
        }
    }
    scsi.sent.clear();
    ProbeFlashB(dev);
    EXPECT_EQ(scsi.blocks(), (std::vector<std::string>{
                                 "FF 04 15 04 9F 00 00 00 00 00 00 00",
                                 "FF 04 15 04 90 00 00 00 00 00 00 00",
                                 "FF 04 15 04 AB 03 00 00 00 00 00 00",
                                 "FF 04 15 04 15 00 00 00 00 00 00 00",
                                 "FF 04 15 04 AB 03 00 00 00 00 00 00",
                             }));
}

TEST_F(FlashDetectTest, ProbeCReadsOnceWithOpcodeZero) {
    struct Row {
        const char* answer;
        FlashType type;
    } rows[] = {
        {"C8 40 13 00", 13},  {"7F 40 00 00", 15},  {"9D 60 00 00", 15}, {"9D 9D 00 00", 15},
        {"7F 37 00 00", 255}, {"68 40 13 00", 18},  {"0E 40 11 00", 18}, {"0E 40 10 00", 255},
        {"E0 40 10 00", 17},  {"E0 40 11 00", 16},  {"85 60 00 00", 20}, {"0B 40 12 00", 19},
        {"0B 40 11 00", 19},  {"0B 40 14 00", 255}, {"68 40 00 00", 18}, {"1F 00 00 00", 255},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.answer);
        flash.readId = {{{0x00, false, 4}, Hex(r.answer)}};
        scsi.sent.clear();
        EXPECT_EQ(ProbeFlashC(dev).type, r.type);
        EXPECT_EQ(scsi.blocks(), (std::vector<std::string>{"FF 04 15 04 00 00 00 00 00 00 00 00"}));
    }
}

TEST_F(FlashDetectTest, DetectFlashTypeChoosesTheProbeByKindAndBridgeAnswer) {
    struct Row {
        const char* name;
        ChipKind kind;
        std::optional<std::uint8_t> service23;
        const char* jedecA;  // answer to 0x9F through raw transactions
        const char* jedecB;  // answer to 0x9F through the bridge's command
        const char* idC;     // answer to opcode 0
        FlashType type;
    } rows[] = {
        {"7 uses probe A", 7, 5, "C2 20 15 00", "EF 40 16 00", "", 7},
        {"18 uses probe A only", 18, std::nullopt, "", "EF 40 16 00", "", 255},
        {"bridge byte plus 2", 1, 5, "C2 20 15 00", "", "", 7},
        {"bridge byte 0 is none", 4, 0, "C2 20 15 00", "", "", 255},
        {"bridge fails", 4, std::nullopt, "C2 20 15 00", "", "", 255},
        {"13, byte 0, probe A", 13, 0, "C2 20 15 00", "", "", 7},
        {"13, byte 3, probe A", 13, 3, "EF 40 16 00", "", "", 8},
        {"19, byte 3, probe A finds nothing", 19, 3, "", "", "", 5},
        {"20, byte 1, no probe", 20, 1, "C2 20 15 00", "", "", 3},
        {"11, byte 0, no probe", 11, 0, "C2 20 15 00", "", "", 255},
        {"21, none, probe B", 21, 0, "", "85 60 13 00", "", 20},
        {"24, type 5, probe B", 24, 3, "", "0B 40 13 00", "", 19},
        {"22, type 7, no probe", 22, 5, "", "0B 40 13 00", "", 7},
        {"23, probe B finds nothing", 23, 3, "", "", "", 5},
        {"25, none, probe C", 25, 0, "", "", "C8 40 13 00", 13},
        {"27, type 3, probe C", 27, 1, "", "", "E0 40 10 00", 17},
        {"29, type 5, probe C", 29, 3, "", "", "0B 40 12 00", 19},
        {"28, type 8, no probe", 28, 6, "", "", "C8 40 13 00", 8},
        {"26, probe C finds nothing", 26, 1, "", "", "", 3},
        {"30, bridge byte", 30, 2, "", "", "", 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        flash.service23 = r.service23;
        flash.spi.clear();
        flash.readId.clear();
        if (*r.jedecA)
            flash.spi[0x9F] = Hex(r.jedecA);
        if (*r.jedecB)
            flash.readId[{0x9F, false, 4}] = Hex(r.jedecB);
        if (*r.idC)
            flash.readId[{0x00, false, 4}] = Hex(r.idC);
        EXPECT_EQ(DetectFlashType(r.kind, dev), r.type);
    }
}

TEST_F(FlashDetectTest, Kinds8And17CarryNoFlashAndAreNotAsked) {
    flash.service23 = 5;
    EXPECT_EQ(DetectFlashType(8, dev), kNoFlash);
    EXPECT_EQ(DetectFlashType(17, dev), kNoFlash);
    EXPECT_TRUE(scsi.sent.empty());
}

}  // namespace
}  // namespace vq::bridge
