// The writers and updaters end to end against emulated boards of every storage kind: what
// a board holds after the write, the identity it shows after a reset, and the faults a
// board can have (a torn program, a failing command, a busy flash, a vanishing board).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bridge/BoardProgram.h"
#include "bridge/ConfigBuild.h"
#include "bridge/ConfigWriters.h"
#include "bridge/FirmwareUpdate.h"
#include "bridge/VendorCommands.h"
#include "platform/sim/SimPlatform.h"
#include "resources/FirmwareExamples.h"

namespace vq::bridge {
namespace {

using Buf = std::vector<std::uint8_t>;

FirmwareImage Example(std::string_view file) {
    for (const auto& row : resources::kExampleFirmware) {
        if (row.file == file)
            return FirmwareImage::FromBytes(resources::MakeExampleFirmware(row));
    }
    return {};
}

class SimWriters : public ::testing::Test {
  protected:
    sim::SimPlatform sim;
    Transport transport{*sim.platform().scsi, sim.clock()};
    sim::AddedBridge added;

    Target add(sim::BridgeConfig c) {
        added = sim.addBridge(std::move(c));
        return Target{transport, added.physicalDrivePath};
    }
    static sim::BridgeConfig Board(std::uint8_t kind) {
        sim::BridgeConfig c;
        c.kind = kind;
        return c;
    }
    // Resets the board and lets emulated time pass until it is back.
    sim::UsbIdentity resetAndIdentity(const Target& t) {
        EXPECT_TRUE(ResetBridge(t));
        sim.clock().sleepMs(3000);
        EXPECT_TRUE(added.bridge->present());
        return added.bridge->identity();
    }
    // A configuration block of the given layout with these strings.
    static ConfigImage Block(LayoutRow row, std::uint16_t vid, std::uint16_t pid,
                             const std::string& m, const std::string& p, const std::string& s,
                             ChipKind kind = 14) {
        ConfigImage image{};
        ApplyTemplate(image, TemplateOf(row));
        const ConfigLayout& l = LayoutOf(row);
        PutConfigWord(image, l.vidPos, vid);
        PutConfigWord(image, l.pidPos, pid);
        const int type = row == LayoutRow::StandardType3 || row == LayoutRow::ParallelType3 ? 3
                         : row == LayoutRow::StandardType2                                  ? 2
                                                                                            : 1;
        PlaceUsbStrings(image, l, kind, type, {m, p, s}, false);
        return image;
    }
};

TEST_F(SimWriters, EepromBoardTakesItsNewIdentity) {
    const Target t = add(Board(14));
    const ConfigImage image =
        Block(LayoutRow::StandardType2, 0x1234, 0x5678, "Maker", "Drive", "000000000042");
    ASSERT_TRUE(TestEeprom(t));
    ASSERT_TRUE(WriteEeprom(t, image, 3));
    EXPECT_EQ(added.bridge->eeprom(), Buf(image.begin(), image.end()));
    const auto id = resetAndIdentity(t);
    EXPECT_EQ(id.vid, 0x1234);
    EXPECT_EQ(id.pid, 0x5678);
    EXPECT_EQ(id.manufacturer, "Maker");
    EXPECT_EQ(id.product, "Drive");
    EXPECT_EQ(id.serial, "000000000042");
}

TEST_F(SimWriters, SerialFlashConfigurationOfBoardsWithoutEeprom) {
    struct Row {
        const char* name;
        std::uint8_t kind;
        std::uint8_t flashType;
        bool flashProtected;
    } rows[] = {
        {"v424 on a Macronix part, protected", 1, 7, true},
        {"v427A1 on a Micron part", 15, 5, false},
        {"v429C3 on a Macronix part", 6, 7, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        sim::BridgeConfig c = Board(r.kind);
        c.hasEeprom = false;
        c.flashType = r.flashType;
        c.flashProtected = r.flashProtected;
        const Target t = add(c);
        const FirmwareImage image = Example(r.kind == 6 ? "v429C3.bin" : "v424-rev1.bin");
        ASSERT_TRUE(ConfigInFlash(r.kind, t, image.length()));
        const ConfigImage block =
            Block(LayoutRow::StandardType3, 0xABCD, 0x0001, "Flash Maker", "Flash", "77", r.kind);
        ASSERT_TRUE(WriteSerialFlashConfig(t, true, true, block, image, false));
        const Buf flash = added.bridge->serialFlash();
        EXPECT_TRUE(std::equal(image.bytes().begin(), image.bytes().end(), flash.begin()));
        EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + 0x8000));
        const auto id = resetAndIdentity(t);
        EXPECT_EQ(id.vid, 0xABCD);
        EXPECT_EQ(id.manufacturer, "Flash Maker");
        EXPECT_EQ(id.serial, "77");
        EXPECT_TRUE(added.bridge->firmwareRunning());
    }
}

TEST_F(SimWriters, WordProgramOnTheSstPart) {
    sim::BridgeConfig c = Board(1);
    c.hasEeprom = false;
    c.flashType = 4;
    const Target t = add(c);
    ASSERT_TRUE(NeedsWordProgram(t, DetectFlashType(1, t)));
    const ConfigImage block =
        Block(LayoutRow::StandardType2, 0x4321, 0x1111, "SST", "Word", "000000000009");
    // The configuration page alone (the whole three-page write is the same sequence, 24576
    // word commands long).
    Buf page(1024, 0);
    std::copy(block.begin(), block.end(), page.begin());
    ASSERT_TRUE(SerialFlashEraseBlock(t, 0x8000));
    ASSERT_TRUE(WordProgramPage(t, 0x8000, page));
    const Buf flash = added.bridge->serialFlash();
    EXPECT_TRUE(std::equal(page.begin(), page.end(), flash.begin() + 0x8000));
    EXPECT_EQ(resetAndIdentity(t).vid, 0x4321);
    // The page-program command writes one byte in 256 on this part.
    ASSERT_TRUE(SerialFlashEraseBlock(t, 0x8000));
    ASSERT_TRUE(SerialFlashWrite(t, 0x8000, page));
    Buf back(page.size());
    ASSERT_TRUE(SerialFlashRead(t, 0x8000, back));
    EXPECT_NE(back, page);
}

TEST_F(SimWriters, ParallelFlashModel) {
    sim::BridgeConfig c = Board(30);
    c.parallelFlashType = 1;
    const Target t = add(c);
    ParallelFlashConfig v;
    v.vid = "2E8A";
    v.pid = "0426";
    v.manufacturer = "Parallel Maker";
    v.serial = "000000000426";
    const FirmwareImage image = Example("v426.bin");
    ASSERT_TRUE(WriteParallelFlashConfig(t, true, true, v, 1, image));
    auto id = resetAndIdentity(t);
    EXPECT_EQ(id.vid, 0x2E8A);
    EXPECT_EQ(id.pid, 0x0426);
    EXPECT_EQ(id.manufacturer, "Parallel Maker");
    EXPECT_EQ(id.product, "USB to ATA/ATAPI bridge");
    EXPECT_EQ(id.serial, "000000000426");
    // The firmware update alone leaves the image's blank configuration area.
    ASSERT_TRUE(UpdateParallelFlash(t, 1, image));
    EXPECT_EQ(added.bridge->parallelFlash(), Buf(image.bytes().begin(), image.bytes().end()));
    // The wrong unlock sequence for the part: nothing is erased, the verify fails.
    EXPECT_FALSE(UpdateParallelFlash(t, 0, Example("v426.bin")));
}

TEST_F(SimWriters, MemoryImageOfTheUsb3Kinds) {
    for (std::uint8_t kind : std::vector<std::uint8_t>{19, 20}) {
        SCOPED_TRACE(int(kind));
        sim::BridgeConfig c = Board(kind);
        c.flashType = 7;
        const Target t = add(c);
        ConfigImage image =
            Block(LayoutRow::StandardType3, 0x0BDA, 0x9210, "Usb Maker", "Usb3", "000000000019");
        ApplyFamilyDefaults(kind, image, nullptr);
        const auto block = ExtendedBlock(kind, image, {}, "Usb Maker", {});
        const FirmwareImage fw = Example(kind == 19 ? "v646.bin" : "v688.bin");
        ASSERT_TRUE(FirmwareFitsChip(fw, IdentifyChipWithRevision(t)));
        ASSERT_TRUE(WriteMemoryImage(t, kind, true, true, block, "", fw));
        const Buf flash = added.bridge->serialFlash();
        EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + 0xC000));
        EXPECT_EQ(GetBE16(flash, 0xBFFE), ImageCrc16(ConstBytes(flash).first(49148)));
        const auto id = resetAndIdentity(t);
        EXPECT_EQ(id.vid, 0x0BDA);
        EXPECT_EQ(id.pid, 0x9210);
        EXPECT_EQ(id.manufacturer, "Usb Maker");
        EXPECT_EQ(id.serial, "000000000019");
        EXPECT_TRUE(added.bridge->firmwareRunning());
    }
}

