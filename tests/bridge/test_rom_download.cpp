// The buffer download of the later bridge families against a scripted bridge: the command
// blocks in order, the data they carry, the waits, and the failures that must stop it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/RomDownload.h"
#include "resources/Resources.h"
#include "tests/bridge/FakeScsi.h"

namespace vq::bridge {
namespace {

using test::FakeScsi;
using test::HexOf;
using test::ManualClock;
using test::Reply;
using test::Sent;
using testing_util::Hex;

// A bridge of the later families as far as the buffer commands go: a descriptor that
// changes when the manufacturing program arrives, a flash behind buffer 0 that chunks are
// written into and read from, and switches for the faults the procedures must survive.
class ScriptedBridge {
  public:
    ScriptedBridge(FakeScsi& scsi, std::uint8_t programState, std::uint32_t programCapacity)
        : programState_(programState), programCapacity_(programCapacity) {
        scsi.handler = [this](const Sent& s) { return answer(s); };
    }

    std::uint8_t state = 0xFF;
    std::uint32_t capacity = 0x10000;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(0x80000, 0xFF);
    std::vector<std::uint8_t> running = std::vector<std::uint8_t>(0x40000, 0x77);  // buffer 1
    std::vector<std::uint8_t> program;  // what WriteBuffer mode 6 brought
    std::vector<std::uint8_t> identify = Hex("F4 E7 56 51 15 61 01 00 36 37 31 31 00 00 00 00");
    bool refuseProgram = false;
    int eraseFailures = 0;          // erases that fail before one succeeds
    int corruptWrites = 0;          // chunk writes that land with one byte flipped
    std::size_t corruptAt = 0x100;  // offset in the chunk of that byte
    std::map<std::uint32_t, std::vector<std::uint8_t>> memory;  // ReadMemory / WriteMemory

  private:
    std::optional<Reply> answer(const Sent& s) {
        const auto& c = s.cdb;
        const Reply fail{{}, true, 0, 2};
        if (c[0] == 0xE0)
            return Reply{identify};
        if (c[0] == 0x3C) {
            const std::uint32_t off = GetBE24(c, 3), len = GetBE24(c, 6);
            if (c[1] == 3)
                return Reply{{state, static_cast<std::uint8_t>(capacity >> 16),
                              static_cast<std::uint8_t>(capacity >> 8),
                              static_cast<std::uint8_t>(capacity)}};
            const auto& src = c[2] == 0 ? flash : running;
            if (c[1] != 1 || off + len > src.size())
                return fail;
            return Reply{std::vector<std::uint8_t>(src.begin() + off, src.begin() + off + len)};
        }
        if (c[0] == 0x3B) {
            const std::uint32_t off = GetBE24(c, 3);
            if (c[1] == 6) {
                if (refuseProgram || state != 0xFF)
                    return fail;
                program = s.data;
                state = programState_;
                capacity = programCapacity_;
                return Reply{};
            }
            if (c[1] == 14) {
                if (state == 0xFF || off + s.data.size() > flash.size())
                    return fail;
                std::copy(s.data.begin(), s.data.end(), flash.begin() + off);
                if (corruptWrites > 0 && corruptAt < s.data.size() && off == 0) {
                    --corruptWrites;
                    flash[off + corruptAt] ^= 0x01;
                }
                return Reply{};
            }
            return Reply{};
        }
        if (c[0] == 0xDF && c[11] == 0xFB) {
            const std::uint32_t addr = GetBE24(c, 8);
            if (c[1] == 3 && s.data.empty()) {
                if (eraseFailures > 0) {
                    --eraseFailures;
                    return fail;
                }
                std::fill(flash.begin(), flash.end(), 0xFF);
                return Reply{};
            }
            memory[addr] = s.data;
            return Reply{};
        }
        if (c[0] == 0xDF && c[11] == 0xFA) {
            const std::uint32_t addr = GetBE24(c, 8);
            auto it = memory.find(addr);
            if (it == memory.end())
                return Reply{std::vector<std::uint8_t>(GetBE16(c, 3), 0xEE)};
            return Reply{it->second};
        }
        if (c[0] == 0xFF && c[2] == 0xC8)
            return Reply{};
        return std::nullopt;
    }

