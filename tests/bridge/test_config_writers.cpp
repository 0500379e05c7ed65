// The configuration writers against a scripted board: the command blocks each one sends,
// byte for byte, and what ends up in the part.
#include "bridge/ConfigWriters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/VendorCommands.h"
#include "tests/bridge/ScriptedBoard.h"

namespace vq::bridge {
namespace {

using test::Hex;
using test::HexOf;
using Buf = std::vector<std::uint8_t>;

class WriterTest : public ::testing::Test {
  protected:
    test::FakeScsi scsi;
    test::ManualClock clock;
    Transport transport{scsi, clock};
    Target dev{transport, "\\\\.\\PhysicalDrive2"};
    test::ScriptedBoard board;
    void SetUp() override {
        scsi.handler = [this](const test::Sent& s) { return board(s); };
    }
    std::vector<std::string> blocks() const { return scsi.blocks(); }
    static ConfigImage Pattern(std::uint8_t seed) {
        ConfigImage c{};
        for (std::size_t i = 0; i < c.size(); ++i)
            c[i] = static_cast<std::uint8_t>(seed + i * 3);
        return c;
    }
};

constexpr const char* kWrite128 = "DF 00 00 00 80 00 00 00 00 00 00 FB";
constexpr const char* kRead128 = "DF 10 00 00 80 00 00 00 00 00 00 FA";

TEST_F(WriterTest, WriteEepromRetriesTheWriteOnlyThenVerifies) {
    const ConfigImage image = Pattern(1);
    board.failAt = 0;  // the first write fails, the second goes through
    ASSERT_TRUE(WriteEeprom(dev, image, 3));
    EXPECT_EQ(blocks(), (std::vector<std::string>{kWrite128, kWrite128, kRead128}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), board.eeprom.begin()));
    EXPECT_EQ(scsi.sent[1].data, Buf(image.begin(), image.end()));

    struct Row {
        int retry;
        int writesSent;
    } rows[] = {{0, 1}, {1, 1}, {4, 4}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.retry);
        scsi.sent.clear();
        board.commands = 0;
        board.failAt = -1;
        scsi.fail("DF 00 00 00 80");
        scsi.handler = nullptr;  // every write fails
        EXPECT_FALSE(WriteEeprom(dev, image, r.retry));
        EXPECT_EQ(blocks(),
                  std::vector<std::string>(static_cast<std::size_t>(r.writesSent), kWrite128));
        scsi.handler = [this](const test::Sent& s) { return board(s); };
    }
}

TEST_F(WriterTest, WriteEepromFailsOnADifferentReadBack) {
    board.flipOnWrite = 77;
    EXPECT_FALSE(WriteEeprom(dev, Pattern(2), 1));
}

TEST_F(WriterTest, TestEepromWritesTwoPatternsAndPutsTheBlockBack) {
    const ConfigImage original = Pattern(9);
    std::copy(original.begin(), original.end(), board.eeprom.begin());
    ASSERT_TRUE(TestEeprom(dev));
    EXPECT_EQ(blocks(), (std::vector<std::string>{kRead128, kWrite128, kRead128, kWrite128,
                                                  kRead128, kWrite128}));
    EXPECT_EQ(scsi.sent[1].data[120], 0xAA);
    EXPECT_EQ(scsi.sent[1].data[121], 0x55);
    EXPECT_EQ(scsi.sent[3].data[120], 0x55);
    EXPECT_EQ(scsi.sent[3].data[121], 0xAA);
    EXPECT_EQ(board.eeprom, Buf(original.begin(), original.end()));

    // A byte that does not hold fails the test; the original still goes back.
    scsi.sent.clear();
    board.flipOnWrite = 121;
    EXPECT_FALSE(TestEeprom(dev));
    EXPECT_EQ(blocks().back(), kWrite128);
    EXPECT_EQ(scsi.sent.back().data, Buf(original.begin(), original.end()));
}