TEST_F(SimWriters, CombinedFlashOfKind9) {
    sim::BridgeConfig c = Board(9);
    const Target t = add(c);
    const ConfigImage block =
        Block(LayoutRow::StandardType2, 0x0909, 0x0433, "Nine", "Combined", "000000000433");
    const FirmwareImage fw = Example("v433.bin");
    ASSERT_TRUE(UpdateCombinedFlash(t, true, true, block, fw));
    const Buf flash = added.bridge->serialFlash();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin()));
    EXPECT_TRUE(std::equal(fw.bytes().begin(), fw.bytes().end(), flash.begin() + 4096));
    const auto id = resetAndIdentity(t);
    EXPECT_EQ(id.vid, 0x0909);
    EXPECT_EQ(id.product, "Combined");
}

TEST_F(SimWriters, SerialFlashFirmwareRunsAfterTheReset) {
    const Target t = add(Board(4));
    const FirmwareImage fw = Example("v429.bin");
    ASSERT_TRUE(FirmwareFitsChip(fw, IdentifyChipWithRevision(t)));
    ASSERT_TRUE(UpdateFirmware(t, 4, 0, fw));
    const Buf flash = added.bridge->serialFlash();
    EXPECT_TRUE(std::equal(fw.bytes().begin(), fw.bytes().end(), flash.begin()));
    resetAndIdentity(t);
    EXPECT_TRUE(added.bridge->firmwareRunning());
}