    std::uint8_t programState_;
    std::uint32_t programCapacity_;
};

class RomDownloadTest : public ::testing::Test {
  protected:
    FakeScsi scsi;
    ManualClock clock;
    Transport transport{scsi, clock};
    Target t{transport, "\\\\.\\PhysicalDrive3"};

    // Blocks of the script as hex text, with chunk runs of one opcode and mode collapsed.
    std::vector<std::string> blocks() const { return scsi.blocks(); }
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& b : blocks())
            n += b.rfind(prefix, 0) == 0;
        return n;
    }
    bool anyWrite() const { return count("3B") > 0 || count("DF 03") > 0; }

    LaterBridgeState state(ChipIdentity chip) {
        LaterBridgeState s;
        EXPECT_TRUE(ReadLaterBridgeState(t, chip, s));
        scsi.sent.clear();
        return s;
    }
};

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 12));
    return v;
}

std::vector<std::uint8_t> FirstImage() {
    auto v = Pattern(kLaterImageSize, 3);
    const std::string model = "VQS671";
    std::copy(model.begin(), model.end(), v.begin());
    return v;
}

TEST_F(RomDownloadTest, Kind21FromMaskRomGoldenBlocks) {
    ScriptedBridge bridge(scsi, 0x0C, 0x46000);
    const auto image = FirstImage();
    const auto settingBlock = BuildSettingBlock({});
    LaterDownload job;
    job.state = state(MakeChipIdentity(21, 1));
    ASSERT_TRUE(job.state.romState);
    job.source = image;
    job.configBlock = settingBlock;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    EXPECT_EQ(job.attempts, 1);

    const auto b = blocks();
    ASSERT_GE(b.size(), 4u);
    EXPECT_EQ(b[0], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[1], "3B 06 00 00 00 00 01 00 00 00");
    EXPECT_EQ(b[2], "DF 03 00 00 00 00 00 00 00 00 00 FB");
    EXPECT_EQ(b[3], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[4], "3B 0E 00 00 00 00 00 10 00 00");
    EXPECT_EQ(b[5], "3B 0E 00 00 10 00 00 10 00 00");
    EXPECT_EQ(b[3 + 0x46], "3B 0E 00 04 50 00 00 10 00 00");
    EXPECT_EQ(b[4 + 0x46], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[5 + 0x46], "3C 01 00 00 00 00 00 10 00 00");
    EXPECT_EQ(b.back(), "3C 01 00 03 F0 00 00 10 00 00");
    EXPECT_EQ(count("3B 0E"), 0x46u);
    EXPECT_EQ(count("3C 01"), 0x40u);
    EXPECT_EQ(b.size(), 5u + 0x46 + 0x40);
    // The erase runs under the long time-out; the program is the built-in image, unchanged.
    EXPECT_EQ(scsi.sent[2].timeout, 100u);
    const auto mfg = resources::FindResource("FW", "VQS671_ROM0_MFG");
    ASSERT_TRUE(mfg);
    EXPECT_TRUE(std::equal(bridge.program.begin(), bridge.program.end(), mfg->begin(), mfg->end()));
    EXPECT_EQ(clock.tickMs(), 100u);
    // The image at 0, zeros up to the setting block at 0x45000.
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bridge.flash.begin()));
    EXPECT_TRUE(std::all_of(bridge.flash.begin() + 0x40000, bridge.flash.begin() + 0x45000,
                            [](auto v) { return v == 0; }));
    EXPECT_TRUE(
        std::equal(settingBlock.begin(), settingBlock.end(), bridge.flash.begin() + 0x45000));
}

