// The example firmware files on emulated boards of every kind they are made for: each goes
// in through the route a run takes for the board (the later families through the buffer
// download from the mask ROM), and after the reset or activation the board reports the
// version the file carries, on the one emulated machine the steps ran on.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bridge/BoardProgram.h"
#include "bridge/ChipIdentity.h"
#include "bridge/FirmwareImage.h"
#include "bridge/LaterImage.h"
#include "bridge/RomDownload.h"
#include "bridge/VendorCommands.h"
#include "platform/sim/SimPlatform.h"
#include "resources/FirmwareExamples.h"

namespace vq::bridge {
namespace {

using Buf = std::vector<std::uint8_t>;

class ExampleFirmwareSim : public ::testing::Test {
  protected:
    sim::SimPlatform sim;
    Transport transport{*sim.platform().scsi, sim.clock()};
    sim::AddedBridge added;

    Target add(sim::BridgeConfig c) {
        added = sim.addBridge(std::move(c));
        return Target{transport, added.physicalDrivePath};
    }

    // The first example file the board's chip takes, one made for its kind first (or the
    // file named).
    static std::optional<FirmwareImage> FileFor(ChipIdentity chip, const Kind26Board& board,
                                                std::string_view named = {}) {
        for (bool sameKind : {true, false}) {
            for (const auto& row : resources::kExampleFirmware) {
                if ((sameKind && row.kind != KindOf(chip)) || (!named.empty() && row.file != named))
                    continue;
                auto image = FirmwareImage::FromBytes(resources::MakeExampleFirmware(row));
                if (FirmwareFitsChip(image, chip, board))
                    return image;
            }
        }
        return std::nullopt;
    }

    // The buffer download as `vqmp-cli rom download` makes it, then the activation.
    bool download(const Target& t, ChipIdentity chip, const FirmwareImage& file) {
        LaterDownload job;
        if (!ReadLaterBridgeState(t, chip, job.state))
            return false;
        Buf image(file.bytes().begin(), file.bytes().end());
        std::array<std::uint8_t, kSettingBlockSize> block{};
        if (IsFirstLaterFamily(KindOf(chip))) {
            LaterImageSettings s;
            PatchImageConfig(image, s);
            if (job.state.romState || job.state.programRunning)
                PatchImageHeader(image);
            block = BuildSettingBlock(s);
            job.configBlock = block;
        }
        job.source = image;
        if (!ProgramLaterFamily(t, job))
            return false;
        if (HasKind26Extra(KindOf(chip), image.size()) && !WriteKind26Extra(t, image))
            return false;
        if (IsFirstLaterFamily(KindOf(chip)) && !SendIdentityRecord(t, {}, {}))
            return false;
        return ActivateFirmware(t);
    }