TEST_F(SimWriters, DiskResidentAreaOnADriveAbove2TiB) {
    sim::BridgeConfig c = Board(7);
    c.hasEeprom = false;
    c.master->sectors = 0x1'2345'6789ull;  // about 2.3 TiB of 512-byte sectors
    const Target t = add(c);
    const FirmwareImage fw = Example("v429E.bin");
    ASSERT_TRUE(WriteDiskResidentFirmware(t, 7, fw));
    const auto area = ReadReservedArea(t, 7);
    ASSERT_TRUE(area);
    EXPECT_EQ(area->sectorCount, 0x1'2345'6789ull);
    const std::uint64_t target = *DiskFirmwareTarget(*area);
    EXPECT_GT(target, 0x1'0000'0000ull);  // near the end of the drive, not in its first 2 TiB
    Buf back(65536);
    ASSERT_TRUE(AtaReadDmaExt(t, target, 128, back));
    EXPECT_TRUE(std::equal(fw.bytes().begin(), fw.bytes().begin() + 150, back.begin()));
    EXPECT_EQ(back[150], 0x55);
    EXPECT_EQ(GetBE32(back, 151), static_cast<std::uint32_t>(area->start));

    // The configuration sector at the reserved-area start is the one the board boots from.
    ConfigImage block =
        Block(LayoutRow::StandardType2, 0x0707, 0x0429, "Disk", "Resident", "000000000007");
    ASSERT_TRUE(WriteDiskResidentConfig(t, block, 7));
    EXPECT_EQ(resetAndIdentity(t).vid, 0x0707);
}