TEST_F(RomDownloadTest, Kind21RunningFirmwareTakesOneBank) {
    ScriptedBridge bridge(scsi, 0x0C, 0x46000);
    bridge.identify[6] = 3;
    bridge.state = 0x0C;
    bridge.capacity = 0x20000;
    const auto image = FirstImage();
    const auto settingBlock = BuildSettingBlock({});
    LaterDownload job;
    job.state = state(MakeChipIdentity(21, 1));
    ASSERT_FALSE(job.state.romState);
    ASSERT_FALSE(job.state.programRunning);
    job.source = image;
    job.configBlock = settingBlock;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    EXPECT_EQ(count("DF 03"), 0u);
    EXPECT_EQ(count("3B 0E"), 0x20u);
    EXPECT_EQ(count("3C 01"), 0x20u);
    EXPECT_EQ(count("3B 06"), 0u);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x20000, bridge.flash.begin()));
    EXPECT_EQ(bridge.flash[0x45000], 0xFF);  // no setting block
}

TEST_F(RomDownloadTest, Kind22UnderTheProgramErasesAndSendsTheSettingBlock) {
    ScriptedBridge bridge(scsi, 0x0C, 0x46000);
    bridge.identify[5] = 'b';
    bridge.identify[6] = 2;
    bridge.identify[7] = 0;
    bridge.state = 0x0C;
    bridge.capacity = 0x45F00;  // rounded up to 0x46000 for the send
    const auto image = FirstImage();
    const auto settingBlock = BuildSettingBlock({});
    LaterDownload job;
    job.state = state(MakeChipIdentity(22, 1));
    ASSERT_TRUE(job.state.programRunning);
    job.source = image;
    job.configBlock = settingBlock;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    const auto b = blocks();
    EXPECT_EQ(b[0], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[1], "DF 03 00 00 00 00 00 00 00 00 00 FB");
    EXPECT_EQ(count("3B 0E"), 0x46u);
    EXPECT_EQ(count("3C 01"), 0x40u);  // 0x40000 read back under the program
    EXPECT_TRUE(
        std::equal(settingBlock.begin(), settingBlock.end(), bridge.flash.begin() + 0x45000));
}

TEST_F(RomDownloadTest, ManufacturingProgramByIdentification) {
    struct Row {
        ChipIdentity chip;
        std::uint8_t byte5, byte7;
        const char* name;
    } rows[] = {
        {MakeChipIdentity(21, 1), 'a', 0, "VQS671_ROM0_MFG"},
        {MakeChipIdentity(22, 1), 'b', 0, "VQS672_ROM0_MFG"},
        {MakeChipIdentity(21, 1), 'a', 1, "VQS671_ROM1_MFG"},
        {MakeChipIdentity(22, 1), 'b', 1, "VQS672_ROM1_MFG"},
        {MakeChipIdentity(23, 1), 'c', 1, "VQS673_ROM1_MFG"},
        {MakeChipIdentity(24, 1), 'e', 1, "VQS675_ROM1_MFG"},
        {MakeChipIdentity(21, 1), 'd', 1, ""},
        {MakeChipIdentity(23, 1), 'c', 0, ""},
        {MakeChipIdentity(21, 1), 'a', 2, ""},
        {MakeChipIdentity(25, 1), 0, 0, "VQS703_ROM0_MFG"},
        {MakeChipIdentity(26, 1), 0, 0, "VQS702_ROM_MFG_A0"},
        {MakeChipIdentity(26, 2), 0, 0xFF, "VQS702_ROM_MFG_A1"},
        {MakeChipIdentity(26, 3), 0, 0, ""},
        {MakeChipIdentity(27, 1), 0, 0, "VQS708_ROM0_MFG"},
        {MakeChipIdentity(28, 1), 0, 0, "VQS712_ROM0_MFG"},
        {MakeChipIdentity(29, 1), 0, 0, "VQS712_ROM0_MFG"},
        {MakeChipIdentity(20, 1), 0, 0, ""},
    };
    for (const auto& row : rows) {
        std::vector<std::uint8_t> id(16, 0);
        id[5] = row.byte5;
        id[7] = row.byte7;
        EXPECT_EQ(ManufacturingImageName(row.chip, id), row.name)
            << int(KindOf(row.chip)) << " " << row.byte5 << " " << int(row.byte7);
        const auto image = LoadManufacturingImage(row.chip, id);
        EXPECT_EQ(image.has_value(), std::string(row.name) != "");
        if (image) {
            EXPECT_EQ(image->size(), ManufacturingImageSize(KindOf(row.chip)));
        }
    }
}

