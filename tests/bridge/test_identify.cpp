// Identification, firmware presence and drive capacity against scripted devices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeScsi.h"
#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"

namespace vq::bridge {
namespace {

using test::FakeScsi;
using test::Hex;
using test::Reply;
using Bytes8 = std::vector<std::uint8_t>;

constexpr const char* kInquiry = "12 00 00 00 28";
constexpr const char* kChipWord = "DF 10 00 00 02 00 00 00 00 00 00 FF";
constexpr const char* kIdentify = "E0 F4 E7";
constexpr const char* kSubRevision = "FF 04 30 08";
constexpr const char* kChipInfo = "FF 04 A0";

Bytes8 InquiryWithCode(const std::string& code) {
    Bytes8 b(40, 0x20);
    for (std::size_t i = 0; i < code.size() && i < 4; ++i)
        b[36 + i] = static_cast<std::uint8_t>(code[i]);
    return b;
}

Bytes8 Text(const std::string& s, std::size_t size) {
    Bytes8 b(size, 0);
    std::copy(s.begin(), s.end(), b.begin());
    return b;
}

// An identification answer: F4 E7, firmware bytes 6-7, chip number at 8-11, fields 12-15.
Bytes8 IdentifyAnswer(const std::string& number, std::uint8_t b6 = 0, std::uint8_t b7 = 0,
                      Bytes8 tail = {0, 0, 0, 0}) {
    Bytes8 b(16, 0);
    b[0] = 0xF4;
    b[1] = 0xE7;
    b[6] = b6;
    b[7] = b7;
    std::copy(number.begin(), number.end(), b.begin() + 8);
    std::copy(tail.begin(), tail.end(), b.begin() + 12);
    return b;
}

class IdentifyTest : public ::testing::Test {
  protected:
    FakeScsi scsi;
    test::ManualClock clock;
    Transport transport{scsi, clock};
    Target dev{transport, "\\\\.\\G:"};
};

TEST_F(IdentifyTest, InquiryCodesGiveTheirKinds) {
    const std::pair<const char*, ChipKind> rows[] = {
        {"v424", 1},  {"v426", 30}, {"v427", 14}, {"v429", 4},  {"v418", 8},  {"v433", 9},
        {"v614", 17}, {"v621", 18}, {"v653", 13}, {"v646", 19}, {"v688", 20}, {"v437", 11},
        {"v438", 12}, {"v671", 21}, {"v672", 22}, {"v673", 23}, {"v675", 24}, {"v705", 25},
        {"v708", 27}, {"v702", 26}, {"v712", 28}, {"v930", 29}};
    for (const auto& [code, kind] : rows) {
        SCOPED_TRACE(code);
        scsi.on(kInquiry, Reply{InquiryWithCode(code)});
        scsi.on(kChipInfo, Reply{Text("", 20)});
        EXPECT_EQ(IdentifyChip(dev), kind);
        EXPECT_EQ(KindOf(IdentifyChipWithRevision(dev)), kind);
    }
    // Neither the chip word nor the identification answer is asked once INQUIRY matched.
    for (const auto& block : scsi.blocks())
        EXPECT_NE(block.substr(0, 2), "E0");
}

TEST_F(IdentifyTest, IdentificationAnswerNumbersGiveKindsAndRevision) {
    const std::pair<const char*, ChipKind> rows[] = {
        {"4243", 1},  {"4263", 30}, {"4273", 14}, {"4293", 4},  {"4183", 8},  {"4333", 9},
        {"6143", 17}, {"6213", 18}, {"4373", 11}, {"4383", 12}, {"6533", 13}, {"6463", 19},
        {"6883", 20}, {"6713", 21}, {"6723", 22}, {"6733", 23}, {"6753", 24}, {"7053", 25},
        {"7083", 27}, {"7023", 26}, {"7123", 28}, {"9303", 29}};
    scsi.on(kInquiry, Reply{InquiryWithCode("ABCD")});
    scsi.on(kChipWord, Reply{Hex("00 00")});
    scsi.on(kChipInfo, Reply{Text("", 20)});
    for (const auto& [number, kind] : rows) {
        SCOPED_TRACE(number);
        scsi.on(kIdentify, Reply{IdentifyAnswer(number)});
        EXPECT_EQ(IdentifyChip(dev), kind);
        const ChipIdentity id = IdentifyChipWithRevision(dev);
        EXPECT_EQ(KindOf(id), kind);
        if (kind != 1 && kind != 8 && kind != 17) {
            EXPECT_EQ(RevisionOf(id), 3);
        }
    }
}

TEST_F(IdentifyTest, OlderFamilyIsKnownByTheChipWordAlone) {
    scsi.on(kInquiry, Reply{InquiryWithCode("    ")});
    scsi.fail(kIdentify);
    const std::pair<const char*, ChipKind> rows[] = {{"00 00", 31}, {"20 00", 32}, {"40 00", 33},
                                                     {"60 00", 34}, {"9F FF", 31}, {"DF 12", 33}};
    for (const auto& [word, kind] : rows) {
        SCOPED_TRACE(word);
        scsi.on(kChipWord, Reply{Hex(word)});
        EXPECT_EQ(IdentifyChip(dev), kind);
        EXPECT_EQ(IdentifyChipWithRevision(dev), MakeChipIdentity(kind, 0));
    }
}

TEST_F(IdentifyTest, NothingMatchedLeavesKindZero) {
    struct Row {
        const char* name;
        std::function<void(FakeScsi&)> script;
    } rows[] = {
        {"inquiry fails", [](FakeScsi& s) { s.fail(kInquiry); }},
        {"chip word fails",
         [](FakeScsi& s) {
             s.on(kInquiry, Reply{InquiryWithCode("v999")});
             s.fail(kChipWord);
             s.on(kIdentify, Reply{IdentifyAnswer("4240")});
         }},
        {"answer without F4 E7",
         [](FakeScsi& s) {
             s.on(kInquiry, Reply{InquiryWithCode("v999")});
             s.on(kChipWord, Reply{Hex("00 40")});
             auto a = IdentifyAnswer("4240");
             a[1] = 0xE8;
             s.on(kIdentify, Reply{a});
         }},
        {"unknown chip number",
         [](FakeScsi& s) {
             s.on(kInquiry, Reply{InquiryWithCode("v999")});
             s.on(kChipWord, Reply{Hex("00 40")});
             s.on(kIdentify, Reply{IdentifyAnswer("4340")});
         }},
        {"inquiry code in another case",
         [](FakeScsi& s) {
             s.on(kInquiry, Reply{InquiryWithCode("V424")});
             s.fail(kChipWord);
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FakeScsi fresh;
        Transport tr(fresh, clock);
        const Target t{tr, "p"};
        r.script(fresh);
        EXPECT_EQ(IdentifyChip(t), 0);
        EXPECT_EQ(IdentifyChipWithRevision(t), 0);
    }
}

TEST_F(IdentifyTest, SubRevisionRefinesTheModel) {
    struct Row {
        const char* inquiry;
        const char* subRevision;  // nullptr: the command fails
        ChipKind kind;
        ChipIdentity withRevision;
    } rows[] = {
        {"v429", "v429C3", 6, MakeChipIdentity(4, 4)},
        {"v429", "v429C0", 5, MakeChipIdentity(4, 1)},
        {"v429", "v429E", 7, MakeChipIdentity(7, 1)},
        {"v429", "v429E2", 7, MakeChipIdentity(7, '2' + 1)},
        {"v429", "v424C1", 3, MakeChipIdentity(1, 2)},
        {"v429", "v429X", 4, MakeChipIdentity(4, 0)},
        {"v429", nullptr, 4, MakeChipIdentity(4, 0)},
        {"v427", "v427A1", 15, MakeChipIdentity(15, 2)},
        {"v427", "v427A3", 16, MakeChipIdentity(16, 4)},
        {"v427", "v427A5", 14, MakeChipIdentity(15, 6)},
        {"v424", "v424C2", 1, MakeChipIdentity(1, 3)},
        {"v424", "v424C1", 1, MakeChipIdentity(1, 2)},
        {"v424", nullptr, 1, MakeChipIdentity(1, 1)},
        {"v433", "v429C3", 9, MakeChipIdentity(9, 0)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.inquiry) + " / " + (r.subRevision ? r.subRevision : "-"));
        scsi.on(kInquiry, Reply{InquiryWithCode(r.inquiry)});
        if (r.subRevision)
            scsi.on(kSubRevision, Reply{Text(r.subRevision, 40)});
        else
            scsi.fail(kSubRevision);
        EXPECT_EQ(IdentifyChip(dev), r.kind);
        EXPECT_EQ(IdentifyChipWithRevision(dev), r.withRevision);
    }
}

TEST_F(IdentifyTest, ChipStepFromTheChipInformation) {
    struct Row {
        std::uint8_t step;
        std::uint8_t extra;
        std::uint8_t expected;
    } rows[] = {{0xA8, 0, 8},     {0xA9, 0, 9},     {0xAA, 0, 10}, {0xAB, 0, 11},
                {0xAB, 0xD2, 50}, {0xAC, 0xD2, 12}, {0xC2, 0, 13}, {0xC4, 0, 14},
                {0xB0, 0, 16},    {0xA1, 0, 1},     {0x10, 0, 112}};
    scsi.on(kInquiry, Reply{InquiryWithCode("v418")});
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.step));
        Bytes8 info(20, 0);
        info[8] = r.step;
        info[18] = r.extra;
        scsi.on(kChipInfo, Reply{info});
        EXPECT_EQ(ReadChipStep(dev), r.expected);
        EXPECT_EQ(IdentifyChipWithRevision(dev), MakeChipIdentity(8, r.expected));
    }
    EXPECT_EQ(scsi.sent.back().cdb, Hex("FF 04 A0 14 00 00 00 00 00 00 00 00"));
    scsi.fail(kChipInfo);
    EXPECT_EQ(ReadChipStep(dev), 0);
    scsi.on(kInquiry, Reply{InquiryWithCode("v614")});
    EXPECT_EQ(IdentifyChipWithRevision(dev), MakeChipIdentity(17, 0));
}