TEST_F(WriterTest, UnprotectEnablesWritingThenClearsTheStatusRegister) {
    board.status = 0x1C;  // protection bits set
    ASSERT_TRUE(UnprotectSerialFlash(dev));
    EXPECT_EQ(blocks(), (std::vector<std::string>{
                            "FF 04 20 01 00 06 00 00 00 00 00 00",
                            "FF 04 12 00 00 00 00 00 00 00 00 00",
                            "FF 04 20 02 00 01 00 00 00 00 00 00",
                            "FF 04 12 00 00 00 00 00 00 00 00 00",
                        }));
    EXPECT_EQ(scsi.sent[2].data, Hex("01 00"));
    EXPECT_EQ(clock.tickMs(), 0u);

    // Write enable never shows: 301 status reads 10 ms apart, then failure.
    scsi.sent.clear();
    scsi.handler = [this](const test::Sent& s) -> std::optional<test::Reply> {
        if (s.cdb[2] == 0x12)
            return test::Reply{{0x00}};
        return board(s);
    };
    EXPECT_FALSE(UnprotectSerialFlash(dev));
    const auto all = blocks();
    EXPECT_EQ(std::count(all.begin(), all.end(), "FF 04 12 00 00 00 00 00 00 00 00 00"), 302);
    EXPECT_EQ(clock.tickMs(), 3000u);
}

TEST_F(WriterTest, ConfigInFlashByKind) {
    struct Row {
        const char* name;
        ChipKind kind;
        std::uint8_t service23;
        const char* jedec;
        std::size_t firmwareLength;
        bool result;
        bool unprotect;
        const char* extra;  // a block prefix that must have been sent, or ""
    } rows[] = {
        {"v424 byte 3", 1, 3, "EF 40 13 00", 0, true, false, ""},
        {"v424 byte 5 unprotects", 2, 5, "EF 40 13 00", 0, true, true, ""},
        {"v424 byte 0, probe A 11", 3, 0, "8C 20 13 00", 0, true, false, ""},
        {"v424 byte 0, other flash", 15, 0, "EF 40 13 00", 0, false, false, ""},
        {"v424 image too long", 1, 3, "EF 40 13 00", 0x8001, false, false, ""},
        {"v429 Macronix 22", 4, 0, "C2 22 13 00", 0, true, true, ""},
        {"v429 Macronix 20", 6, 0, "C2 20 13 00", 0x8000, true, true, ""},
        {"v429 other", 5, 0, "EF 40 13 00", 0, true, false, ""},
        {"v429 image too long", 4, 0, "EF 40 13 00", 0x8001, false, false, ""},
        {"v429E probe A type 8", 7, 0, "EF 40 13 00", 0, true, false, "FF 04 24 02 06 EF 40 00 01"},
        {"v429E Macronix", 7, 0, "C2 22 11 00", 0, true, true, "FF 04 25 02 08"},
        {"v621 Macronix has no word at 32", 18, 0, "C2 22 11 00", 0, true, true,
         "FF 04 24 02 05 C2 22 00 01"},
        {"v427A3 no flash", 16, 0, "00 00 00 00", 0, false, false, ""},
        {"v433 byte 3", 9, 3, "00 00 00 00", 0, true, true, ""},
        {"v653 byte 3, probe A 7", 13, 3, "C2 20 13 00", 0, true, true, ""},
        {"v653 byte 3, probe A 8", 13, 3, "EF 40 13 00", 0, true, false, ""},
        {"v653 byte 5", 13, 5, "EF 40 13 00", 0, true, true, ""},
        {"v646 Macronix byte 5", 19, 5, "C2 22 13 00", 0, true, false,
         "FF 04 0F C7 D8 02 20 00 20"},
        {"v438", 12, 0, "00 00 00 00", 0x10000, true, false, ""},
        {"v418", 8, 0, "00 00 00 00", 0, false, false, ""},
        {"v426", 30, 0, "00 00 00 00", 0, false, false, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        scsi.sent.clear();
        board.service23 = r.service23;
        const Buf id = Hex(r.jedec);
        std::copy(id.begin(), id.end(), board.jedec.begin());
        board.status = 0;
        EXPECT_EQ(ConfigInFlash(r.kind, dev, r.firmwareLength), r.result);
        const auto all = blocks();
        const bool unprotected =
            std::find(all.begin(), all.end(), "FF 04 20 01 00 06 00 00 00 00 00 00") != all.end();
        EXPECT_EQ(unprotected, r.unprotect);
        if (*r.extra) {
            const std::string want = r.extra;
            EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const std::string& b) {
                return b.rfind(want, 0) == 0;
            })) << want;
        }
    }
}

