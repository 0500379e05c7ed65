// The later families' download end to end on emulated boards, which check from the device
// side what arrives: from the mask ROM, from the manufacturing program and from running
// firmware, and the faults that must fail a board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/ChipIdentity.h"
#include "bridge/LaterImage.h"
#include "bridge/RomDownload.h"
#include "bridge/VendorCommands.h"
#include "platform/sim/SimPlatform.h"

namespace vq::bridge {
namespace {

// A firmware file for the kind as the firmware file check reads it: the model at the
// front, a body, and for kinds 25 to 29 the configuration sector behind the image.
std::vector<std::uint8_t> FirmwareFor(ChipKind kind, std::uint8_t revision) {
    std::size_t size = IsFirstLaterFamily(kind) ? kLaterImageSize : (kind <= 26 ? 0xC600 : 0x10600);
    std::vector<std::uint8_t> f(size);
    for (std::size_t i = 0; i < size; ++i)
        f[i] = static_cast<std::uint8_t>((i * 13) ^ (i >> 9) ^ kind);
    const std::string number(ChipNumber(kind));
    if (IsFirstLaterFamily(kind)) {
        f[3] = static_cast<std::uint8_t>(number[0]);
        f[4] = static_cast<std::uint8_t>(number[1]);
        f[5] = static_cast<std::uint8_t>(number[2]);
    } else {
        const std::uint8_t probe[][2] = {
            {0x70, 0x05}, {0x07, 0x02}, {0x70, 0x08}, {0x71, 0x02}, {0x93, 0x00}};
        const int row = kind == 25 ? 0 : kind == 26 ? 1 : kind - 25;
        f[4] = probe[row][0];
        f[5] = probe[row][1];
        if (kind == 26 && revision == 2) {
            f[4] = 0x70;
            f[5] = 0x22;
        }
    }
    return f;
}

class RomDownloadSimTest : public ::testing::Test {
  protected:
    sim::SimPlatform sim;
    Transport transport{*sim.platform().scsi, sim.clock()};

    Target add(ChipKind kind, bool firmware, std::vector<sim::FaultSpec> faults = {},
               std::uint8_t revision = 1) {
        sim::BridgeConfig c;
        c.kind = kind;
        c.revision = revision;
        c.firmwarePresent = firmware;
        c.faults = std::move(faults);
        // The boards of kinds 23 and 24 carry the second mask ROM: only it has a program.
        if (kind == 23 || kind == 24)
            c.romVersion = 1;
        return {transport, sim.addBridge(std::move(c)).physicalDrivePath};
    }

    // Prepares the job as the worker does, downloads and verifies.
    bool program(const Target& t, ChipIdentity chip, std::vector<std::uint8_t>& image,
                 LaterDownload& job) {
        if (!ReadLaterBridgeState(t, chip, job.state))
            return false;
        if (IsFirstLaterFamily(KindOf(chip))) {
            LaterImageSettings s;
            s.inquiryVendor = "VQ";
            s.inquiryProduct = "Bridge";
            s.manufacturer = "Velmora";
            s.product = "USB Disk";
            PatchImageConfig(image, s);
            if (job.state.romState || job.state.programRunning)
                PatchImageHeader(image);
            block = BuildSettingBlock(s);
            job.configBlock = block;
        }
        job.source = image;
        return ProgramLaterFamily(t, job);
    }

    // Activation and the wait for the board to come back, as the worker makes them.
    bool activateAndWait(const Target& t) {
        if (!ActivateFirmware(t))
            return false;
        sim.clock().sleepMs(500);
        for (int i = 0; i < 30; ++i) {
            sim.clock().sleepMs(1000);
            if (IdentifyChip(t) != 0)
                return true;
        }
        return false;
    }