TEST_F(IdentifyTest, FirmwareVersionTextByKind) {
    struct Row {
        ChipKind kind;
        Bytes8 tail;  // bytes 12-15
        std::uint32_t transferred;
        const char* text;
    } rows[] = {
        {8, {1, 2, 3, 4}, 16, "  --.--.--"},
        {17, {1, 2, 3, 4}, 16, "  --.--.--"},
        {11, {0, 16, 0, 0}, 16, "7.07.00.16.00"},
        {12, {2, 16, 0, 0}, 16, "7.07.02.16.00"},
        {19, {1, 2, 3, 4}, 16, "01.02.03.04"},
        {29, {0, 0, 0, 1}, 16, "00.00.00.01"},
        {4, {2, 0, 9, 0}, 16, "2.00.09"},
        {4, {2, 0, 9, 0}, 13, "2.00.09"},
        {4, {2, 0, 9, 0}, 12, "7.07"},
        {30, {10, 11, 12, 0}, 16, "10.11.12"},
        {0, {1, 2, 3, 0}, 16, "1.02.03"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.kind) + " " + r.text);
        scsi.on(kIdentify, Reply{IdentifyAnswer("4290", 7, 7, r.tail), true, 0, 0, r.transferred});
        std::string text = "unchanged";
        EXPECT_TRUE(FormatFirmwareVersion(r.kind, dev, text));
        EXPECT_EQ(text, r.text);
    }
    // A failed command or an answer without F4 E7 leaves the text alone.
    auto bad = IdentifyAnswer("4290", 1, 2);
    bad[0] = 0;
    scsi.on(kIdentify, Reply{bad});
    std::string text = "unchanged";
    EXPECT_TRUE(FormatFirmwareVersion(4, dev, text));
    EXPECT_EQ(text, "unchanged");
    scsi.fail(kIdentify);
    EXPECT_FALSE(FormatFirmwareVersion(4, dev, text));
    EXPECT_EQ(text, "unchanged");
}