TEST_F(WriterTest, SerialFlashConfigWithFirmwareAndConfiguration) {
    std::vector<std::uint8_t> fw(0x6000);
    for (std::size_t i = 0; i < fw.size(); ++i)
        fw[i] = static_cast<std::uint8_t>(i * 7);
    const FirmwareImage image = FirmwareImage::FromBytes(fw);
    const ConfigImage config = Pattern(4);
    ASSERT_TRUE(WriteSerialFlashConfig(dev, true, true, config, image, false));
    const std::vector<std::string> expected = {
        "FF 04 14 00 00 00 00 00 00 00 00 00",  // erase block 0
        "FF 04 10 00 00 00 00 00 00 00 00 00",  //   blank check, both halves
        "FF 04 10 00 40 00 00 00 00 00 00 00",
        "FF 04 14 00 80 00 00 00 00 00 00 00",  // erase block 0x8000
        "FF 04 10 00 80 00 00 00 00 00 00 00", "FF 04 10 00 C0 00 00 00 00 00 00 00",
        "FF 04 11 00 00 00 00 00 00 00 00 00",  // page 0, ready, read back
        "FF 04 12 00 00 00 00 00 00 00 00 00", "FF 04 10 00 00 00 00 00 00 00 00 00",
        "FF 04 11 00 40 00 00 00 00 00 00 00", "FF 04 12 00 00 00 00 00 00 00 00 00",
        "FF 04 10 00 40 00 00 00 00 00 00 00", "FF 04 11 00 80 00 00 00 00 00 00 00",
        "FF 04 12 00 00 00 00 00 00 00 00 00", "FF 04 10 00 80 00 00 00 00 00 00 00",
    };
    EXPECT_EQ(blocks(), expected);
    for (const auto& s : scsi.sent)
        EXPECT_TRUE(s.cdb[2] != 0x11 || s.length == 0x4000);
    Buf want(0xC000, 0);
    std::copy(fw.begin(), fw.end(), want.begin());
    std::copy(config.begin(), config.end(), want.begin() + 0x8000);
    EXPECT_EQ(Buf(board.flash.begin(), board.flash.begin() + 0xC000), want);
}

TEST_F(WriterTest, SerialFlashConfigKeepsWhatTheFlagsDoNotRenew) {
    for (std::size_t i = 0; i < 0x8200; ++i)
        board.flash[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    const Buf before(board.flash.begin(), board.flash.begin() + 0xC000);
    // Configuration only: the firmware area is read first (each half after a ready wait).
    const ConfigImage config = Pattern(6);
    ASSERT_TRUE(WriteSerialFlashConfig(dev, true, false, config, FirmwareImage(), false));
    const auto all = blocks();
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 4),
              (std::vector<std::string>{
                  "FF 04 12 00 00 00 00 00 00 00 00 00", "FF 04 10 00 00 00 00 00 00 00 00 00",
                  "FF 04 12 00 00 00 00 00 00 00 00 00", "FF 04 10 00 40 00 00 00 00 00 00 00"}));
    Buf want = before;
    std::copy(config.begin(), config.end(), want.begin() + 0x8000);
    std::fill(want.begin() + 0x8080, want.end(), 0);  // the rest of the buffer is zero
    EXPECT_EQ(Buf(board.flash.begin(), board.flash.begin() + 0xC000), want);

    // Firmware only: 512 bytes of the configuration area are carried over.
    scsi.sent.clear();
    const FirmwareImage image = FirmwareImage::FromBytes(Buf(0x100, 0x33));
    ASSERT_TRUE(WriteSerialFlashConfig(dev, false, true, config, image, false));
    EXPECT_EQ(blocks().front(), "FF 04 10 00 80 00 00 00 00 00 00 00");
    EXPECT_EQ(scsi.sent.front().length, 512u);
    EXPECT_EQ(board.flash[0x8000], config[0]);
    EXPECT_EQ(board.flash[0xFF], 0x33);
}

TEST_F(WriterTest, SerialFlashConfigFailsOnAFlashThatDoesNotErase) {
    scsi.handler = [this](const test::Sent& s) -> std::optional<test::Reply> {
        if (s.cdb[0] == 0xFF && s.cdb[2] == 0x14)
            return test::Reply{};  // the erase is accepted and does nothing
        return board(s);
    };
    board.flash[0x4001] = 0x00;
    EXPECT_FALSE(WriteSerialFlashConfig(dev, true, true, Pattern(1),
                                        FirmwareImage::FromBytes(Buf(16, 1)), false));
    EXPECT_EQ(blocks().back(), "FF 04 10 00 40 00 00 00 00 00 00 00");
}

