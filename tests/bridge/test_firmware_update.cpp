// The firmware updaters against a scripted board: command blocks, erase counts, page
// layout, verification and the disk's reserved area.
#include "bridge/FirmwareUpdate.h"

#include "bridge/ConfigWriters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "resources/Resources.h"
#include "tests/bridge/ScriptedBoard.h"

namespace vq::bridge {
namespace {

using test::Hex;
using Buf = std::vector<std::uint8_t>;

Buf Ramp(std::size_t n, std::uint8_t seed = 0) {
    Buf b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 5 + (i >> 9));
    return b;
}

class UpdateTest : public ::testing::Test {
  protected:
    test::FakeScsi scsi;
    test::ManualClock clock;
    Transport transport{scsi, clock};
    Target dev{transport, "\\\\.\\PhysicalDrive4"};
    test::ScriptedBoard board;
    RecordingOperator op;
    CapturingDiagnostics diag;
    UpdateContext ctx{&op, &diag, {}};
    void SetUp() override {
        scsi.handler = [this](const test::Sent& s) { return board(s); };
    }
    std::vector<std::string> blocks() const { return scsi.blocks(); }
    std::ptrdiff_t count(const std::string& prefix) const {
        const auto all = blocks();
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string& b) { return b.rfind(prefix, 0) == 0; });
    }
};

TEST_F(UpdateTest, SerialFlashErasesOneBlockUpTo0x8000AndTwoAbove) {
    struct Row {
        std::size_t n;
        long erases;
        long pages;
        std::uint64_t ms;
    } rows[] = {{0x8000, 1, 2, 0}, {0x8001, 2, 3, 100}, {0x10000, 2, 4, 100}, {100, 1, 1, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.n);
        scsi.sent.clear();
        const auto before = clock.tickMs();
        const Buf fw = Ramp(r.n, static_cast<std::uint8_t>(r.n));
        ASSERT_TRUE(UpdateSerialFlash(dev, FirmwareImage::FromBytes(fw), ctx));
        EXPECT_EQ(count("FF 04 14"), r.erases);
        EXPECT_EQ(count("FF 04 11"), r.pages);
        EXPECT_EQ(clock.tickMs() - before, r.ms);
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), board.flash.begin()));
        for (const auto& s : scsi.sent) {
            if (s.cdb[2] == 0x11) {
                EXPECT_EQ(s.length, 0x4000u);  // always whole pages
            }
            if (s.cdb[2] == 0x10) {
                EXPECT_EQ(s.length, r.n);  // blank check and verify over the image
            }
        }
    }
}

TEST_F(UpdateTest, SerialFlashSequence) {
    const Buf fw = Ramp(0x4800);
    ASSERT_TRUE(UpdateSerialFlash(dev, FirmwareImage::FromBytes(fw), ctx));
    EXPECT_EQ(blocks(), (std::vector<std::string>{
                            "FF 04 12 00 00 00 00 00 00 00 00 00",
                            "FF 04 14 00 00 00 00 00 00 00 00 00",
                            "FF 04 12 00 00 00 00 00 00 00 00 00",
                            "FF 04 10 00 00 00 00 00 00 00 00 00",
                            "FF 04 11 00 00 00 00 00 00 00 00 00",
                            "FF 04 11 00 40 00 00 00 00 00 00 00",
                            "FF 04 12 00 00 00 00 00 00 00 00 00",
                            "FF 04 10 00 00 00 00 00 00 00 00 00",
                        }));
    // What lies past the image in the last page is left erased.
    EXPECT_EQ(scsi.sent[5].data[0x800], 0xFF);
    EXPECT_TRUE(diag.lines().empty());
}

TEST_F(UpdateTest, SerialFlashFailures) {
    const FirmwareImage image = FirmwareImage::FromBytes(Ramp(0x6000));
    // A flash that stays busy at the start: the trace, then the erase decides.
    board.busyReads = 1000;
    board.failAt = 501;  // the erase after 501 status reads
    EXPECT_FALSE(UpdateSerialFlash(dev, image, ctx));
    EXPECT_EQ(diag.lines(), std::vector<std::string>{"0.1 Device initial not ready!!"});
    EXPECT_EQ(blocks().back(), "FF 04 14 00 00 00 00 00 00 00 00 00");

    // A byte that does not stick fails the verify.
    board = test::ScriptedBoard();
    board.flipOnWrite = 0x5555;
    EXPECT_FALSE(UpdateSerialFlash(dev, image, ctx));
    // A flash that is not blank after the erase.
    board = test::ScriptedBoard();
    scsi.handler = [this](const test::Sent& s) -> std::optional<test::Reply> {
        if (s.cdb[0] == 0xFF && s.cdb[2] == 0x14)
            return test::Reply{};
        return board(s);
    };
    board.flash[3] = 0;
    scsi.sent.clear();
    EXPECT_FALSE(UpdateSerialFlash(dev, image, ctx));
    EXPECT_EQ(count("FF 04 11"), 0);
    // No image at all.
    EXPECT_FALSE(UpdateSerialFlash(dev, FirmwareImage(), ctx));
}