// Register 0x506A of kind 13 as a small state machine: what it reads after a zero write.
struct ProbeRegister {
    std::uint8_t value;
    std::uint8_t afterZero;
    bool readFails = false;
    std::vector<std::uint8_t> writes;

    std::optional<Reply> operator()(const test::Sent& s) {
        if (s.cdb.size() < 12 || s.cdb[0] != 0xDF || s.cdb[6] != 0x50 || s.cdb[7] != 0x6A)
            return std::nullopt;
        if (s.cdb[11] == 0xFD) {
            if (readFails)
                return Reply{{}, true, 0, 2};
            return Reply{{value}};
        }
        writes.push_back(s.data[0]);
        value = s.data[0] == 0 ? afterZero : s.data[0];
        return Reply{};
    }
};

TEST_F(IdentifyTest, Kind13VersionProbesAndRestoresItsRegister) {
    struct Row {
        const char* name;
        std::uint8_t kept, afterZero;
        bool readFails;
        const char* text;
        std::vector<std::uint8_t> writes;
    } rows[] = {
        {"probe answers 1", 0x40, 1, false, "9.18.01.16.01", {0x00, 0x41}},
        {"probe answers 0", 0x41, 0, false, "9.18.01.16.00", {0x00, 0x41}},
        {"register unreadable", 0x41, 1, true, "9.18.01.16.00", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ProbeRegister reg{r.kept, r.afterZero, r.readFails, {}};
        scsi.handler = [&reg](const test::Sent& s) { return reg(s); };
        scsi.on(kIdentify, Reply{IdentifyAnswer("6531", 9, 18, {1, 16, 0, 0})});
        std::string text;
        ASSERT_TRUE(FormatFirmwareVersion(13, dev, text));
        EXPECT_EQ(text, r.text);
        EXPECT_EQ(reg.writes, r.writes);
    }
}

// A device whose registers and storage answer the firmware-presence questions.
struct FirmwareScript {
    Bytes8 reg7038 = Bytes8(4, 0);
    Bytes8 reg70F0 = Bytes8(4, 0);
    Bytes8 xdataC000 = Bytes8(10, 0);
    Bytes8 flash4000 = Bytes8(1024, 0);
    Bytes8 memory4096 = Bytes8(1024, 0);
    Bytes8 memoryBC00 = Bytes8(1024, 0);
    std::optional<Bytes8> chipInfo;  // nullopt: the command fails
    std::optional<Bytes8> identify;

    void apply(FakeScsi& s) const {
        s.on("DF 10 00 00 04 00 70 38", Reply{reg7038});
        s.on("DF 10 00 00 04 00 70 F0", Reply{reg70F0});
        s.on("DF 10 00 00 0A 00 C0 00", Reply{xdataC000});
        s.on("FF 04 10 00 40 00", Reply{flash4000});
        s.on("DF 10 00 04 00 00 00 00 00 10 00 FA", Reply{memory4096});
        s.on("DF 10 00 04 00 00 00 00 00 BC 00 FA", Reply{memoryBC00});
        if (chipInfo)
            s.on(kChipInfo, Reply{*chipInfo});
        else
            s.fail(kChipInfo);
        if (identify)
            s.on(kIdentify, Reply{*identify});
        else
            s.fail(kIdentify);
    }
};

Bytes8 Signature(const char* number, std::size_t size, std::size_t at = 0) {
    Bytes8 b(size, 0);
    const std::uint8_t sig[] = {0x55, 0xAA, 0xAA, 0x55};
    std::copy(std::begin(sig), std::end(sig), b.begin() + at);
    for (int i = 0; i < 4 && number[i]; ++i)
        b[at + 4 + i] = static_cast<std::uint8_t>(number[i]);
    return b;
}

Bytes8 RegisterBits(std::size_t index, std::uint8_t bits) {
    Bytes8 b(4, 0);
    b[index] = bits;
    return b;
}

Bytes8 InfoByte19(std::size_t size, std::uint8_t v) {
    Bytes8 b(size, 0);
    b[19] = v;
    return b;
}

Bytes8 Flash7(const char* number) {
    Bytes8 b(1024, 0);
    b[0] = 0x55;
    b[1] = 0xAA;
    b[2] = 0x56;
    b[3] = 0x51;
    for (int i = 0; i < 4 && number[i]; ++i)
        b[4 + i] = static_cast<std::uint8_t>(number[i]);
    return b;
}

TEST_F(IdentifyTest, HasValidFirmwareFollowsEachModelsRule) {
    struct Row {
        const char* name;
        ChipKind kind;
        const char* version;
        std::function<void(FirmwareScript&)> edit;
        bool expected;
    };
    const auto bit0 = [](FirmwareScript& f) { f.reg7038 = RegisterBits(2, 0x01); };
    const std::vector<Row> rows = {
        {"4 present", 4, "2.00.09",
         [&](FirmwareScript& f) { bit0(f), f.xdataC000 = Signature("4290", 10); }, true},
        {"6 flag clear", 6, "2.00.09",
         [](FirmwareScript& f) { f.xdataC000 = Signature("4290", 10); }, false},
        {"6 wrong model", 6, "2.00.09",
         [&](FirmwareScript& f) { bit0(f), f.xdataC000 = Signature("4330", 10); }, false},
        {"7 present", 7, "2.01.00",
         [&](FirmwareScript& f) { bit0(f), f.flash4000 = Flash7("4291"); }, true},
        {"7 blank version", 7, "2.00.00",
         [&](FirmwareScript& f) { bit0(f), f.flash4000 = Flash7("4291"); }, false},
        {"18 present", 18, "1.02.03",
         [&](FirmwareScript& f) { bit0(f), f.flash4000 = Flash7("6210"); }, true},
        {"18 other model's image", 18, "1.02.03",
         [&](FirmwareScript& f) { bit0(f), f.flash4000 = Flash7("4290"); }, false},
        {"8 never", 8, "  --.--.--", [&](FirmwareScript& f) { bit0(f); }, false},
        {"9 present", 9, "1.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x04);
             f.xdataC000 = Signature("4331", 10);
         },
         true},
        {"9 wrong bit", 9, "1.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x01);
             f.xdataC000 = Signature("4331", 10);
         },
         false},
        {"11 present as 437", 11, "7.07.01.16.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x04);
             f.memory4096 = Signature("437", 1024);
         },
         true},
        {"12 present as 438", 12, "7.07.01.16.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x04);
             f.memory4096 = Signature("438", 1024);
         },
         true},
        {"11 listed version", 11, "11.19.02.16.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x04);
             f.memory4096 = Signature("437", 1024);
         },
         false},
        {"13 present", 13, "9.18.01.16.01",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x10);
             f.memory4096 = Signature("653", 1024);
         },
         true},
        {"13 listed version", 13, "5.13.11.16.00",
         [](FirmwareScript& f) {
             f.reg7038 = RegisterBits(2, 0x10);
             f.memory4096 = Signature("653", 1024);
         },
         false},
        {"13 flag clear", 13, "9.18.01.16.01",
         [](FirmwareScript& f) { f.memory4096 = Signature("653", 1024); }, false},
        {"19 by chip info", 19, "01.02.03.04",
         [](FirmwareScript& f) {
             f.reg70F0 = RegisterBits(3, 0x01);
             f.chipInfo = InfoByte19(20, 2);
         },
         true},
        {"19 chip info says none", 19, "01.02.03.04",
         [](FirmwareScript& f) {
             f.reg70F0 = RegisterBits(3, 0x01);
             f.chipInfo = InfoByte19(20, 0);
             f.memoryBC00 = Signature("646", 1024, 1008);
         },
         false},
        {"19 by signature", 19, "01.02.03.04",
         [](FirmwareScript& f) {
             f.reg70F0 = RegisterBits(3, 0x01);
             f.memoryBC00 = Signature("646", 1024, 1008);
         },
         true},
        {"19 no signature", 19, "01.02.03.04",
         [](FirmwareScript& f) { f.reg70F0 = RegisterBits(3, 0x01); }, false},
        {"19 listed version", 19, "49.48.48.49",
         [](FirmwareScript& f) {
             f.reg70F0 = RegisterBits(3, 0x01);
             f.chipInfo = InfoByte19(20, 2);
         },
         false},
        {"19 flag clear", 19, "01.02.03.04",
         [](FirmwareScript& f) { f.chipInfo = InfoByte19(20, 2); }, false},
        {"20 by chip info", 20, "00.00.00.01",
         [](FirmwareScript& f) { f.chipInfo = InfoByte19(32, 1); }, true},
        {"20 by version", 20, "00.00.01.01", [](FirmwareScript&) {}, true},
        {"20 none", 20, "00.00.00.01", [](FirmwareScript& f) { f.chipInfo = InfoByte19(32, 2); },
         false},
        {"21 state 0", 21, "", [](FirmwareScript& f) { f.identify = IdentifyAnswer("6710", 0); },
         true},
        {"24 state 3", 24, "", [](FirmwareScript& f) { f.identify = IdentifyAnswer("6750", 3); },
         true},
        {"22 state 1", 22, "", [](FirmwareScript& f) { f.identify = IdentifyAnswer("6720", 1); },
         false},
        {"23 command fails", 23, "", [](FirmwareScript&) {}, false},
        {"23 answer without F4 E7", 23, "",
         [](FirmwareScript& f) {
             f.identify = IdentifyAnswer("6730", 0);
             (*f.identify)[0] = 0;
         },
         false},
        {"25 state 1", 25, "", [](FirmwareScript& f) { f.identify = IdentifyAnswer("7050", 1); },
         true},
        {"29 state 0", 29, "", [](FirmwareScript& f) { f.identify = IdentifyAnswer("9300", 0); },
         false},
        {"26 byte 11 is 2, byte 7 set", 26, "",
         [](FirmwareScript& f) { f.identify = IdentifyAnswer("702\x02", 0, 0x01); }, true},
        {"26 byte 11 is 2, byte 7 FF", 26, "",
         [](FirmwareScript& f) { f.identify = IdentifyAnswer("702\x02", 1, 0xFF); }, false},
        {"26 other step, byte 6 set", 26, "",
         [](FirmwareScript& f) { f.identify = IdentifyAnswer("7021", 1, 0xFF); }, true},
        {"26 other step, byte 6 clear", 26, "",
         [](FirmwareScript& f) { f.identify = IdentifyAnswer("7021", 0, 0x01); }, false},
        {"1 always", 1, "", [](FirmwareScript&) {}, true},
        {"30 always", 30, "", [](FirmwareScript&) {}, true},
        {"33 always", 33, "", [](FirmwareScript&) {}, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FakeScsi fresh;
        Transport tr(fresh, clock);
        const Target t{tr, "p"};
        FirmwareScript script;
        r.edit(script);
        script.apply(fresh);
        EXPECT_EQ(HasValidFirmware(t, r.kind, r.version), r.expected);
    }
}