TEST_F(WriterTest, WordProgramSequence) {
    Buf page(1024);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(WordProgramPage(dev, 0x4000, page));
    const auto all = blocks();
    // One run: a ready wait, then per 512-byte block: enable status write, write status
    // (0x00, 0x00), write enable, the program start, the first pair, then 255 pairs.
    ASSERT_EQ(all.size(), 1u + 2 * (6 + 255) + 1);
    const std::vector<std::string> head = {
        "FF 04 12 00 00 00 00 00 00 00 00 00", "FF 04 20 01 00 50 00 00 00 00 00 00",
        "FF 04 20 01 01 01 00 00 00 00 00 00", "FF 04 22 00 00 00 00 00 02 00 00 00",
        "FF 04 20 01 00 06 00 00 00 00 00 00", "FF 04 20 04 01 AD 00 40 00 00 00 00",
        "FF 04 22 00 00 00 00 00 02 00 00 00", "FF 04 20 03 00 AD 03 04 00 00 00 00",
    };
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 8), head);
    EXPECT_EQ(scsi.sent[3].data, Hex("00 00"));
    EXPECT_EQ(scsi.sent[6].data, Hex("01 02"));
    // The second block continues without an address.
    EXPECT_EQ(all[1 + 261 + 4], "FF 04 20 01 01 AD 00 00 00 00 00 00");
    EXPECT_EQ(all[1 + 261 + 6], "FF 04 20 03 00 AD 03 04 00 00 00 00");
    EXPECT_EQ(all.back(), "FF 04 20 01 00 04 00 00 00 00 00 00");
    // 10 ms after each status write and write enable, after the run and at the end.
    EXPECT_EQ(clock.tickMs(), 2u * 20 + 10 + 10);
}

TEST_F(WriterTest, WordProgramNeedsTheSstPartOfType4) {
    board.jedec = {0xBF, 0x25, 0x8E, 0x00};
    EXPECT_TRUE(NeedsWordProgram(dev, 4));
    EXPECT_FALSE(NeedsWordProgram(dev, 7));
    board.jedec = {0xBF, 0x26, 0x8E, 0x00};
    EXPECT_FALSE(NeedsWordProgram(dev, 4));
}

TEST(ParallelFlashFields, LayoutOfTheConfigurationInTheFlash) {
    Buf flash(kParallelFlashSize, 0xFF);
    ParallelFlashConfig v;
    v.vid = "abcd";
    v.pid = "1234";
    v.manufacturer = "ABC";
    v.product = std::string(40, 'p');
    PutParallelFlashFields(v, flash);
    EXPECT_EQ(HexOf(Buf(flash.begin() + 0x4008, flash.begin() + 0x400C)), "CD AB 34 12");
    EXPECT_EQ(flash[0x4010], 5);  // no serial string
    EXPECT_EQ(HexOf(Buf(flash.begin() + 0x40A0, flash.begin() + 0x40AA)),
              "08 03 41 00 42 00 43 00 00 00");
    EXPECT_EQ(flash[0x40E0], 2 * 31 + 2);  // cut to 31 characters
    EXPECT_EQ(flash[0x40E0 + 2 + 60], 'p');
    EXPECT_EQ(flash[0x4120], 0);  // empty serial descriptor
    EXPECT_EQ(flash[0x4121], 3);
    EXPECT_EQ(flash[0x4160], 0xFF);  // INQUIRY fields untouched without the option

    v.product.clear();
    v.serial = "12";
    v.manufacturer = "Acme   Storage Works";
    v.inquiryFromManufacturer = true;
    PutParallelFlashFields(v, flash);
    EXPECT_EQ(flash[0x4010], 3);
    EXPECT_EQ(flash[0x40E0], 2 * 23 + 2);  // "USB to ATA/ATAPI bridge"
    EXPECT_EQ(flash[0x40A0], 2 * 7 + 2);   // "Velmora"
    const std::string inquiry(flash.begin() + 0x4160, flash.begin() + 0x4178);
    EXPECT_EQ(inquiry, "Acme    Storage Works   ");
    EXPECT_EQ(std::string(flash.begin() + 0x417C, flash.begin() + 0x4194), inquiry);

    v.manufacturer = "NoSpaceAtAllHere";
    PutParallelFlashFields(v, flash);
    EXPECT_EQ(std::string(flash.begin() + 0x4160, flash.begin() + 0x4178),
              "NoSpaceA                ");
}