TEST_F(UpdateTest, ParallelFlashSequence) {
    const Buf fw = Ramp(0x10000, 3);
    ASSERT_TRUE(UpdateParallelFlash(dev, 2, FirmwareImage::FromBytes(fw), ctx));
    EXPECT_EQ(blocks(), (std::vector<std::string>{
                            "FF 04 05 00 00 00 00 00 00 00 00 00",
                            "FF 04 04 00 00 00 00 00 00 00 00 00",
                            "FF 04 01 00 00 00 00 00 00 00 00 00",
                            "FF 04 00 00 00 00 00 00 00 00 00 00",
                            "FF 04 03 00 00 00 00 00 00 00 00 00",
                            "FF 04 00 00 00 00 00 00 00 00 00 00",
                            "FF 04 02 55 55 AA 2A 55 55 AA 55 A0",
                            "FF 04 00 00 00 00 00 00 00 00 00 00",
                            "FF 04 03 00 00 00 00 00 00 00 00 00",
                        }));
    EXPECT_EQ(scsi.sent[1].data, Hex("55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10"));
    EXPECT_EQ(board.parallel, fw);

    // A parallel flash that stays busy refuses the erase and the program; the wait before
    // the program gives up after 50000 tries 10 ms apart on the clock (no real waiting).
    board = test::ScriptedBoard();
    board.stuckBusy = true;
    scsi.sent.clear();
    const auto before = clock.tickMs();
    EXPECT_FALSE(UpdateParallelFlash(dev, 2, FirmwareImage::FromBytes(fw), ctx));
    EXPECT_EQ(clock.tickMs() - before, 49999u * 10);
}

TEST_F(UpdateTest, UpdateFirmwareDispatch) {
    const FirmwareImage image = FirmwareImage::FromBytes(Ramp(0x100));
    for (ChipKind k : std::vector<ChipKind>{9, 13, 19, 8, 21, 31, 0}) {
        SCOPED_TRACE(int(k));
        op.clear();
        scsi.sent.clear();
        EXPECT_FALSE(UpdateFirmware(dev, k, 0, image, ctx));
        EXPECT_TRUE(scsi.sent.empty());
        ASSERT_EQ(op.messages().size(), 1u);
        EXPECT_EQ(op.messages()[0].text, "This device not support Firmware Update!");
        EXPECT_EQ(op.messages()[0].title, "Error");
    }
    for (ChipKind k : std::vector<ChipKind>{1, 4, 6, 15, 16, 18}) {
        scsi.sent.clear();
        EXPECT_TRUE(UpdateFirmware(dev, k, 0, image, ctx));
        EXPECT_EQ(count("FF 04 11"), 1) << int(k);
    }
    scsi.sent.clear();
    EXPECT_TRUE(UpdateFirmware(dev, 35, 1, image, ctx));
    EXPECT_EQ(count("FF 04 02 55 05"), 1);
}

Buf WithSignature433(Buf b) {
    const Buf sig = {0x55, 0xAA, 0xAA, 0x55, '4', '3', '3', '0'};
    std::copy(sig.begin(), sig.end(), b.begin() + 4096);
    return b;
}