TEST_F(RomDownloadTest, RomStateFromIdentification) {
    struct Row {
        ChipIdentity chip;
        const char* answer;  // empty: the command fails
        bool ok, rom, program;
    } rows[] = {
        {MakeChipIdentity(21, 1), "F4 E7 00 00 00 61 01 00", true, true, false},
        {MakeChipIdentity(21, 1), "F4 E7 00 00 00 61 02 00", true, false, true},
        {MakeChipIdentity(21, 1), "F4 E7 00 00 00 61 02 01", true, false, false},
        {MakeChipIdentity(21, 1), "F4 E7 00 00 00 61 03 00", true, false, false},
        {MakeChipIdentity(21, 1), "", true, true, false},
        {MakeChipIdentity(21, 1), "00 00 00 00 00 61 03 00", true, true, false},
        {MakeChipIdentity(25, 1), "F4 E7 00 00 00 00 00 00", true, true, false},
        {MakeChipIdentity(27, 1), "F4 E7 00 00 00 00 01 00", true, false, false},
        {MakeChipIdentity(29, 1), "", true, true, false},
        {MakeChipIdentity(26, 1), "F4 E7 00 00 00 00 01 FF", true, false, false},
        {MakeChipIdentity(26, 2), "F4 E7 00 00 00 00 01 FF", true, true, false},
        {MakeChipIdentity(26, 2), "F4 E7 00 00 00 00 00 00", true, false, false},
        {MakeChipIdentity(26, 2), "", false, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        scsi.handler = nullptr;
        std::string answer = row.answer;
        if (answer.empty())
            scsi.fail("E0 F4 E7");
        else
            scsi.on("E0 F4 E7", Reply{Hex(answer + " 00 00 00 00 00 00 00 00")});
        LaterBridgeState s;
        EXPECT_EQ(ReadLaterBridgeState(t, row.chip, s), row.ok);
        if (row.ok) {
            EXPECT_EQ(s.romState, row.rom);
            EXPECT_EQ(s.programRunning, row.program);
        }
    }
}

TEST_F(RomDownloadTest, Kind27FromMaskRomWithConfigurationSector) {
    ScriptedBridge bridge(scsi, 0x0A, 0x10400);
    bridge.identify = Hex("F4 E7 56 51 1B 00 00 00 37 30 38 31 00 00 00 00");
    auto image = Pattern(0x10600, 9);
    const auto config = Pattern(256, 200);
    LaterDownload job;
    job.state = state(MakeChipIdentity(27, 1));
    ASSERT_TRUE(job.state.romState);
    job.source = image;
    job.eepromUpdate = true;
    job.configBlock = config;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    const auto b = blocks();
    EXPECT_EQ(b[0], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[1], "3B 06 00 00 00 00 01 00 00 00");
    EXPECT_EQ(b[2], "DF 03 00 00 00 00 00 00 00 00 00 FB");
    EXPECT_EQ(b[3], "3C 03 00 00 00 00 00 00 04 00");
    EXPECT_EQ(b[4], "3B 0E 00 00 00 00 00 04 00 00");
    EXPECT_EQ(count("3B 0E"), 0x41u);
    EXPECT_EQ(b[4 + 0x41], "DF 01 00 02 00 00 00 00 01 10 00 FB");
    EXPECT_EQ(count("3C 01"), 0x41u);
    EXPECT_EQ(b.back(), "DF 10 00 02 00 00 00 00 01 10 00 FA");
    EXPECT_EQ(clock.tickMs(), 2000u + 500u);
    // The sector: the configuration, then the image's own sector bytes.
    const auto& sector = bridge.memory[0x11000];
    ASSERT_EQ(sector.size(), 512u);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), sector.begin()));
    EXPECT_TRUE(std::equal(sector.begin() + 256, sector.end(), image.begin() + 0x10400 + 256));
}