TEST_F(SimWriters, RouteOfEachStorageKind) {
    struct Row {
        std::uint8_t kind;
        std::optional<bool> eeprom;
        Route route;
    } rows[] = {
        {14, std::nullopt, Route::Eeprom},       {1, false, Route::SerialFlashConfig},
        {9, std::nullopt, Route::CombinedFlash}, {13, std::nullopt, Route::MemoryImage},
        {19, std::nullopt, Route::MemoryImage},  {30, std::nullopt, Route::ParallelFlash},
        {25, std::nullopt, Route::LaterFamily},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.kind));
        sim::BridgeConfig c = Board(r.kind);
        c.hasEeprom = r.eeprom;
        const Target t = add(c);
        BoardJob job;
        job.kind = r.kind;
        job.eepromUpdate = true;
        job.usbSpeed = 3;
        EXPECT_EQ(ChooseRoute(t, job, FirmwareImage()), r.route);
    }
}

// ---- Faults -------------------------------------------------------------------------------

sim::FaultSpec Fault(sim::FaultSpec::Type type, const char* command = "", std::uint32_t n = 1,
                     std::uint32_t address = 0) {
    sim::FaultSpec f;
    f.type = type;
    f.command = command;
    f.n = n;
    f.address = address;
    return f;
}

TEST_F(SimWriters, ATornProgramFailsTheBoard) {
    using T = sim::FaultSpec::Type;
    {
        sim::BridgeConfig c = Board(4);
        c.faults.push_back(Fault(T::CorruptProgram, "", 1, 0x1234));
        const Target t = add(c);
        EXPECT_FALSE(UpdateFirmware(t, 4, 0, Example("v429.bin")));
    }
    {
        sim::BridgeConfig c = Board(19);
        c.faults.push_back(Fault(T::CorruptProgram, "", 1, 0xC010));
        const Target t = add(c);
        ConfigImage image{};
        EXPECT_FALSE(WriteMemoryImage(t, 19, true, true, ExtendedBlock(19, image, {}, "", {}), "",
                                      Example("v646.bin")));
    }
    {
        sim::BridgeConfig c = Board(14);
        c.faults.push_back(Fault(T::CorruptProgram, "", 1, 20));
        const Target t = add(c);
        EXPECT_FALSE(WriteEeprom(t, Block(LayoutRow::StandardType2, 1, 2, "a", "b", "c"), 1));
    }
}

TEST_F(SimWriters, TheNthCommandFailing) {
    using T = sim::FaultSpec::Type;
    // The second page write of a serial-flash update fails: the update stops there.
    sim::BridgeConfig c = Board(4);
    c.faults.push_back(Fault(T::FailCommand, "SerialFlashWrite", 2));
    const Target t = add(c);
    EXPECT_FALSE(UpdateFirmware(t, 4, 0, Example("v429.bin")));
    // The EEPROM write retried: a first failure is taken by the second attempt.
    sim::BridgeConfig e = Board(14);
    e.faults.push_back(Fault(T::FailCommand, "WriteMemory", 1));
    const Target te = add(e);
    EXPECT_TRUE(WriteEeprom(te, Block(LayoutRow::StandardType2, 1, 2, "a", "b", "c"), 2));
}

TEST_F(SimWriters, ABoardThatStaysBusyGivesUpInEmulatedTime) {
    using T = sim::FaultSpec::Type;
    sim::BridgeConfig c = Board(4);
    c.faults.push_back(Fault(T::StayBusy, "", 1));
    const Target t = add(c);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateFirmware(t, 4, 0, Example("v429.bin")));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST_F(SimWriters, ABoardThatVanishesMidUpdate) {
    using T = sim::FaultSpec::Type;
    sim::BridgeConfig c = Board(19);
    c.faults.push_back(Fault(T::VanishMidTransfer, "WriteMemory", 3));
    const Target t = add(c);
    ConfigImage image{};
    EXPECT_FALSE(WriteMemoryImage(t, 19, true, true, ExtendedBlock(19, image, {}, "", {}), "",
                                  Example("v646.bin")));
    EXPECT_FALSE(added.bridge->present());
}

}  // namespace
}  // namespace vq::bridge