TEST_F(UpdateTest, CombinedFlashPacksTheBlockBeforeTheFirmware) {
    // The flash holds a configuration block; the image has none of its own.
    const Buf oldBlock = Ramp(4096, 0x40);
    std::copy(oldBlock.begin(), oldBlock.end(), board.flash.begin());
    const Buf fw = Ramp(0x7000, 9);
    ConfigImage config{};
    config.fill(0xC3);
    ASSERT_TRUE(UpdateCombinedFlash(dev, true, true, config, FirmwareImage::FromBytes(fw), ctx));
    // d = 0x8000: one block erased, two pages.
    EXPECT_EQ(count("FF 04 14"), 1);
    EXPECT_EQ(count("FF 04 11"), 2);
    Buf want(oldBlock);
    std::fill(want.begin(), want.begin() + 128, 0xC3);
    want.insert(want.end(), fw.begin(), fw.end());
    EXPECT_EQ(Buf(board.flash.begin(), board.flash.begin() + 0x8000), want);
    EXPECT_EQ(blocks().front(), "FF 04 10 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(scsi.sent.front().length, 4096u);

    // Firmware only: the block on the flash stays as it is.
    scsi.sent.clear();
    const Buf fw2 = Ramp(0x9000, 1);
    ASSERT_TRUE(UpdateCombinedFlash(dev, false, true, config, FirmwareImage::FromBytes(fw2), ctx));
    EXPECT_EQ(count("FF 04 14"), 2);  // d = 0xA000, rounded to 0xC000: two blocks
    EXPECT_EQ(count("FF 04 11"), 3);
    EXPECT_TRUE(std::equal(fw2.begin(), fw2.end(), board.flash.begin() + 4096));
    EXPECT_EQ(board.flash[0], 0xC3);
}

TEST_F(UpdateTest, CombinedFlashEraseCountFollowsTheRoundedLength) {
    ConfigImage config{};
    struct Row {
        std::size_t n;
        bool own;
        long blocks, pages;
    } rows[] = {
        {0x1000, false, 1, 2},  // raised to 0x4000, plus the block: 0x5000
        {0x3000, true, 1, 1},   // its own block: 0x4000
        {0x7001, false, 2, 3},  // 0x8001, rounded to 0xC000
        {0xC000, true, 2, 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.n);
        scsi.sent.clear();
        Buf fw = Ramp(r.n, 7);
        if (r.own)
            fw = WithSignature433(fw);
        ASSERT_TRUE(
            UpdateCombinedFlash(dev, true, true, config, FirmwareImage::FromBytes(fw), ctx));
        EXPECT_EQ(count("FF 04 14"), r.blocks);
        EXPECT_EQ(count("FF 04 11"), r.pages);
        if (r.own) {
            EXPECT_EQ(board.flash[4096], 0x55);  // the image's own layout, block at 0
            EXPECT_EQ(board.flash[0], 0x00);     // replaced by the caller's block
        }
    }
}

TEST_F(UpdateTest, CombinedFlashWithItsOwnBlockKeepsTheBoardsBlockOnFirmwareOnly) {
    board.flash[0] = 0x99;
    board.flash[127] = 0x98;
    board.flash[128] = 0x97;
    const Buf fw = WithSignature433(Ramp(0x8000, 2));
    ConfigImage config{};
    ASSERT_TRUE(UpdateCombinedFlash(dev, false, true, config, FirmwareImage::FromBytes(fw), ctx));
    EXPECT_EQ(blocks().front(), "FF 04 10 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(scsi.sent.front().length, 128u);
    EXPECT_EQ(board.flash[0], 0x99);
    EXPECT_EQ(board.flash[127], 0x98);
    EXPECT_EQ(board.flash[128], fw[128]);
}

TEST_F(UpdateTest, CombinedFlashConfigurationOnlyRewritesTheFirmwareItRead) {
    const Buf current = Ramp(0x8000, 0x21);
    std::copy(current.begin(), current.end(), board.flash.begin());
    ConfigImage config{};
    config.fill(0x5A);
    ASSERT_TRUE(UpdateCombinedFlash(dev, true, false, config, FirmwareImage(), ctx));
    EXPECT_EQ(blocks().front(), "FF 04 10 00 10 00 00 00 00 00 00 00");
    EXPECT_EQ(scsi.sent.front().length, 0x7000u);
    EXPECT_TRUE(std::all_of(board.flash.begin(), board.flash.begin() + 128,
                            [](std::uint8_t b) { return b == 0x5A; }));
    EXPECT_TRUE(std::equal(current.begin() + 128, current.end(), board.flash.begin() + 128));
}

// ---- The disk's reserved area ---------------------------------------------------------

class DiskAreaTest : public UpdateTest {
  protected:
    // A drive of `sectors` logical sectors of `size` bytes; the bridge hides the area
    // above `visible`.
    void drive(std::uint64_t sectors, std::uint32_t size = 512, std::uint64_t visible = 0) {
        board.registers[0x720F] = 0x04;
        board.identify.assign(512, 0);
        if (sectors > 0x0FFFFFFF) {
            PutLE32(board.identify, 120, 0x0FFFFFFF);
            PutLE64(board.identify, 200, sectors);
        } else {
            PutLE32(board.identify, 120, static_cast<std::uint32_t>(sectors));
        }
        if (size != 512) {
            PutLE16(board.identify, 212, 0x6000);
            PutLE32(board.identify, 234, size / 2);
        }
        board.sectorSize = size;
        board.lastLba = visible ? visible - 1 : sectors - 1;
    }
    void mark(std::uint32_t pointer, std::uint64_t at) {
        Buf s(board.sectorSize, 0);
        PutBE32(s, 151, pointer);
        board.sectors[at] = s;
        board.registers[0xC000] = 0x55;
        board.registers[0xC001] = 0xAA;
    }
};

TEST_F(DiskAreaTest, ReservedAreaStartAndTarget) {
    struct Row {
        const char* name;
        std::uint64_t sectors, visible;
        std::uint32_t size;
        bool chipFlag;
        std::uint64_t start, target;
    } rows[] = {
        {"small drive, bridge hides nothing", 1'000'000, 0, 512, false, 999'999, 999'680},
        {"chip flag adds one and keeps R", 1'000'000, 0, 512, true, 1'000'000, 999'680},
        {"visible capacity below N", 1'000'000, 900'000, 512, false, 899'999, 899'584},
        // Above 2^32 sectors (more than 2 TiB of 512-byte sectors): N - 1 in 64 bits,
        // never the low 32 bits, which would point into the user's data.
        {"above 2^32 sectors", 0x1'2345'6789ull, 0, 512, false, 0x1'2345'6788ull, 0x1'2345'6600ull},
        {"4096-byte sectors", 500'000, 0, 4096, false, 499'999, 499'712},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        board = test::ScriptedBoard();
        drive(r.sectors, r.size, r.visible);
        board.chipInfo[17] = r.chipFlag ? 1 : 0;
        const auto area = ReadReservedArea(dev, 8);
        ASSERT_TRUE(area);
        EXPECT_EQ(area->sectorSize, r.size);
        EXPECT_EQ(area->sectorCount, r.sectors);
        EXPECT_EQ(area->start, r.start);
        EXPECT_FALSE(area->fromRecord);
        EXPECT_EQ(DiskFirmwareTarget(*area), r.target);
    }
}

TEST_F(DiskAreaTest, PointerRecordOfAPreviousFirmwareArea) {
    // Kind 8 (not 7): the register 0xC000 marks it; the record sits in the 4 sectors at N.
    drive(2'000'000);
    mark(1'999'000, 2'000'000);
    auto area = ReadReservedArea(dev, 8);
    ASSERT_TRUE(area);
    EXPECT_TRUE(area->fromRecord);
    EXPECT_EQ(area->start, 1'999'000u);
    // The read of the record: 4 sectors at LBA N.
    const auto all = blocks();
    EXPECT_TRUE(std::find(all.begin(), all.end(),
                          "85 15 0B 00 00 00 04 00 80 00 84 00 1E 60 25 00") != all.end());

    // A zero pointer means N + 257, in 64 bits also on large drives.
    for (std::uint64_t n : {2'000'000ull, 0x1'0000'0100ull}) {
        SCOPED_TRACE(n);
        board = test::ScriptedBoard();
        drive(n);
        mark(0, n);
        area = ReadReservedArea(dev, 8);
        ASSERT_TRUE(area);
        EXPECT_EQ(area->start, n + 257);
        EXPECT_TRUE(DiskFirmwareTarget(*area));
    }

    // Kind 7 is marked by chip information byte 16 instead.
    board = test::ScriptedBoard();
    drive(2'000'000);
    mark(1'999'500, 2'000'000);
    board.registers.erase(0xC000);
    board.registers.erase(0xC001);
    ASSERT_TRUE(ReadReservedArea(dev, 7));
    EXPECT_FALSE(ReadReservedArea(dev, 7)->fromRecord);
    board.chipInfo[16] = 1;
    EXPECT_EQ(ReadReservedArea(dev, 7)->start, 1'999'500u);

    // On a drive above 2^32 sectors the 32-bit pointer is taken near the area it names.
    board = test::ScriptedBoard();
    drive(0x1'2345'6789ull);
    mark(0x2345'0000u, 0x1'2345'6789ull);
    EXPECT_EQ(ReadReservedArea(dev, 8)->start, 0x1'2345'0000ull);
}

TEST_F(DiskAreaTest, APointerOutsideTheReservedAreaIsRefused) {
    struct Row {
        std::uint64_t sectors;
        std::uint32_t pointer;
    } rows[] = {
        {2'000'000, 5},            // would put the firmware at the start of the disk
        {2'000'000, 1'000'000},    // into the middle of the user's data
        {2'000'000, 2'000'300},    // above the highest place an area is made
        {0x1'2345'6789ull, 0x10},  // 2^32 + 16: far below the top of a large drive
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.pointer);
        board = test::ScriptedBoard();
        drive(r.sectors);
        mark(r.pointer, r.sectors);
        EXPECT_FALSE(ReadReservedArea(dev, 8));
        scsi.sent.clear();
        EXPECT_FALSE(WriteDiskResidentFirmware(dev, 8, FirmwareImage(), ctx));
        EXPECT_EQ(count("85 17"), 0);  // nothing written
    }
}

TEST_F(DiskAreaTest, DiskResidentFirmwareWritesTheAreaWithItsPointerRecord) {
    drive(0x1'2345'6789ull);
    ASSERT_TRUE(WriteDiskResidentFirmware(dev, 8, FirmwareImage(), ctx));
    const auto builtIn = resources::FindResource("FW", "VQB418FW");
    ASSERT_TRUE(builtIn);
    const std::uint64_t target = 0x1'2345'6600ull;
    Buf area;
    for (std::uint64_t i = 0; i < 128; ++i) {
        const Buf& s = board.sectors.at(target + i);
        area.insert(area.end(), s.begin(), s.end());
    }
    EXPECT_TRUE(std::equal(builtIn->begin(), builtIn->begin() + 150, area.begin()));
    EXPECT_EQ(test::HexOf(Buf(area.begin() + 150, area.begin() + 156)), "55 23 45 67 88 AA");
    EXPECT_TRUE(std::equal(builtIn->begin() + 156, builtIn->end(), area.begin() + 156));
    EXPECT_TRUE(
        std::all_of(area.begin() + 32768, area.end(), [](std::uint8_t b) { return b == 0; }));
    // One write and one read of 128 sectors at the target, LBA bits spread as the
    // pass-through block wants them.
    EXPECT_EQ(count("85 17 03 00 00 00 80 23 00 01 66 00 45 60 35"), 1);
    EXPECT_EQ(count("85 15 0B 00 00 00 80 23 00 01 66 00 45 60 25"), 1);

    // Kind 7 writes the run's image; without one there is nothing to write.
    board = test::ScriptedBoard();
    drive(1'000'000, 4096);
    const Buf fw = Ramp(0x8000, 4);
    ASSERT_TRUE(WriteDiskResidentFirmware(dev, 7, FirmwareImage::FromBytes(fw), ctx));
    EXPECT_EQ(board.sectors.count(999'680 + 15), 1u);  // 16 sectors of 4096 bytes
    EXPECT_EQ(board.sectors.count(999'680 + 16), 0u);
    EXPECT_FALSE(WriteDiskResidentFirmware(dev, 7, FirmwareImage(), ctx));
}

TEST_F(DiskAreaTest, DiskResidentConfigurationAtTheReservedAreaStart) {
    drive(1'000'000, 1024);
    ConfigImage config{};
    config[0] = 0xAB;
    ASSERT_TRUE(WriteDiskResidentConfig(dev, config, 8));
    const Buf& sector = board.sectors.at(999'999);
    EXPECT_EQ(sector.size(), 1024u);
    EXPECT_EQ(sector[128], 0xAB);
    EXPECT_EQ(count("A1 06 0E 00 00 00 00 00 A0 EA"), 3);
    // A capacity the bridge does not report leaves no place to write.
    board = test::ScriptedBoard();
    drive(1'000'000);
    scsi.handler = [this](const test::Sent& s) -> std::optional<test::Reply> {
        if (s.cdb[0] == 0x9E)
            return test::Reply{{}, true, 0, 2};
        return board(s);
    };
    EXPECT_FALSE(WriteDiskResidentConfig(dev, config, 8));
    EXPECT_TRUE(board.sectors.empty());
}

}  // namespace
}  // namespace vq::bridge