TEST_F(WriterTest, ParallelFlashConfigSequenceAndContents) {
    for (std::size_t i = 0; i < board.parallel.size(); ++i)
        board.parallel[i] = static_cast<std::uint8_t>(i);
    ParallelFlashConfig v;
    v.vid = "7E8A";
    v.pid = "2426";
    v.serial = "0001";
    ASSERT_TRUE(WriteParallelFlashConfig(dev, true, false, v, 1, FirmwareImage()));
    EXPECT_EQ(blocks(), (std::vector<std::string>{
                            "FF 04 05 00 00 00 00 00 00 00 00 00",
                            "FF 04 03 00 00 00 00 00 00 00 00 00",
                            "FF 04 04 00 00 00 00 00 00 00 00 00",
                            "FF 04 01 00 00 00 00 00 00 00 00 00",
                            "FF 04 00 00 00 00 00 00 00 00 00 00",
                            "FF 04 03 00 00 00 00 00 00 00 00 00",
                            "FF 04 02 55 05 AA 02 55 05 AA 55 A0",
                            "FF 04 00 00 00 00 00 00 00 00 00 00",
                            "FF 04 03 00 00 00 00 00 00 00 00 00",
                        }));
    EXPECT_EQ(scsi.sent[1].length, kParallelFlashSize);
    EXPECT_EQ(scsi.sent[6].length, kParallelFlashSize);
    EXPECT_EQ(board.parallel[0x100], 0x00);  // the rest kept
    EXPECT_EQ(board.parallel[0x4008], 0x8A);
    EXPECT_EQ(board.parallel[0x4010], 3);

    // Firmware only over a configured flash: the fields are carried into the new image.
    const Buf kept(board.parallel.begin() + 0x4000, board.parallel.begin() + 0x4200);
    const FirmwareImage image = FirmwareImage::FromBytes(Buf(0x10000, 0x42));
    ASSERT_TRUE(WriteParallelFlashConfig(dev, false, true, v, 1, image));
    EXPECT_EQ(board.parallel[0x4008], 0x8A);
    EXPECT_EQ(board.parallel[0x4121], 3);
    EXPECT_EQ(board.parallel[0x4300], 0x42);  // outside the fields: the image
    // Without an image the firmware update has no source.
    EXPECT_FALSE(WriteParallelFlashConfig(dev, false, true, v, 1, FirmwareImage()));
}

TEST(ImageCrc, TheWordWiseCrc16) {
    const std::string abcd = "abcd";
    EXPECT_EQ(ImageCrc16(ConstBytes(reinterpret_cast<const std::uint8_t*>(abcd.data()), 4)),
              0x40D7);
    EXPECT_EQ(ImageCrc16({}), 0);
}

TEST_F(WriterTest, WriteVerifyMemoryChunksAndEraseModes) {
    board.memoryIsEeprom = false;
    Buf image(0x9000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + 1);
    using W = test::MemoryWrite;
    // Block mode 2 with 32 KiB blocks (type 3): the first chunk 4096, then 8192, cut at
    // the block boundary; only the chunk that starts a block carries the mode.
    board.memoryBlock = 32768;
    ASSERT_TRUE(WriteVerifyMemory(dev, 11, image, false, 3));
    EXPECT_EQ(test::MemoryWrites(scsi.sent), (std::vector<W>{{2, 0, 4096},
                                                             {0, 4096, 8192},
                                                             {0, 12288, 8192},
                                                             {0, 20480, 8192},
                                                             {0, 28672, 4096},
                                                             {2, 32768, 4096}}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), board.flash.begin()));

    // FlashType 7: 4096 bytes with mode 2 and 500 ms first; the first chunk has bit 7.
    scsi.sent.clear();
    const auto before = clock.tickMs();
    ASSERT_TRUE(WriteVerifyMemory(dev, 19, image, false, 7));
    auto writes = test::MemoryWrites(scsi.sent);
    EXPECT_EQ(writes[0], (W{2, 0, 4096}));
    EXPECT_EQ(writes[1], (W{0x82, 0, 4096}));
    EXPECT_EQ(writes[2], (W{0, 4096, 8192}));
    EXPECT_EQ(clock.tickMs() - before, 500u);

    // A board whose read-back never matches: three attempts (2, 3, 1; type 9 starts with 3).
    struct Row {
        FlashType type;
        std::vector<std::uint8_t> firstModes;
    } rows[] = {{5, {2, 3, 1}}, {9, {3, 3, 1}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.type));
        scsi.sent.clear();
        board.flipOnWrite = 0x5000;
        EXPECT_FALSE(WriteVerifyMemory(dev, 19, image, false, r.type));
        std::vector<std::uint8_t> modes;
        for (const W& w : test::MemoryWrites(scsi.sent)) {
            if (w.address == 0)
                modes.push_back(w.mode);
        }
        EXPECT_EQ(modes, r.firstModes);
        board.flipOnWrite.reset();
    }
    // Sector mode on type 5 (32 KiB sectors) and type 19 (8 KiB sectors).
    scsi.sent.clear();
    board.flipOnWrite = 0x10;
    WriteVerifyMemory(dev, 19, Buf(0x6000, 1), false, 19);
    writes = test::MemoryWrites(scsi.sent);
    const std::vector<W> third(writes.end() - 4, writes.end());
    EXPECT_EQ(third,
              (std::vector<W>{{1, 0, 4096}, {0, 4096, 4096}, {1, 8192, 8192}, {1, 16384, 8192}}));
}

