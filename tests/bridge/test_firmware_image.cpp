// The firmware file: how it is read, which files are refused, the fit check of every chip
// kind and the clone marker.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/FirmwareImage.h"
#include "platform/Operator.h"
#include "tests/bridge/FakeScsi.h"

namespace vq::bridge {
namespace {

namespace fs = std::filesystem;

class FirmwareFile : public ::testing::Test {
  protected:
    fs::path dir =
        fs::temp_directory_path() /
        ("vq-fw-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p;
    }
};

TEST_F(FirmwareFile, ReadWholeAndZeroFilledToTheBuffer) {
    const fs::path p = write("short.bin", {1, 2, 3, 4, 5});
    FirmwareImage image;
    ASSERT_EQ(LoadFirmwareImage(p, image), FirmwareLoadError::None);
    EXPECT_EQ(image.length(), 5u);
    EXPECT_EQ(image.buffer().size(), kFirmwareBufferSize);
    EXPECT_EQ(image.bytes()[4], 5);
    EXPECT_EQ(image.buffer()[5], 0);
    EXPECT_EQ(image.buffer()[kFirmwareBufferSize - 1], 0);

    const std::vector<std::uint8_t> full(kFirmwareBufferSize, 0xA5);
    ASSERT_EQ(LoadFirmwareImage(write("full.bin", full), image), FirmwareLoadError::None);
    EXPECT_EQ(image.length(), kFirmwareBufferSize);
}

TEST_F(FirmwareFile, RefusedFilesLeaveTheImageAsItWas) {
    FirmwareImage image;
    ASSERT_EQ(LoadFirmwareImage(write("good.bin", {7, 7, 7}), image), FirmwareLoadError::None);
    const std::vector<std::uint8_t> tooLarge(kFirmwareBufferSize + 1, 0x11);
    struct Row {
        fs::path file;
        FirmwareLoadError error;
        const char* message;
    } rows[] = {
        {dir / "missing.bin", FirmwareLoadError::CannotOpen, "Cannot open the firmware file "},
        {dir, FirmwareLoadError::CannotOpen, "Cannot open the firmware file "},
        {write("empty.bin", {}), FirmwareLoadError::Empty, "is empty."},
        {write("large.bin", tooLarge), FirmwareLoadError::TooLarge, "is larger than 262144 bytes."},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file.string());
        std::string message;
        EXPECT_EQ(LoadFirmwareImage(r.file, image, &message), r.error);
        EXPECT_NE(message.find(r.message), std::string::npos) << message;
        EXPECT_NE(message.find(r.file.string()), std::string::npos) << message;
        EXPECT_EQ(image.length(), 3u);
        EXPECT_EQ(image.bytes()[0], 7);
    }
}

TEST_F(FirmwareFile, CheckShowsTheOpenErrorOrWhyTheFileWasRefused) {
    RecordingOperator op;
    EXPECT_FALSE(CheckFirmwareFile(dir / "missing.bin", MakeChipIdentity(31, 0), &op));
    EXPECT_FALSE(CheckFirmwareFile(dir, MakeChipIdentity(31, 0), &op));
    const std::vector<std::uint8_t> tooLarge(kFirmwareBufferSize + 1, 0x11);
    EXPECT_FALSE(CheckFirmwareFile(write("large.bin", tooLarge), MakeChipIdentity(31, 0), &op));
    const auto shown = op.messages();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, "Open Firmware File Error!!");
    EXPECT_EQ(shown[0].title, "Error");
    EXPECT_EQ(shown[1].text, "Open Firmware File Error!!");
    EXPECT_NE(shown[2].text.find("larger than 262144 bytes"), std::string::npos);
    EXPECT_EQ(shown[2].title, "Error");

    // A readable file that fits shows nothing.
    op.clear();
    EXPECT_TRUE(CheckFirmwareFile(write("any.bin", {1}), MakeChipIdentity(31, 0), &op));
    EXPECT_TRUE(op.messages().empty());
}

// An image whose probe at `offset` carries `probe` (10 bytes at most).
FirmwareImage WithProbe(std::uint32_t offset, const std::vector<std::uint8_t>& probe,
                        std::size_t length = 0x10000) {
    std::vector<std::uint8_t> bytes(length, 0x00);
    std::copy(probe.begin(), probe.end(), bytes.begin() + offset);
    return FirmwareImage::FromBytes(bytes);
}