TEST_F(RomDownloadTest, Kind26SecondRevisionSetsTheModeValue) {
    ScriptedBridge bridge(scsi, 0x0A, 0xC400);
    bridge.capacity = 0xC400;
    bridge.identify = Hex("F4 E7 56 51 1A 00 00 FF 37 30 32 32 00 00 00 00");
    const auto image = Pattern(0xC600, 1);
    LaterDownload job;
    job.state = state(MakeChipIdentity(26, 2));
    ASSERT_TRUE(job.state.romState);
    job.source = image;
    job.modeValue = 1;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    const auto b = blocks();
    EXPECT_EQ(b[1], "3B 06 00 00 00 00 00 C4 00 00");
    EXPECT_EQ(b[2], "FF 04 C8 05 01 00 00 00 00 00 00 00");
    EXPECT_EQ(b[3], "DF 03 00 00 00 00 00 00 00 00 00 FB");
    EXPECT_EQ(count("3B 0E"), 0x31u);
    const auto mfg = resources::FindResource("FW", "VQS702_ROM_MFG_A1");
    ASSERT_TRUE(mfg);
    EXPECT_TRUE(std::equal(bridge.program.begin(), bridge.program.end(), mfg->begin(), mfg->end()));
}

TEST_F(RomDownloadTest, NothingIsWrittenWhenTheProgramOrImageCannotBe) {
    struct Row {
        const char* name;
        ChipIdentity chip;
        const char* identify;
        std::uint32_t romCapacity;
        std::size_t imageSize;
    } rows[] = {
        {"no program for 'd'", MakeChipIdentity(21, 1),
         "F4 E7 56 51 15 64 01 01 36 37 31 31 00 00 00 00", 0x10000, 0x40000},
        {"kind 26 revision 3", MakeChipIdentity(26, 3),
         "F4 E7 56 51 1A 00 00 00 37 30 32 33 00 00 00 00", 0xC400, 0xC600},
        {"ROM capacity not the program's", MakeChipIdentity(21, 1),
         "F4 E7 56 51 15 61 01 00 36 37 31 31 00 00 00 00", 0xC400, 0x40000},
        {"truncated image", MakeChipIdentity(22, 1),
         "F4 E7 56 51 16 62 01 00 36 37 32 31 00 00 00 00", 0x10000, 0x3FFFF},
        {"truncated later image", MakeChipIdentity(27, 1),
         "F4 E7 56 51 1B 00 00 00 37 30 38 31 00 00 00 00", 0x10000, 0x10400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        scsi.sent.clear();
        ScriptedBridge bridge(scsi, 0x0C, 0x46000);
        bridge.identify = Hex(row.identify);
        bridge.capacity = row.romCapacity;
        const auto image = Pattern(row.imageSize, 0);
        LaterDownload job;
        job.state = state(row.chip);
        job.source = image;
        EXPECT_FALSE(ProgramLaterFamily(t, job));
        EXPECT_FALSE(job.failure.empty());
        EXPECT_FALSE(anyWrite()) << job.failure;
    }
}

TEST_F(RomDownloadTest, RefusedProgramFails) {
    ScriptedBridge bridge(scsi, 0x0C, 0x46000);
    bridge.refuseProgram = true;
    const auto image = FirstImage();
    LaterDownload job;
    job.state = state(MakeChipIdentity(21, 1));
    job.source = image;
    EXPECT_FALSE(ProgramLaterFamily(t, job));
    EXPECT_EQ(count("3B 0E"), 0u);
    EXPECT_EQ(count("DF 03"), 0u);
}

TEST_F(RomDownloadTest, ReadBackMismatch) {
    struct Row {
        const char* name;
        std::size_t at;
        int corruptions;
        bool ok;
        int attempts;
    } rows[] = {
        {"inside the chip's own bytes", 700, 3, true, 1},
        {"once, then a clean attempt", 0x100, 1, true, 2},
        {"every attempt", 0x100, 3, false, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        scsi.sent.clear();
        ScriptedBridge bridge(scsi, 0x0C, 0x46000);
        bridge.corruptWrites = row.corruptions;
        bridge.corruptAt = row.at;
        const auto image = FirstImage();
        LaterDownload job;
        job.state = state(MakeChipIdentity(21, 1));
        job.source = image;
        EXPECT_EQ(ProgramLaterFamily(t, job), row.ok);
        EXPECT_EQ(job.attempts, row.attempts);
        // Later attempts go on under the program the first one started.
        EXPECT_EQ(count("3B 06"), 1u);
        EXPECT_EQ(count("DF 03"), static_cast<std::size_t>(row.attempts));
        if (!row.ok) {
            EXPECT_EQ(job.failure, "the read-back differs at 0x100");
        }
    }
}

TEST_F(RomDownloadTest, LaterFamilyEraseIsTriedTwice) {
    struct Row {
        int failures;
        bool ok;
    } rows[] = {{1, true}, {2, false}};
    for (const auto& row : rows) {
        scsi.sent.clear();
        clock = ManualClock{};
        ScriptedBridge bridge(scsi, 0x0A, 0xC400);
        bridge.capacity = 0xC400;
        bridge.identify = Hex("F4 E7 56 51 19 00 00 00 37 30 35 31 00 00 00 00");
        bridge.eraseFailures = row.failures;
        const auto image = Pattern(0xC600, 5);
        LaterDownload job;
        job.state = state(MakeChipIdentity(25, 1));
        job.source = image;
        EXPECT_EQ(DownloadFirmwareLater(t, job), row.ok);
        EXPECT_EQ(count("DF 03"), 2u);
        EXPECT_EQ(clock.tickMs(), row.ok ? 2000u + 500u + 500u : 2000u + 500u);
    }
}

TEST_F(RomDownloadTest, ConfigurationOnlyRewritesTheSector) {
    ScriptedBridge bridge(scsi, 0x0A, 0x10400);
    bridge.identify = Hex("F4 E7 56 51 1C 00 01 00 37 31 32 31 00 00 00 00");
    bridge.state = 0x0A;
    bridge.memory[0x11000] = Pattern(512, 40);
    const auto before = bridge.memory[0x11000];
    const auto config = Pattern(256, 90);
    LaterDownload job;
    job.state = state(MakeChipIdentity(28, 1));
    job.firmwareUpdate = false;
    job.configBlock = config;
    ASSERT_TRUE(ProgramLaterFamily(t, job)) << job.failure;
    EXPECT_EQ(blocks(), (std::vector<std::string>{"DF 10 00 02 00 00 00 00 01 10 00 FA",
                                                  "DF 01 00 02 00 00 00 00 01 10 00 FB",
                                                  "DF 10 00 02 00 00 00 00 01 10 00 FA"}));
    const auto& sector = bridge.memory[0x11000];
    EXPECT_TRUE(std::equal(config.begin(), config.end(), sector.begin()));
    EXPECT_TRUE(std::equal(sector.begin() + 256, sector.end(), before.begin() + 256));

    // In the mask ROM there is no configuration to change.
    scsi.sent.clear();
    bridge.identify[6] = 0;
    job.state = state(MakeChipIdentity(28, 1));
    EXPECT_FALSE(ProgramLaterFamily(t, job));
    EXPECT_EQ(count("DF 01"), 0u);
}

TEST_F(RomDownloadTest, ReadDeviceFirmware) {
    ScriptedBridge bridge(scsi, 0x0C, 0x46000);
    bridge.state = 0x0C;
    bridge.capacity = 0x20000;
    bridge.identify[6] = 3;
    bridge.running = Pattern(0x40000, 17);
    bridge.flash = Pattern(0x80000, 99);
    const auto s = state(MakeChipIdentity(23, 1));
    std::vector<std::uint8_t> dest(0x40000, 0);
    ASSERT_TRUE(ReadDeviceFirmware(t, s, false, dest));
    EXPECT_EQ(blocks().front(), "3C 03 01 00 00 00 00 00 04 00");
    EXPECT_EQ(blocks()[1], "3C 01 01 00 00 00 00 10 00 00");
    EXPECT_EQ(count("3C 01 01"), 0x20u);
    EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 0x20000, bridge.running.begin()));

    // With the clone option the marker in buffer 1 decides which buffer gives which half.
    for (bool clone : {false, true}) {
        SCOPED_TRACE(clone);
        scsi.sent.clear();
        bridge.capacity = 0x40000;
        const std::string mark = clone ? "xxCLONExx" : "xxxxxxxxx";
        std::copy(mark.begin(), mark.end(), bridge.running.begin() + 1072);
        ASSERT_TRUE(ReadDeviceFirmware(t, s, true, dest));
        const auto& firstHalf = clone ? bridge.flash : bridge.running;
        const auto& secondHalf = clone ? bridge.running : bridge.flash;
        EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 0x20000, firstHalf.begin()));
        EXPECT_TRUE(std::equal(dest.begin() + 0x20000, dest.end(), secondHalf.begin()));
    }
}

