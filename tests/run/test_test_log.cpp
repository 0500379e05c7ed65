// The test log: its lines byte for byte, its files, the roll-over and the type-C summary.
#include "run/TestLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/sim/SimClock.h"

namespace vq {
namespace {

namespace fs = std::filesystem;
using namespace test_log;

const LocalDateTime kStamp{2026, 12, 8, 4, 5, 6, 0, 2};

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

PortRecord PassedDevice() {
    PortRecord r;
    r.usable = 1;
    r.chipKind = 19;
    r.vid = 0x7E8A;
    r.pid = 0x2429;
    r.manufacturer = "Velmora";
    r.product = "USB Disk";
    r.serial = "000000000011";
    r.writtenSerial = "000000000011";
    r.firmware = 1;
    r.eeprom = 1;
    r.relink = 3;
    r.partition = 1;
    r.format = 1;
    r.readWrite = 1;
    r.readSpeed = 35.2f;
    r.writeSpeed = 31.5f;
    r.softwareCopy = 1;
    r.folderCompare = 1;
    r.finalResult = 1;
    return r;
}

TEST(TestLogLine, HeaderIsTheStoredOne) {
    EXPECT_EQ(std::string(kHeader).size(), 216u);
    EXPECT_TRUE(std::string(kHeader).ends_with("FolderCompare\t Result\r\n"));
}

TEST(TestLogLine, WrittenIdentityVerifyOffAndEveryResult) {
    RunSettings s;
    s.EnEEPROMUpdate = 1;
    s.MPEEPROMToLog = 1;
    s.VenderID = "7E8A";
    s.ProductID = "2429";
    s.StringA = "Velmora";
    s.StringB = "USB";
    EXPECT_EQ(DeviceLine(11, kStamp, PassedDevice(), s, {}, {}),
              "000011\t2026/12/08\t04:05:06\t7E8A / 2429 / Velmora / USB / 000000000011\t"
              "----\t ----\t ----\t ----\t ----\t ----\t"
              "----\tPass\tPass\t----\t----\tPass\tPass\tPass\t35.2/31.5\tPass\tPass\tPass\r\n");
    s.MapToHDName = 1;
    EXPECT_NE(DeviceLine(11, kStamp, PassedDevice(), s, {}, {}).find("/ Velmora / USB /"),
              std::string::npos);
}

TEST(TestLogLine, DescriptorIdentityAndVerifyColumns) {
    RunSettings s;
    s.MPPortReset = 1;
    s.EnVenderCheck = 1;
    s.EnCheckDiskName = 1;
    s.EnCheckVolLabel = 1;  // its check box hidden: not made
    s.EnCheckHDDFwRev = 1;
    LineOptions o;
    o.hddFirmwareCheckShown = true;
    PortRecord r = PassedDevice();
    r.vid = 0x1A;
    r.verifyMismatch = verify_bits::kProduct | verify_bits::kHddFirmware;
    r.finalResult = -1;
    r.readWrite = 4;
    r.format = 3;
    EXPECT_EQ(IdentityPiece(r, s, o, {}), "001A / 2429 / Velmora / USB Disk / 000000000011\t");
    EXPECT_EQ(VerifyPiece(r, s, o), "Pass\t Pass\t Fail\t Pass\t ----\t Fail\t");
    EXPECT_EQ(
        ResultsPiece(r),
        "----\tPass\tPass\t----\t----\tPass\t----\tUnmatched\t35.2/31.5\tPass\tPass\tFail\r\n");
}

TEST(TestLogLine, ConfigurationReadBackForms) {
    RunSettings s;
    PortRecord r = PassedDevice();
    std::uint32_t asked = 0;
    std::size_t length = 0;
    auto readBack = [&](const PortRecord&, std::uint32_t address, std::span<std::uint8_t> out) {
        asked = address;
        length = out.size();
        const std::uint8_t c[] = {0x8A, 0x7E, 0x29, 0x24};
        std::copy(std::begin(c), std::end(c), out.begin());
        out[12] = 8;  // three characters
        out[14] = 'A';
        out[15] = 'B';
        out[16] = 'C';
        out[48] = 2;   // no character: "0000"
        out[84] = 66;  // 32 characters: "0000"
        return true;
    };
    EXPECT_EQ(IdentityPiece(r, s, {}, readBack), "7E8A / 2429 / ABC / 0000 / 0000 \t");
    EXPECT_EQ(asked, 0xC000u);
    EXPECT_EQ(length, 256u);
    struct Row {
        std::uint8_t kind;
        std::uint32_t address;
    };
    for (Row row :
         {Row{20, 0xC000}, Row{25, 0xD000}, Row{26, 0xD000}, Row{27, 0x11000}, Row{29, 0x11000}}) {
        r.chipKind = row.kind;
        IdentityPiece(r, s, {}, readBack);
        EXPECT_EQ(asked, row.address) << int(row.kind);
        EXPECT_EQ(length, 512u);
    }
    // Other kinds, and type-C mode, log the descriptors.
    r.chipKind = 14;
    asked = 0;
    EXPECT_EQ(IdentityPiece(r, s, {}, readBack),
              "7E8A / 2429 / Velmora / USB Disk / 000000000011\t");
    EXPECT_EQ(asked, 0u);
}

TEST(TestLogLine, TypeCPhaseLines) {
    const PortRecord r = PassedDevice();
    EXPECT_EQ(
        ResultsPiece(r, 0),
        "----\tPass\tPass\t----\t----\tPass\tPass\tPass\t--/--\tPass\tPass\tPass\tCC1-FwUp\r\n");
    EXPECT_TRUE(ResultsPiece(r, 2).ends_with("35.2/31.5\tPass\tPass\tPass\tCC2-Test\r\n"));
}

TEST(TestLogSummary, PassAndTheReplacementsOfMissingPhases) {
    const std::array<std::string, 3> all = {std::string(40, 'a') + "\r\n",
                                            std::string(40, 'b') + "\r\n",
                                            std::string(40, 'c') + "\r\n"};
    EXPECT_EQ(PhaseSummary(true, all, 7, kStamp),
              "---EPP Pass------------\r\n" + all[0] + all[1] + all[2]);
    const std::array<std::string, 3> stoppedInOne = {all[0], "", ""};
    EXPECT_EQ(PhaseSummary(false, stoppedInOne, 7, kStamp),
              "---EPP Fail------------\r\n" + all[0] +
                  "000007\t2026/12/08\t04:05:06\t---CC1 Test : Device not found. ------\r\n"
                  "000007\t2026/12/08\t04:05:06\t---CC2 Test : Because the previous test item "
                  "failed, bypassing following test items. ------\r\n");
    const std::array<std::string, 3> none = {"", "", ""};
    const std::string s = PhaseSummary(false, none, 7, kStamp);
    EXPECT_NE(s.find("---CC1 Firmware Update : Device not found. ------\r\n"), std::string::npos);
    EXPECT_NE(s.find("---CC1 Test : Because the previous"), std::string::npos);
}

class TestLogFiles : public ::testing::Test {
  protected:
    fs::path dir =
        fs::temp_directory_path() /
        ("vq_testlog_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    sim::SimClock clock{0.0};
    void SetUp() override { fs::remove_all(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(TestLogFiles, FirstRunCreatesFileZeroWithTheHeader) {
    TestLog log(dir, clock);
    log.ChooseFile(kStamp);
    EXPECT_EQ(log.currentFile(), dir / "20261208_000.txt");
    ASSERT_TRUE(log.AppendRun("line1\r\n"));
    ASSERT_TRUE(log.AppendRun("line2\r\n"));
    EXPECT_EQ(ReadFile(log.currentFile()), std::string(kHeader) + "line1\r\nline2\r\n");
}

TEST_F(TestLogFiles, FullFilesRollOverBeforeARun) {
    fs::create_directories(dir);
    std::ofstream(dir / "20261208_000.txt", std::ios::binary) << std::string(100, 'x');
    std::ofstream(dir / "20261208_001.txt", std::ios::binary) << std::string(82999, 'x');
    TestLog log(dir, clock);
    log.ChooseFile(kStamp);
    EXPECT_EQ(log.sequence(), 1);         // the last file, not yet full
    ASSERT_TRUE(log.AppendRun("a\r\n"));  // 83002 bytes now: never split, stays
    EXPECT_EQ(fs::file_size(dir / "20261208_001.txt"), 83002u);
    ASSERT_TRUE(log.AppendRun("b\r\n"));
    EXPECT_EQ(log.sequence(), 2);
    EXPECT_EQ(ReadFile(dir / "20261208_002.txt"), std::string(kHeader) + "b\r\n");

    // A file of exactly the limit is not chosen at start-up.
    std::ofstream(dir / "20261208_003.txt", std::ios::binary) << std::string(83000, 'x');
    TestLog again(dir, clock);
    again.ChooseFile(kStamp);
    EXPECT_EQ(again.sequence(), 4);
}

TEST_F(TestLogFiles, SummaryNeedsAnExistingNonEmptyFile) {
    TestLog log(dir, clock);
    log.ChooseFile(kStamp);
    EXPECT_FALSE(log.AppendSummary("x"));
    ASSERT_TRUE(log.AppendRun("l\r\n"));
    EXPECT_TRUE(log.AppendSummary("s\r\n"));
    EXPECT_EQ(ReadFile(log.currentFile()), std::string(kHeader) + "l\r\ns\r\n");
}

}  // namespace
}  // namespace vq