    // What the board reports once it is back: its identification answer.
    std::array<std::uint8_t, 16> afterRestart() {
        sim.clock().sleepMs(3000);
        EXPECT_TRUE(added.bridge->present());
        std::array<std::uint8_t, 16> answer{};
        const Target back{transport, added.physicalDrivePath};
        EXPECT_TRUE(IdentifyBridge(back, answer));
        return answer;
    }
};

TEST_F(ExampleFirmwareSim, EveryBoardRunsTheVersionOfTheFileItTook) {
    struct Board {
        std::uint8_t kind;
        std::uint8_t revision = 1;
        bool firmware = true;
        std::uint8_t romVersion = 0;
        std::uint8_t modeByte = 0;
        std::string_view file = {};
    };
    // Kind 7 loads its firmware from the disk: see
    // DiskResidentFirmwareIsWrittenWhereTheBoardReadsIt.
    const Board boards[] = {
        {1},
        {4, 0},
        {5},
        {6},
        {9},
        {11},
        {12},
        {13},
        {15},
        {16},
        {18},
        {19},
        {20},
        {30},
        {21, 1, false},
        {22, 1, false},
        {23, 1, false, 1},
        {24, 1, false, 1},
        {25, 1, false},
        {26, 1, false},
        {26, 2, false},
        {26, 2, false, 0, 0x10, "v702-A1-long.bin"},
        {27, 1, false},
        {28, 1, false},
        {29, 1, false},
        {27},
    };
    for (const Board& b : boards) {
        SCOPED_TRACE(testing::Message() << "kind " << int(b.kind) << " revision " << int(b.revision)
                                        << (b.firmware ? " with firmware" : " from mask ROM"));
        sim::BridgeConfig c;
        c.kind = b.kind;
        c.revision = b.revision;
        c.firmwarePresent = b.firmware;
        c.romVersion = b.romVersion;
        c.modeByte = b.modeByte;
        const Target t = add(c);
        const ChipIdentity chip = IdentifyChipWithRevision(t);
        std::string version;
        FormatFirmwareVersion(KindOf(chip), t, version);
        const auto file = FileFor(chip, {t, HasValidFirmware(t, KindOf(chip), version)}, b.file);
        ASSERT_TRUE(file);
        if (IsLaterFamily(KindOf(chip))) {
            ASSERT_TRUE(download(t, chip, *file));
        } else {
            BoardJob job;
            job.kind = KindOf(chip);
            job.firmwareUpdate = true;
            job.usbSpeed = 3;
            job.flashType = DetectFlashType(job.kind, t);
            ASSERT_TRUE(ProgramBoard(t, job, *file));
            ASSERT_TRUE(ResetBridge(t));
        }
        const auto answer = afterRestart();
        EXPECT_TRUE(ReportsImageVersion(answer, KindOf(chip), *file));
        FormatFirmwareVersion(KindOf(chip), {transport, added.physicalDrivePath}, version);
        EXPECT_TRUE(HasValidFirmware({transport, added.physicalDrivePath}, KindOf(chip), version))
            << version;
        if (HasKind26Extra(KindOf(chip), file->length())) {
            const Buf flash = added.bridge->serialFlash();
            EXPECT_TRUE(std::equal(file->bytes().begin() + kKind26ExtraFrom,
                                   file->bytes().begin() + kKind26ExtraFrom + kKind26ExtraSize,
                                   flash.begin() + kKind26ExtraAt));
        }
    }
}

TEST_F(ExampleFirmwareSim, TheLongKind26ImageNeedsTheModeThatTakesIt) {
    // The fit check of a revision 2 chip asks the first v702 board that runs firmware for its
    // mode: in the short layout it refuses the long image, in the long layout the short one.
    // (A v702 that runs firmware names its chip in its INQUIRY data, so its own
    // identification carries no revision: the revision is the one its mask ROM reported.)
    std::optional<FirmwareImage> shortImage, longImage;
    for (const auto& row : resources::kExampleFirmware) {
        if (row.file == "v702-A1.bin")
            shortImage = FirmwareImage::FromBytes(resources::MakeExampleFirmware(row));
        if (row.file == "v702-A1-long.bin")
            longImage = FirmwareImage::FromBytes(resources::MakeExampleFirmware(row));
    }
    ASSERT_TRUE(shortImage && longImage);
    for (const int mode : {0x00, 0x10}) {
        SCOPED_TRACE(mode);
        sim::BridgeConfig c;
        c.kind = 26;
        c.revision = 2;
        c.modeByte = static_cast<std::uint8_t>(mode);
        const Target t = add(c);
        const ChipIdentity chip = MakeChipIdentity(26, 2);
        const Kind26Board board{t, true};
        EXPECT_EQ(FirmwareFitsChip(*shortImage, chip, board), mode == 0);
        EXPECT_EQ(FirmwareFitsChip(*longImage, chip, board), mode != 0);
    }
}

TEST_F(ExampleFirmwareSim, ATornExtraPartFailsTheKind26Board) {
    std::optional<FirmwareImage> longImage;
    for (const auto& row : resources::kExampleFirmware) {
        if (row.file == "v702-A1-long.bin")
            longImage = FirmwareImage::FromBytes(resources::MakeExampleFirmware(row));
    }
    ASSERT_TRUE(longImage);
    sim::BridgeConfig c;
    c.kind = 26;
    c.revision = 2;
    c.modeByte = 0x10;
    sim::FaultSpec torn;
    torn.type = sim::FaultSpec::Type::CorruptProgram;
    torn.address = kKind26ExtraAt + 0x2345;
    c.faults.push_back(torn);
    const Target t = add(c);
    EXPECT_FALSE(download(t, IdentifyChipWithRevision(t), *longImage));
}

TEST_F(ExampleFirmwareSim, ATruncatedLaterImageIsRefusedBeforeAnythingIsSent) {
    for (const int k : {22, 25, 27}) {
        const auto kind = static_cast<ChipKind>(k);
        SCOPED_TRACE(k);
        sim::BridgeConfig c;
        c.kind = kind;
        c.firmwarePresent = false;
        const Target t = add(c);
        const ChipIdentity chip = IdentifyChipWithRevision(t);
        const auto file = FileFor(chip, {t, false});
        ASSERT_TRUE(file);
        const auto cut = FirmwareImage::FromBytes(file->bytes().first(file->length() - 512));
        EXPECT_FALSE(LaterImageSizeFits(kind, cut.length()));
        added.bridge->clearTrace();
        LaterDownload job;
        ASSERT_TRUE(ReadLaterBridgeState(t, chip, job.state));
        job.source = cut.bytes();
        EXPECT_FALSE(ProgramLaterFamily(t, job));
        for (const auto& r : added.bridge->trace())
            EXPECT_NE(r.cdb[0], 0x3B) << "a WriteBuffer went out";
        EXPECT_EQ(added.bridge->bufferState(), sim::BufferState::MaskRom);
    }
}

}  // namespace
}  // namespace vq::bridge