TEST_F(RomDownloadTest, ReadDeviceFirmwareOfKind20InFileOrder) {
    scsi.handler = [](const Sent& s) -> std::optional<Reply> {
        if (s.cdb[0] != 0xDF || s.cdb[11] != 0xFA)
            return std::nullopt;
        const std::uint32_t addr = GetBE24(s.cdb, 8);
        std::vector<std::uint8_t> d(s.length);
        for (std::size_t i = 0; i < d.size(); ++i)
            d[i] = static_cast<std::uint8_t>((addr + i) >> 9);  // each 512 bytes its number
        return Reply{d};
    };
    LaterBridgeState s;
    s.chip = MakeChipIdentity(20, 0);
    std::vector<std::uint8_t> dest(0x10600, 0xAA);
    ASSERT_TRUE(ReadDeviceFirmware(t, s, false, dest));
    EXPECT_EQ(scsi.sent.size(), 160u);
    EXPECT_EQ(dest[0], 7);          // 3584 / 512
    EXPECT_EQ(dest[512], 0);        // 0
    EXPECT_EQ(dest[1024], 8);       // 4096 / 512
    EXPECT_EQ(dest[0xC3FF], 0x67);  // 4096 + 0xC000 - 1
    EXPECT_EQ(dest[0xC400], 0x68);  // 0xD000 / 512
    EXPECT_EQ(dest[0xC600], 0x80);  // 0x10000 / 512
    EXPECT_EQ(dest[0x105FF], 0x9F);
}

