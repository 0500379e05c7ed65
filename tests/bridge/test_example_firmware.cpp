// The shipped example firmware files: each is exactly what the rule makes, and each passes
// the fit check of the chip it is made for and no other model's.
#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/ConfigWriters.h"
#include "bridge/FirmwareImage.h"
#include "resources/FirmwareExamples.h"
#include "tests/bridge/FakeScsi.h"

namespace vq::bridge {
namespace {

namespace fs = std::filesystem;

TEST(ExampleFirmware, ShippedFilesFollowTheRuleAndFitTheirChip) {
    const fs::path folder = fs::path(VQ_SOURCE_DIR) / "examples" / "firmware";
    for (const auto& row : resources::kExampleFirmware) {
        SCOPED_TRACE(std::string(row.file));
        FirmwareImage image;
        ASSERT_EQ(LoadFirmwareImage(folder / row.file, image), FirmwareLoadError::None)
            << "run `make example-firmware` after changing the rule";
        const auto want = resources::MakeExampleFirmware(row);
        ASSERT_EQ(image.length(), want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), image.bytes().begin()));

        // A kind 26 revision 2 image fits when the first kind 26 board agrees; one without
        // firmware always does.
        test::FakeScsi scsi;
        test::ManualClock clock;
        const Transport transport(scsi, clock);
        const Target board{transport, "board"};
        const Kind26Board blank{board, false};
        EXPECT_TRUE(FirmwareFitsChip(image, MakeChipIdentity(row.kind, row.revision), blank));
        EXPECT_FALSE(IsCloneFirmware(image));
        // A model of another number refuses it (kinds 31 to 34 take anything).
        const ChipKind other = row.kind == 20 ? 19 : 20;
        EXPECT_FALSE(FirmwareFitsChip(image, MakeChipIdentity(other, 1)));
        if (row.layout == resources::FirmwareLayout::MemoryCrc) {
            EXPECT_EQ(GetBE16(image.bytes(), 0xBFFE), ImageCrc16(image.bytes().first(49148)));
            EXPECT_EQ(image.bytes()[0xC0FE], 'V');
            EXPECT_EQ(image.bytes()[0xC0FF], 'Q');
        }
    }
}

TEST(ExampleFirmware, TheRuleIsStable) {
    // The bytes of one image pinned, so a change of the rule is a deliberate one.
    const auto b = resources::MakeExampleFirmware(resources::kExampleFirmware[0]);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "VQFWV424");
    EXPECT_EQ(b[16], 0x00);
    EXPECT_EQ(b[17], 0x80);
    EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 45), "v424-rev1.bin");
    EXPECT_EQ(b[64], 0x34);
    EXPECT_EQ(b[0x7FFF], 0x4D);
}

}  // namespace
}  // namespace vq::bridge