TEST_F(WriterTest, MemoryImageOfKinds11To13) {
    board.memoryIsEeprom = false;
    Buf fw(0x10000);
    for (std::size_t i = 0; i < fw.size(); ++i)
        fw[i] = static_cast<std::uint8_t>(i >> 3);
    const FirmwareImage image = FirmwareImage::FromBytes(fw);
    const ConfigImage config = Pattern(3);
    Buf built;
    // Both flags: the image with the block laid over it and the product revision at 136.
    ASSERT_TRUE(BuildMemoryImage(dev, 13, true, true, config, "1.23", image, false, built));
    ASSERT_EQ(built.size(), fw.size());
    EXPECT_TRUE(std::equal(config.begin(), config.end(), built.begin()));
    EXPECT_EQ(std::string(built.begin() + 136, built.begin() + 140), "1.23");
    EXPECT_TRUE(std::equal(built.begin() + 140, built.end(), fw.begin() + 140));
    EXPECT_TRUE(scsi.sent.empty());

    // Firmware only over a configured board: its first 128 bytes stay.
    for (std::size_t i = 0; i < 4096; ++i)
        board.flash[i] = static_cast<std::uint8_t>(0xC0 + i);
    board.flash[126] = 'V';
    board.flash[127] = 'Q';
    ASSERT_TRUE(BuildMemoryImage(dev, 12, false, true, config, "9.99", image, false, built));
    EXPECT_TRUE(std::equal(built.begin(), built.begin() + 128, board.flash.begin()));
    EXPECT_TRUE(std::equal(built.begin() + 128, built.end(), fw.begin() + 128));
    EXPECT_EQ(blocks(), (std::vector<std::string>{"DF 10 00 10 00 00 00 00 00 00 00 FA"}));
    // ... and without the marker the whole image goes in.
    board.flash[127] = 'X';
    ASSERT_TRUE(BuildMemoryImage(dev, 12, false, true, config, "", image, false, built));
    EXPECT_EQ(built, fw);

    // Configuration only: the board's image read in 8192-byte chunks, the block over it.
    scsi.sent.clear();
    ASSERT_TRUE(BuildMemoryImage(dev, 11, true, false, config, "ABCD", image, false, built));
    EXPECT_EQ(scsi.sent.size(), 8u);
    EXPECT_EQ(blocks()[1], "DF 10 00 20 00 00 00 00 00 20 00 FA");
    EXPECT_TRUE(std::equal(config.begin(), config.end(), built.begin()));
    EXPECT_TRUE(std::equal(built.begin() + 140, built.end(), board.flash.begin() + 140));
}