    std::array<std::uint8_t, kSettingBlockSize> block{};
};

TEST_F(RomDownloadSimTest, EveryLaterKindFromMaskRomAndFromFirmware) {
    for (ChipKind kind = 21; kind <= 29; ++kind) {
        for (bool firmware : {false, true}) {
            SCOPED_TRACE(std::to_string(kind) + (firmware ? " from firmware" : " from mask ROM"));
            const Target t = add(kind, firmware);
            const ChipIdentity chip = IdentifyChipWithRevision(t);
            ASSERT_EQ(KindOf(chip), kind);
            auto image = FirmwareFor(kind, RevisionOf(chip));
            LaterDownload job;
            ASSERT_TRUE(program(t, chip, image, job)) << job.failure;
            EXPECT_EQ(job.state.romState, !firmware);
            EXPECT_EQ(job.programLoaded, !firmware);
            ASSERT_TRUE(activateAndWait(t));
            std::string version;
            EXPECT_TRUE(FormatFirmwareVersion(kind, t, version));
            EXPECT_TRUE(HasValidFirmware(t, kind, version)) << version;
        }
    }
}

TEST_F(RomDownloadSimTest, FromTheManufacturingProgram) {
    for (ChipKind kind : {ChipKind{22}, ChipKind{27}}) {
        SCOPED_TRACE(kind);
        const Target t = add(kind, false);
        const ChipIdentity chip = IdentifyChipWithRevision(t);
        LaterBridgeState rom;
        ASSERT_TRUE(ReadLaterBridgeState(t, chip, rom));
        const auto mfg = LoadManufacturingImage(chip, rom.identify);
        ASSERT_TRUE(mfg);
        ASSERT_TRUE(WriteBuffer(t, 6, 0, 0, *mfg));
        auto image = FirmwareFor(kind, 1);
        LaterDownload job;
        ASSERT_TRUE(program(t, chip, image, job)) << job.failure;
        // Kinds 25 to 29 read as mask ROM under the program; the descriptor tells.
        EXPECT_EQ(job.state.romState, !IsFirstLaterFamily(kind));
        EXPECT_EQ(job.state.programRunning, IsFirstLaterFamily(kind));
        ASSERT_TRUE(activateAndWait(t));
    }
}

TEST_F(RomDownloadSimTest, FaultsFailTheBoardAndOnlyIt) {
    sim::FaultSpec corrupt;
    corrupt.type = sim::FaultSpec::Type::CorruptProgram;
    corrupt.address = 0x1234;
    corrupt.n = 0;
    sim::FaultSpec noReturn;
    noReturn.type = sim::FaultSpec::Type::NoReturn;
    // A board that refuses the program at each of the three attempts.
    std::vector<sim::FaultSpec> refuse(3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        refuse[i].type = sim::FaultSpec::Type::FailCommand;
        refuse[i].command = "WriteBuffer";
        refuse[i].n = i + 1;
    }

    const Target torn = add(23, false, {corrupt});
    const Target gone = add(25, false, {noReturn});
    const Target refusing = add(27, false, refuse);
    const Target good = add(21, false);

    auto image23 = FirmwareFor(23, 1);
    LaterDownload job;
    EXPECT_FALSE(program(torn, IdentifyChipWithRevision(torn), image23, job));
    EXPECT_EQ(job.attempts, 3);
    EXPECT_NE(job.failure.find("read-back differs"), std::string::npos) << job.failure;

    auto image25 = FirmwareFor(25, 1);
    LaterDownload job25;
    ASSERT_TRUE(program(gone, IdentifyChipWithRevision(gone), image25, job25)) << job25.failure;
    EXPECT_FALSE(activateAndWait(gone));

    auto image27 = FirmwareFor(27, 1);
    LaterDownload job27;
    EXPECT_FALSE(program(refusing, IdentifyChipWithRevision(refusing), image27, job27));
    EXPECT_EQ(job27.failure, "the bridge refused the manufacturing program");
    EXPECT_EQ(job27.attempts, 3);

    auto image21 = FirmwareFor(21, 1);
    LaterDownload job21;
    ASSERT_TRUE(program(good, IdentifyChipWithRevision(good), image21, job21)) << job21.failure;
    ASSERT_TRUE(activateAndWait(good));
}

}  // namespace
}  // namespace vq::bridge