// 512 bytes of identify data.
struct IdentifyData {
    Bytes8 b = Bytes8(512, 0);
    IdentifyData& lba28(std::uint32_t v) { return PutLE32(b, 120, v), *this; }
    IdentifyData& current(std::uint32_t v) { return PutLE32(b, 114, v), *this; }
    IdentifyData& lba48(std::uint64_t v) { return PutLE64(b, 200, v), *this; }
    IdentifyData& logicalSector(std::uint16_t w106, std::uint32_t words) {
        PutLE16(b, 212, w106);
        PutLE32(b, 234, words);
        return *this;
    }
};

TEST(DriveCapacity, IdentifyWordsGiveMebibytes) {
    struct Row {
        const char* name;
        IdentifyData data;
        std::uint64_t mib;
    } rows[] = {
        {"28-bit", IdentifyData().lba28(0x0400'0000), 0x0400'0000 >> 11},
        {"28-bit small uses words 57-58", IdentifyData().lba28(0x00FF'0000).current(0x0010'0000),
         0x0010'0000 >> 11},
        {"28-bit at 8 GiB is used as is", IdentifyData().lba28(0x0100'0000).current(1),
         0x0100'0000 >> 11},
        {"48-bit", IdentifyData().lba28(0x0FFF'FFFF).lba48(0x0000'0001'D1C0'BEB0ull),
         0x0000'0001'D1C0'BEB0ull >> 11},
        {"48-bit keeps 40 bits", IdentifyData().lba28(0x0FFF'FFFF).lba48(0xFFFF'00A0'0000'0000ull),
         0x00A0'0000'0000ull >> 11},
        {"4 KiB logical sectors",
         IdentifyData()
             .lba28(0x0FFF'FFFF)
             .lba48(0x0000'0000'3A38'17D6ull)
             .logicalSector(0x6000, 2048),
         (0x3A38'17D6ull >> 11) * 8},
        {"4 KiB logical sectors, other form",
         IdentifyData().lba28(0x0400'0000).logicalSector(0x5000, 2048), (0x0400'0000 >> 11) * 8},
        {"word 106 with more bits set",
         IdentifyData().lba28(0x0400'0000).logicalSector(0x6003, 2048), 0x0400'0000 >> 11},
        {"word 106 without the size", IdentifyData().lba28(0x0400'0000).logicalSector(0x4000, 2048),
         0x0400'0000 >> 11},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(CapacityFromIdentify(r.data.b), r.mib);
    }
}

TEST(DriveCapacity, KindChoosesTheIdentifyPathAndGeometryIsTheFallback) {
    test::ManualClock clock;
    const Bytes8 identify = IdentifyData().lba28(0x0400'0000).b;
    for (int kind = 1; kind <= kMaxChipKind; ++kind) {
        SCOPED_TRACE(kind);
        FakeScsi scsi;
        Transport tr(scsi, clock);
        const Target t{tr, "p"};
        scsi.on("A1 08 0E 00 01 00 00 00 A0 EC", Reply{identify});
        scsi.on("DF 10 00 00 01 00 72 0F", Reply{{0x04}});
        scsi.on("DF 10 00 02 00 00 00 00 00 00 A0 EC", Reply{identify});
        EXPECT_EQ(ReadDriveCapacity(t, static_cast<ChipKind>(kind)), 0x0400'0000u >> 11);
        const bool passThrough = (kind >= 19 && kind <= 22) || (kind >= 25 && kind <= 29);
        EXPECT_EQ(scsi.sent[0].cdb[0], passThrough ? 0xA1 : 0xDF);
    }
    FakeScsi scsi;
    std::string asked;
    Transport tr(scsi, clock, {}, [&asked](std::string_view path) {
        asked = path;
        return std::optional<DriveGeometry>(DriveGeometry{30401, 255, 63, 512});
    });
    const Target t{tr, "\\\\.\\H:"};
    EXPECT_EQ(ReadDriveCapacity(t, 4), 30401ull * 255 * 63 * 512 / 1048576);
    EXPECT_EQ(asked, "\\\\.\\H:");
    Transport none(scsi, clock);
    EXPECT_EQ(ReadDriveCapacity(Target{none, "p"}, 4), 0u);
}

}  // namespace
}  // namespace vq::bridge