TEST_F(WriterTest, MemoryImageOfKinds19And20CarriesTheCrc) {
    board.memoryIsEeprom = false;
    Buf fw(0xC000, 0x11);
    const FirmwareImage image = FirmwareImage::FromBytes(fw);
    Buf block(256);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i);
    Buf built;
    ASSERT_TRUE(BuildMemoryImage(dev, 19, true, true, block, "", image, false, built));
    EXPECT_EQ(built.size(), 0xC100u);  // at least 0xC100 for kind 19
    EXPECT_TRUE(std::equal(block.begin(), block.end(), built.begin() + 0xC000));
    EXPECT_EQ(GetBE16(built, 0xBFFE), ImageCrc16(ConstBytes(built).first(49148)));
    EXPECT_EQ(built[136], 0x11);  // no product revision for these kinds

    ASSERT_TRUE(BuildMemoryImage(dev, 20, true, true, block, "", image, false, built));
    EXPECT_EQ(built.size(), 0xC200u);

    // Firmware only, kind 20 with its configuration kept: the image's 512 bytes at 0xC100
    // still go in.
    for (std::size_t i = 0; i < 4096; ++i)
        board.flash[0xC000 + i] = 0x77;
    board.flash[0xC0FE] = 'V';
    board.flash[0xC0FF] = 'Q';
    Buf fw2(0xD000, 0x22);
    ASSERT_TRUE(BuildMemoryImage(dev, 20, false, true, block, "", FirmwareImage::FromBytes(fw2),
                                 false, built));
    EXPECT_EQ(built[0xC000], 0x77);
    EXPECT_EQ(built[0xC0FE], 'V');
    EXPECT_EQ(built[0xC100], 0x22);
    EXPECT_EQ(built[0xC2FF], 0x22);
    EXPECT_EQ(built[0xC300], 0x77);
    EXPECT_EQ(built[0xBFF0], 0x22);
}

TEST_F(WriterTest, MemoryImageThroughTheSerialFlashCommands) {
    const FirmwareImage image = FirmwareImage::FromBytes(Buf(0x9000, 0x5C));
    const ConfigImage config = Pattern(5);
    ASSERT_TRUE(WriteMemoryImage(dev, 13, true, true, config, "0001", image, true));
    const auto all = blocks();
    // The image rounded up to 8192 (0xA000): blocks at 0 and 0x8000 erased.
    EXPECT_EQ(all[0], "FF 04 14 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(all[1], "FF 04 14 00 80 00 00 00 00 00 00 00");
    EXPECT_EQ(std::count(all.begin(), all.end(), "FF 04 13 00 00 00 00 00 00 00 00 00"), 0);
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const std::string& b) { return b.rfind("FF 04 11", 0) == 0; }),
              5);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), board.flash.begin()));
    EXPECT_EQ(board.flash[0x8FFF], 0x5C);
    EXPECT_EQ(board.flash[0x9000], 0x00);  // the padding up to 8192
    EXPECT_EQ(clock.tickMs(), 500u);

    // A flash whose blocks do not erase is erased whole, 500 ms, then checked again.
    scsi.sent.clear();
    scsi.handler = [this](const test::Sent& s) -> std::optional<test::Reply> {
        if (s.cdb[0] == 0xFF && s.cdb[2] == 0x14)
            return test::Reply{};
        return board(s);
    };
    ASSERT_TRUE(WriteMemoryImage(dev, 13, true, true, config, "0001", image, true));
    const auto again = blocks();
    EXPECT_EQ(std::count(again.begin(), again.end(), "FF 04 13 00 00 00 00 00 00 00 00 00"), 1);
}

TEST(DiskConfigSector, LayoutBySectorSize) {
    ConfigImage config{};
    config[0] = 0x12;
    config[124] = 0x01;
    for (std::uint32_t size : {512u, 1024u, 4096u}) {
        SCOPED_TRACE(size);
        const Buf s = DiskConfigSector(config, size);
        ASSERT_EQ(s.size(), size);
        EXPECT_EQ(HexOf(Buf(s.begin(), s.begin() + 4)), "56 51 56 51");
        EXPECT_EQ(s[126], 0x56);
        EXPECT_EQ(s[127], 0x51);
        EXPECT_EQ(s[128], 0x12);
        EXPECT_EQ(s[128 + 124], 0x21);  // bit 5 set
        EXPECT_EQ(s[256], 0x56);
        EXPECT_EQ(s[384], 0x12);
        EXPECT_EQ(s[384 + 124], 0x21);
        if (size == 1024) {
            EXPECT_TRUE(std::equal(s.begin(), s.begin() + 512, s.begin() + 512));
        }
        if (size == 4096) {
            EXPECT_TRUE(std::equal(s.begin(), s.begin() + 512, s.begin() + 3584));
            EXPECT_EQ(s[512], 0);
        }
    }
}

}  // namespace
}  // namespace vq::bridge