TEST_F(RomDownloadTest, ActivationSendsModeFifteenAlone) {
    scsi.on("3B", Reply{});
    ASSERT_TRUE(ActivateFirmware(t));
    ASSERT_EQ(scsi.sent.size(), 1u);
    EXPECT_EQ(HexOf(scsi.sent[0].cdb), "3B 0F 00 00 00 00 00 00 00 00");
    EXPECT_EQ(scsi.sent[0].length, 0u);
}

TEST_F(RomDownloadTest, IdentityRecordTakesTheVpdValues) {
    scsi.on("C3", Reply{});
    std::vector<std::uint8_t> vpd(84, 0);
    vpd[8] = 0x12;
    vpd[9] = 0x34;
    vpd[10] = 0xAB;
    vpd[11] = 0xCD;
    const std::string serial = "WD-1234567890ABCDEFG";
    std::copy(serial.begin(), serial.end(), vpd.begin() + 64);
    ASSERT_TRUE(SendIdentityRecord(t, {1, 2, 3, 4}, IdentityValuesFromVpd(vpd)));
    ASSERT_EQ(scsi.sent.size(), 1u);
    EXPECT_EQ(HexOf(scsi.sent[0].cdb), "C3 30 00 00 12 34 AB CD 00 48 00 00");
    const auto& data = scsi.sent[0].data;
    ASSERT_EQ(data.size(), 72u);
    EXPECT_EQ(std::string(data.begin() + 4, data.begin() + 11), "P102003");
    EXPECT_EQ(std::string(data.begin() + 52, data.end()), serial);
}

TEST_F(RomDownloadTest, StandbyFallsBackToTheVendorCommand) {
    scsi.fail("55 01");
    scsi.on("FF 04 A3", Reply{});
    ASSERT_TRUE(SetStandbyOnFirmware(t, 10, true));
    EXPECT_EQ(blocks(), (std::vector<std::string>{"55 01 00 00 00 00 00 00 30 00",
                                                  "FF 04 A3 01 00 00 17 70 00 00 00 00"}));
}

}  // namespace
}  // namespace vq::bridge