std::vector<std::uint8_t> Text(const std::string& head, const std::string& text) {
    std::vector<std::uint8_t> b = testing_util::Hex(head);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

TEST(FirmwareFit, EveryRowOfTheTable) {
    struct Row {
        ChipKind kind;
        std::uint8_t revision;
        std::uint32_t offset;
        std::vector<std::uint8_t> probe;
        bool fits;
    };
    const std::vector<Row> rows = {
        // kind 1: revision 1 takes anything but a "42" text, others "424" + revision digit
        {1, 1, 0, Text("00 00 00 00", "VQ24"), true},
        {1, 1, 0, Text("00 00 00 00", "4240"), false},
        {1, 2, 0, Text("00 00 00 00", "4241"), true},
        {1, 2, 0, Text("00 00 00 00", "4240"), false},
        {4, 1, 0, Text("00 00 00 00", "4290"), true},
        {4, 4, 0, Text("00 00 00 00", "4293"), true},
        {4, 4, 0, Text("00 00 00 00", "4290"), false},
        {7, 1, 0x4000, Text("55 AA 56 51", "429E"), true},
        {7, 1, 0x4000, Text("55 AA 56 51", "4290"), false},
        {7, 1, 0, Text("55 AA 56 51", "429E"), false},  // probed at 0x4000 only
        {9, 1, 0, Text("00 00 00 00", "4330"), true},
        {9, 1, 0, Text("00 00 00 00", "4340"), false},
        {10, 2, 0, Text("00 00 00 00", "4341"), true},
        {10, 2, 0, Text("00 00 00 00", "4340"), false},
        {11, 1, 0, Text("00 00 00 00", "4380"), true},
        {11, 1, 0, Text("00 00 00 00", "4370"), false},
        {12, 1, 0, Text("00 00 00 00", "4381"), true},
        {13, 1, 0, Text("00 00 00 00", "6530"), true},
        {13, 1, 0, Text("00 00 00 00", "6460"), false},
        {15, 1, 0, Text("00 00 00 00", "4270"), true},
        {16, 3, 0, Text("00 00 00 00", "4272"), true},
        {16, 3, 0, Text("00 00 00 00", "4270"), false},
        {18, 1, 0x4000, Text("55 AA 56 51", "6210"), true},
        {18, 1, 0, Text("00 00 00 00", "6210"), false},
        {19, 1, 0xBFF0, Text("55 AA AA 55", "6460"), true},
        {19, 1, 0, Text("00 00 00 00", "6460"), false},
        {20, 1, 0xBFF0, Text("00 00 00 00", "6880"), true},
        {20, 1, 0xBFF0, Text("00 00 00 00", "6460"), false},
        {21, 1, 0, Text("00 00 00", "671"), true},
        {21, 1, 0, Text("00 00 00", "673"), true},
        {21, 1, 0, Text("00 00 00", "675"), true},
        {21, 1, 0, Text("00 00 00", "672"), false},
        {22, 1, 0, Text("00 00 00", "672"), true},
        {23, 1, 0, Text("00 00 00", "673"), true},
        {24, 1, 0, Text("00 00 00", "675"), true},
        {24, 1, 0, Text("00 00 00", "673"), false},
        {25, 1, 0, testing_util::Hex("00 00 00 00 70 05"), true},   // "%x%x" = "705"
        {25, 1, 0, testing_util::Hex("00 00 00 00 07 05"), false},  // "75"
        {26, 1, 0, testing_util::Hex("00 00 00 00 07 02"), true},
        {26, 1, 0, testing_util::Hex("00 00 00 00 70 22"), false},
        {26, 3, 0, testing_util::Hex("00 00 00 00 07 02"), false},
        {27, 1, 0, testing_util::Hex("00 00 00 00 70 08"), true},
        {28, 1, 0, testing_util::Hex("00 00 00 00 71 02"), true},
        {28, 1, 0, testing_util::Hex("00 00 00 00 70 08"), false},
        {29, 1, 0, testing_util::Hex("00 00 00 00 93 00"), true},   // "%x0%x" = "9300"
        {29, 1, 0, testing_util::Hex("00 00 00 00 09 30"), false},  // "9030"
        {30, 1, 0, Text("00 00 00 00", "P426"), true},
        {30, 1, 0, Text("00 00 00 00", "4260"), false},
        {35, 1, 0, Text("00 00 00 00", "4260"), false},
        {31, 0, 0, Text("00 00 00 00", "4270"), true},
        {34, 0, 0, {}, true},
        {8, 1, 0, Text("00 00 00 00", "4180"), false},  // no firmware file for the ROM chips
        {17, 1, 0, Text("00 00 00 00", "6140"), false},
        {14, 1, 0, Text("00 00 00 00", "4270"), false},
        {0, 0, 0, Text("00 00 00 00", "4270"), false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << int(r.kind) << " rev " << int(r.revision)
                                        << " text " << FirmwareModelText(r.kind, [&] {
                                               std::vector<std::uint8_t> p(10);
                                               std::copy(r.probe.begin(), r.probe.end(), p.begin());
                                               return p;
                                           }()));
        EXPECT_EQ(
            FirmwareFitsChip(WithProbe(r.offset, r.probe), MakeChipIdentity(r.kind, r.revision)),
            r.fits);
    }
}

TEST(FirmwareFit, TheSignature433AcceptsTheMemoryImageKindsAtOnce) {
    for (ChipKind k : std::vector<ChipKind>{9, 11, 12, 13, 19, 20}) {
        SCOPED_TRACE(int(k));
        // At the probe offset, or at 4096 (bytes 4-7 as characters there too).
        EXPECT_TRUE(FirmwareFitsChip(WithProbe(FirmwareProbeOffset(k), Text("55 AA AA 55", "4339")),
                                     MakeChipIdentity(k, 1)));
        EXPECT_TRUE(
            FirmwareFitsChip(WithProbe(4096, Text("55 AA AA 55", "433")), MakeChipIdentity(k, 1)));
        EXPECT_FALSE(
            FirmwareFitsChip(WithProbe(4096, Text("55 AA AA 56", "433")), MakeChipIdentity(k, 1)));
    }
    // Other kinds do not know the signature.
    EXPECT_FALSE(
        FirmwareFitsChip(WithProbe(0, Text("55 AA AA 55", "433")), MakeChipIdentity(4, 1)));
}

TEST(FirmwareFit, Kind26Revision2AsksTheFirstBoardOfThatKind) {
    using test::FakeScsi;
    using test::ManualClock;
    using test::Reply;
    FakeScsi scsi;
    ManualClock clock;
    Transport transport(scsi, clock);
    const Target t{transport, "\\\\.\\PhysicalDrive3"};
    const auto probe = testing_util::Hex("00 00 00 00 70 22");
    const FirmwareImage small = WithProbe(0, probe, 0xC600);
    const FirmwareImage large = WithProbe(0, probe, 67072);

    // No board of kind 26: nothing agrees.
    EXPECT_FALSE(FirmwareFitsChip(small, MakeChipIdentity(26, 2)));
    // A board without firmware takes any size.
    EXPECT_TRUE(FirmwareFitsChip(large, MakeChipIdentity(26, 2), {t, false}));
    EXPECT_TRUE(scsi.sent.empty());

    struct Row {
        const char* answer;  // "" = the command fails
        bool smallFits, largeFits;
    } rows[] = {{"10", false, true}, {"00", true, false}, {"", true, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer);
        if (*r.answer)
            scsi.on("FF 04 C8 00", Reply{testing_util::Hex(r.answer)});
        else
            scsi.fail("FF 04 C8 00");
        EXPECT_EQ(FirmwareFitsChip(small, MakeChipIdentity(26, 2), {t, true}), r.smallFits);
        EXPECT_EQ(FirmwareFitsChip(large, MakeChipIdentity(26, 2), {t, true}), r.largeFits);
    }
    EXPECT_EQ(test::HexOf(scsi.sent.back().cdb), "FF 04 C8 00 00 00 00 00 00 00 00 00");
}

TEST(CloneMarker, TheTwoValuesDecideAndTheOptionMustAgree) {
    std::vector<std::uint8_t> bytes(0x20000, 0);
    PutBE32(bytes, 0x1FFFC, 0x12345678);
    const FirmwareImage clone = FirmwareImage::FromBytes(bytes);  // 0x3FFFC reads 0
    PutBE32(bytes, 0x1FFFC, 0);
    const FirmwareImage plain = FirmwareImage::FromBytes(bytes);
    EXPECT_TRUE(IsCloneFirmware(clone));
    EXPECT_FALSE(IsCloneFirmware(plain));
    EXPECT_FALSE(IsCloneFirmware(FirmwareImage::FromBytes(std::vector<std::uint8_t>(3, 1))));

    RecordingOperator op;
    EXPECT_TRUE(CheckCloneMarker(clone, true, &op));
    EXPECT_TRUE(CheckCloneMarker(plain, false, &op));
    EXPECT_TRUE(op.messages().empty());
    EXPECT_FALSE(CheckCloneMarker(plain, true, &op));
    EXPECT_FALSE(CheckCloneMarker(clone, false, &op));
    const auto shown = op.messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text,
              "Error: The selected firmware file doesn't appear to be CLONE product firmware. "
              "Please check the firmware file.");
    EXPECT_EQ(shown[1].text,
              "Error: The selected firmware file appears to be CLONE product firmware. Please "
              "check the firmware file.");
    EXPECT_EQ(shown[1].title, "Firmware Error");
    EXPECT_EQ(shown[1].icon, MessageIcon::Error);
}

}  // namespace
}  // namespace vq::bridge
