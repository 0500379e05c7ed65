// Production runs on emulated stations: START's checks, the worker sequence with its
// skip, N/A and Fail rules, re-finding a reset board, the serials, the log and counters.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <variant>

#include "base/Text.h"
#include "bridge/VendorCommands.h"
#include "platform/sim/SimScenario.h"
#include "run/StepWiring.h"
#include "run/Worker.h"
#include "tests/run/RunRig.h"

namespace vq {
namespace {

namespace rr = run_result;
using test::RunRig;

// The steps that other parts of the station implement, answered by doubles: each one
// passes unless the test names its slot as failing.
struct Doubles {
    std::string failing;  // procedure name that fails
    int failSlot = 0;     // 1-based
    std::atomic<int> calls{0};

    bool ok(const Worker& w, const char* name) {
        ++calls;
        return !(failing == name && static_cast<int>(w.slot()) + 1 == failSlot);
    }
    StepProcedures procedures() {
        StepProcedures p;
        p.buildConfig = [this](Worker& w) { return ok(w, "buildConfig"); };
        p.updateFirmware = [this](Worker& w) { return ok(w, "updateFirmware"); };
        p.writeConfiguration = [this](Worker& w) { return ok(w, "writeConfiguration"); };
        p.firmwareCheck = [this](Worker& w) { return ok(w, "firmwareCheck"); };
        p.partition = [this](Worker& w) { return ok(w, "partition"); };
        p.findDriveLetter = [](Worker& w) { return w.record().driveLetter; };
        p.format = [this](Worker& w, char) { return ok(w, "format") ? 0 : -1; };
        p.rwTest = [this](Worker& w, char, std::int32_t, std::uint32_t, float& r, float& wr) {
            r = 40.0f;
            wr = 30.0f;
            return ok(w, "rwTest");
        };
        p.copy = [this](Worker& w, char, const std::string&, const std::string&) {
            return ok(w, "copy");
        };
        p.compare = [this](Worker& w, char, const std::string&, const std::string&) {
            return ok(w, "compare");
        };
        return p;
    }
};

class RunDriverTest : public ::testing::Test {
  protected:
    RunRig r;
    Doubles doubles;

    void writeCounters(int total, int pass) {
        std::filesystem::create_directories(r.home.path / "log");
        std::ofstream(r.home.path / "log" / "VQ5742x.log")
            << "[TestRecord]\nTotalTestCount=" << total << "\nNumberOfPass=" << pass << "\n";
    }
    std::string firmwareFile() {
        const auto path = r.home.path / "fw.bin";
        std::ofstream(path, std::ios::binary) << std::string(262144, '\x5A');
        return path.string();
    }
    // Every step on but the checks that exclude the updates.
    std::map<std::string, std::string> everyStep() {
        return {{"EnPartition", "1"},
                {"EnFormat", "1"},
                {"EnRWTest", "1"},
                {"EnEEPROMUpdate", "1"},
                {"EnFWUpdate", "1"},
                {"EnSWCopy", "1"},
                {"EnFolderCompare", "1"},
                {"FwFileName", firmwareFile()},
                {"SwImgPath", r.home.path.string()},
                {"USBReadPerformance", "0"},
                {"String3", "000000000001"},
                {"WriteFileName", ""}};
    }
    std::vector<std::string> messages() const { return r.rig.messages(); }
};

TEST_F(RunDriverTest, ChecksPassOnEveryPortAndTheLogIsByteForByte) {
    writeCounters(10, 9);
    r.bridges(3);
    r.loadSettings({{"EnPartition", "0"},
                    {"EnFormat", "0"},
                    {"EnRWTest", "0"},
                    {"EnEEPROMUpdate", "0"},
                    {"EnVenderCheck", "1"},
                    {"EnUSB30Check", "1"},
                    {"MPPortReset", "1"},
                    {"MPPassLabel", "1"},
                    {"VQEEPROMVERIFY.StringB", "USB Disk"}});
    r.make().ExecuteBtnClick();

    ASSERT_EQ(r.driver->runs().size(), 1u);
    EXPECT_TRUE(r.driver->runs()[0].passed);
    EXPECT_EQ(r.driver->statusLabel(), "Pass");
    EXPECT_EQ(r.driver->statusColour(), CellColour::Blue);
    for (int slot = 1; slot <= 3; ++slot) {
        EXPECT_EQ(r.port(slot).verify, rr::kPass);
        EXPECT_EQ(r.port(slot).usb31Check, rr::kPass);
        EXPECT_EQ(r.port(slot).relink, rr::kSkipped);
        EXPECT_EQ(r.port(slot).finalResult, rr::kPass);
        EXPECT_EQ(r.port(slot).progress, 100);
    }
    EXPECT_EQ(r.settings.TotalTestCount, 13);
    EXPECT_EQ(r.settings.NumberOfPass, 12);
    EXPECT_EQ(r.display.yieldText(), "12 / 13");
    EXPECT_EQ(r.display.progress(), 100);
    std::string expected = test_log::kHeader;
    for (int k = 1; k <= 3; ++k) {
        expected += Format(
            "%06d\t2026/12/08\t04:05:06\t7E8A / 2429 / Velmora / USB Disk / %012d\t"
            "Pass\t Pass\t Pass\t ----\t ----\t ----\t"
            "Pass\t----\t----\t----\t----\t----\t----\t----\t0.0/0.0\t----\t----\tPass\r\n",
            10 + k, k);
    }
    EXPECT_EQ(r.logText(), expected);
    EXPECT_EQ(test::ReadText(r.home.path / "log" / "VQ5742x.log"),
              "[TestRecord]\r\nTotalTestCount=13\r\nNumberOfPass=12\r\n");
    EXPECT_TRUE(messages().empty()) << messages().front();
}

TEST_F(RunDriverTest, AVerifyMismatchOrASlowPortFailsOnlyThatPort) {
    r.bridges(4, 19, sim::PortSpeed::Super, [](int i, sim::BridgeConfig& c) {
        if (i == 2)
            c.defaultIdentity.product = "Other";
    });
    r.rig.st().unplug("r", 3);
    sim::BridgeConfig slow = test::StationRig::Config("000000000003", 19);
    slow.defaultIdentity = {0x7E8A, 0x2429, "Velmora", "USB Disk", "000000000003"};
    r.rig.bridge("r", 3, slow, {{'F', 60}}, sim::PortSpeed::High);
    r.loadSettings({{"EnPartition", "0"},
                    {"EnFormat", "0"},
                    {"EnRWTest", "0"},
                    {"EnEEPROMUpdate", "0"},
                    {"EnVenderCheck", "1"},
                    {"EnUSB30Check", "1"},
                    {"MPPortReset", "1"},
                    {"MPPassLabel", "1"},
                    {"VQEEPROMVERIFY.StringB", "USB Disk"}});
    r.make().ExecuteBtnClick();

    EXPECT_EQ(r.port(2).verify, rr::kFail);
    EXPECT_EQ(r.port(2).verifyMismatch, verify_bits::kProduct);
    EXPECT_EQ(r.port(2).usb31Check, rr::kSkipped);
    EXPECT_EQ(r.port(2).finalResult, rr::kFail);
    EXPECT_EQ(r.port(3).verify, rr::kPass);
    EXPECT_EQ(r.port(3).usb31Check, rr::kFail);
    EXPECT_EQ(r.port(3).finalResult, rr::kFail);
    EXPECT_EQ(r.port(1).finalResult, rr::kPass);
    EXPECT_EQ(r.port(4).finalResult, rr::kPass);
    EXPECT_EQ(r.driver->statusLabel(), "Fail");
    EXPECT_TRUE(r.driver->runFailed());
    const std::string log = r.logText();
    EXPECT_NE(log.find("/ Other / 000000000002\tPass\t Pass\t Fail\t ----\t ----\t ----\t----\t"),
              std::string::npos);
    EXPECT_NE(log.find("/ 000000000003\tPass\t Pass\t Pass\t ----\t ----\t ----\tFail\t"),
              std::string::npos);
    EXPECT_EQ(r.settings.TotalTestCount, 4);
    EXPECT_EQ(r.settings.NumberOfPass, 2);
}

// The sequence after one step failed on one port of four: that port's later steps are
// N/A, failed or left empty as the sequence says; the other ports pass.
TEST_F(RunDriverTest, FaultMatrixOfTheSteps) {
    struct Row {
        const char* failing;
        RunResult firmware, eeprom, relink, partition, format, readWrite, copy, compare;
    };
    const Row rows[] = {
        {"updateFirmware", -1, 1, 0, 0, 0, 0, 0, 0},
        {"writeConfiguration", 1, -1, 0, 0, 0, 0, 0, 0},
        {"buildConfig", 0, -1, 0, 0, 0, 0, 0, 0},
        {"partition", 1, 1, 3, -1, 3, 3, -1, -1},
        {"format", 1, 1, 3, 1, -1, 3, -1, -1},
        {"rwTest", 1, 1, 3, 1, 1, -1, -1, -1},
        {"copy", 1, 1, 3, 1, 1, 1, -1, -1},
        {"compare", 1, 1, 3, 1, 1, 1, 1, -1},
    };
    for (const Row& row : rows) {
        RunRig rig;
        Doubles d;
        d.failing = row.failing;
        d.failSlot = 2;
        rig.bridges(4);
        auto keys = everyStep();
        keys["FwFileName"] = [&] {
            const auto path = rig.home.path / "fw.bin";
            std::ofstream(path, std::ios::binary) << std::string(262144, '\x5A');
            return path.string();
        }();
        keys["SwImgPath"] = rig.home.path.string();
        rig.loadSettings(keys);
        rig.make().setStepProcedures(d.procedures());
        rig.driver->ExecuteBtnClick();

        ASSERT_EQ(rig.driver->runs().size(), 1u) << row.failing;
        const PortRecord& p = rig.port(2);
        EXPECT_EQ(p.firmware, row.firmware) << row.failing;
        EXPECT_EQ(p.eeprom, row.eeprom) << row.failing;
        EXPECT_EQ(p.relink, row.relink) << row.failing;
        EXPECT_EQ(p.partition, row.partition) << row.failing;
        EXPECT_EQ(p.format, row.format) << row.failing;
        EXPECT_EQ(p.readWrite, row.readWrite) << row.failing;
        EXPECT_EQ(p.softwareCopy, row.copy) << row.failing;
        EXPECT_EQ(p.folderCompare, row.compare) << row.failing;
        EXPECT_EQ(p.finalResult, rr::kFail) << row.failing;
        for (int slot : {1, 3, 4}) {
            const PortRecord& q = rig.port(slot);
            EXPECT_EQ(q.finalResult, rr::kPass) << row.failing << " slot " << slot;
            EXPECT_EQ(q.folderCompare, rr::kPass) << row.failing;
            EXPECT_FLOAT_EQ(q.readSpeed, 40.0f);
        }
        EXPECT_EQ(rig.settings.TotalTestCount, 4);
        EXPECT_EQ(rig.settings.NumberOfPass, 3);
        // Each device got its own serial.
        EXPECT_EQ(rig.port(4).writtenSerial, "000000000004");
        EXPECT_EQ(rig.panel["String3Edit"].text, "000000000005");
        const std::string log = rig.logText();
        const auto line = log.find("000002\t");
        ASSERT_NE(line, std::string::npos);
        EXPECT_EQ(log.substr(log.find("\r\n", line) - 5, 7), "\tFail\r\n") << row.failing;
    }
}

// Writes a configuration block of the compact layout into a kind-19 bridge's flash, so
// that the board returns from its next reset with a new identity.
bool WriteIdentity(Worker& w, std::uint16_t vid, std::uint16_t pid) {
    std::array<std::uint8_t, 256> b{};
    b[0] = static_cast<std::uint8_t>(vid);
    b[1] = static_cast<std::uint8_t>(vid >> 8);
    b[2] = static_cast<std::uint8_t>(pid);
    b[3] = static_cast<std::uint8_t>(pid >> 8);
    auto put = [&](std::size_t at, const std::string& text) {
        b[at] = static_cast<std::uint8_t>(2 * text.size() + 2);
        b[at + 1] = 3;
        for (std::size_t i = 0; i < text.size(); ++i)
            b[at + 2 + i] = static_cast<std::uint8_t>(text[i]);
    };
    put(12, "Acme");
    put(48, "Acme Disk");
    put(84, w.settings().String3.str());
    return bridge::WriteMemory(w.target(), 1, 0xC000, b);
}

TEST_F(RunDriverTest, RelinkFindsTheBoardUnderItsNewIdentity) {
    r.bridges(2);
    auto keys = everyStep();
    keys["EnFWUpdate"] = "0";
    keys["EnPartition"] = "0";
    keys["EnFormat"] = "0";
    keys["EnRWTest"] = "0";
    keys["EnSWCopy"] = "0";
    keys["EnFolderCompare"] = "0";
    keys["MPPortReset"] = "1";
    keys["String3"] = "00000000010F";
    r.loadSettings(keys);
    StepProcedures p = doubles.procedures();
    p.writeConfiguration = [](Worker& w) { return WriteIdentity(w, 0x1234, 0x5678); };
    r.make().setStepProcedures(p);
    r.driver->ExecuteBtnClick();

    for (int slot = 1; slot <= 2; ++slot) {
        const PortRecord& q = r.port(slot);
        EXPECT_EQ(q.eeprom, rr::kPass);
        EXPECT_EQ(q.relink, rr::kPass) << slot;
        EXPECT_EQ(q.refound, 1);
        EXPECT_EQ(q.vid, 0x1234);
        EXPECT_EQ(q.pid, 0x5678);
        EXPECT_EQ(q.manufacturer, "Acme");
        EXPECT_NE(ToLower(q.usbInstanceId).find("vid_1234&pid_5678"), std::string::npos);
        EXPECT_EQ(q.finalResult, rr::kPass);
    }
    EXPECT_EQ(r.port(1).serial, "00000000010F");
    EXPECT_EQ(r.port(2).serial, "000000000110");
    EXPECT_EQ(r.panel["String3Edit"].text, "000000000111");
    EXPECT_EQ(r.station->attachedDeviceCount(), 2);
}

TEST_F(RunDriverTest, ABoardThatNeverReturnsFailsItsRelinkAndTheOthersGoOn) {
    r.bridges(4, 19, sim::PortSpeed::Super, [](int i, sim::BridgeConfig& c) {
        if (i == 3) {
            sim::FaultSpec f;
            f.type = sim::FaultSpec::Type::NoReturn;
            c.faults.push_back(f);
        }
    });
    auto keys = everyStep();
    keys["EnFWUpdate"] = "0";
    keys["MPPortReset"] = "1";
    keys["MPResetWait"] = "3";
    r.loadSettings(keys);
    r.make().setStepProcedures(doubles.procedures());
    r.driver->ExecuteBtnClick();

    EXPECT_EQ(r.port(3).relink, rr::kFail);
    EXPECT_EQ(r.port(3).partition, rr::kSkipped);
    EXPECT_EQ(r.port(3).softwareCopy, rr::kFail);
    EXPECT_EQ(r.port(3).finalResult, rr::kFail);
    for (int slot : {1, 2, 4}) {
        EXPECT_EQ(r.port(slot).relink, rr::kPass);
        EXPECT_EQ(r.port(slot).finalResult, rr::kPass);
    }
    EXPECT_EQ(r.settings.TotalTestCount, 4);
    EXPECT_EQ(r.settings.NumberOfPass, 3);
}

TEST_F(RunDriverTest, StartChecksRefuseARunWithTheirMessages) {
    struct Row {
        std::map<std::string, std::string> keys;
        std::string message;
    };
    const Row rows[] = {
        {{{"EnSWCopy", "1"}, {"SwImgPath", "/no/such/folder/x"}},
         "VQ5742x Mass Production Tool|Please make sure the software image path valid!"},
        {{{"EnFWUpdate", "1"}, {"FwFileName", ""}},
         "Warning|Please make sure the correct firmware filename!"},
        {{{"String3", "G"}, {"MPSnAToZ", "1"}, {"EnLoopDebug", "1"}},
         "Error|The serial number 0 would be given to two devices. Please choose another start "
         "serial number."},
    };
    for (const Row& row : rows) {
        RunRig rig;
        rig.bridges(9);
        rig.loadSettings(row.keys);
        rig.make();
        rig.panel["lbTestLoopCnt"].text = "2";
        rig.driver->RefreshBtnClick();
        rig.rig.op.clear();
        rig.driver->ExecuteBtnClick();
        EXPECT_TRUE(rig.driver->runs().empty()) << row.message;
        ASSERT_FALSE(rig.rig.messages().empty()) << row.message;
        EXPECT_EQ(rig.rig.messages().back(), row.message);
        EXPECT_FALSE(rig.rules.inputs().runInProgress);
        EXPECT_TRUE(rig.panel["ExecuteBtn"].enabled);
    }
}

TEST_F(RunDriverTest, TheMaximumSerialStopsStartingWorkers) {
    r.bridges(3);
    auto keys = everyStep();
    keys["EnFWUpdate"] = "0";
    keys["EnPartition"] = "0";
    keys["EnFormat"] = "0";
    keys["EnRWTest"] = "0";
    keys["EnSWCopy"] = "0";
    keys["EnFolderCompare"] = "0";
    keys["CheckMaxSn"] = "1";
    keys["StringMaxSn"] = "0000000000002";  // the leading zeros do not count
    r.loadSettings(keys);
    r.make().setStepProcedures(doubles.procedures());
    r.settings.StringMaxSn = "0000000000002";
    r.driver->RefreshBtnClick();
    r.rig.op.clear();
    r.driver->ExecuteBtnClick();
    EXPECT_EQ(r.port(1).finalResult, rr::kPass);
    EXPECT_EQ(r.port(2).finalResult, rr::kPass);
    EXPECT_EQ(r.port(3).eeprom, rr::kFail);
    EXPECT_EQ(r.port(3).finalResult, rr::kFail);
    EXPECT_EQ(r.port(3).progress, 0);  // never started
    ASSERT_FALSE(messages().empty());
    EXPECT_EQ(messages().front(), "Error|Serial number reach the max setting number ");
}

TEST_F(RunDriverTest, LoopTestRunsUntilStoppedAndStopsOnFailure) {
    r.bridges(2);
    r.loadSettings({{"EnPartition", "0"},
                    {"EnFormat", "0"},
                    {"EnRWTest", "0"},
                    {"EnEEPROMUpdate", "0"},
                    {"EnUSB30Check", "1"},
                    {"EnLoopDebug", "1"},
                    {"MPPassLabel", "-1"}});
    struct Stopper : RunFrontEnd {
        RunDriver* d = nullptr;
        std::size_t after = 0;
        void redrawn(const PortDisplay&) override {
            if (d->runs().size() >= after)
                d->BtnStopTestClick();
        }
    } stopper;
    RunDriver& d = r.make();
    stopper.d = &d;
    stopper.after = 4;
    d.setFrontEnd(&stopper);
    r.panel["lbTestLoopCnt"].text = "";  // up to 1000 repetitions
    r.panel["cbStopOnFailure"].checked = true;
    d.ExecuteBtnClick();
    EXPECT_EQ(d.runs().size(), 5u);  // stopped at the redraw after the fourth run
    EXPECT_EQ(r.settings.TotalTestCount, 10);

    // A failing repetition ends the loop when StopOnFail is checked.
    r.rig.st().unplug("r", 2);
    r.rig.bridge("r", 2, test::StationRig::Config("000000000002", 19), {{'E', 60}},
                 sim::PortSpeed::High);
    stopper.after = 1000;
    r.panel["lbTestLoopCnt"].text = "3";
    d.ExecuteBtnClick();
    EXPECT_EQ(d.runs().size(), 6u);
    EXPECT_FALSE(d.runs().back().passed);
}

TEST_F(RunDriverTest, SafeRemoveAfterTheRunAndItsWarning) {
    auto boards = r.bridges(2);
    r.rig.st().setVetoes("r", 2, 100);
    r.loadSettings({{"EnPartition", "0"},
                    {"EnFormat", "0"},
                    {"EnRWTest", "0"},
                    {"EnEEPROMUpdate", "0"},
                    {"EnUSB30Check", "1"},
                    {"MPSafeRemove", "1"},
                    {"MPPassLabel", "1"}});
    r.make().ExecuteBtnClick();
    EXPECT_TRUE(r.driver->runs().at(0).passed);
    EXPECT_EQ(r.station->runDeviceCount(), 1);  // the vetoed board stays
    EXPECT_EQ(messages(), std::vector<std::string>{"Warning|Unable to remove all device!"});
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// The type-C fixture: the control board powers the board under test through the CC1
// line (hub port 1), then the CC2 line (port 2); after each switch-off the board runs on
// its charge for 200 ms, so a station that waits less than that between its two looks
// finds it still answering and fails.
TEST(TypeCSequence, ThreePhasesOnBothLinesAndAPowerOffDelayTooShort) {
    const struct {
        const char* powerOffDelay;
        bool passes;
    } rows[] = {{"500", true}, {"50", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.powerOffDelay);
        test::RunRig r;
        auto loaded = sim::LoadScenarioFile(std::filesystem::path(VQ_SOURCE_DIR) / "examples" /
                                            "power-control.json");
        ASSERT_TRUE(std::holds_alternative<sim::Scenario>(loaded));
        sim::BuildStation(r.rig.sim, std::get<sim::Scenario>(loaded));
        r.loadSettings({{"EnPartition", "0"},
                        {"EnFormat", "0"},
                        {"EnRWTest", "0"},
                        {"EnEEPROMUpdate", "0"},
                        {"EnUSB30Check", "1"},
                        {"EnEPPTypeC", "1"},
                        {"EPPPowerOnDelay", "3000"},
                        {"EPPPowerOffDelay", row.powerOffDelay},
                        {"String3", "000000000601"}});
        r.make();
        r.driver->RefreshBtnClick();
        EXPECT_TRUE(r.station->powerControl().ready);
        r.rig.op.clear();
        r.driver->ExecuteBtnClick();
        EXPECT_EQ(r.settings.TotalTestCount, 1);  // counted once, in phase 0
        if (row.passes) {
            ASSERT_EQ(r.driver->runs().size(), 3u);
            EXPECT_TRUE(r.driver->phaseLines()[0].ends_with("\tPass\tCC1-FwUp\r\n"));
            EXPECT_TRUE(r.driver->phaseLines()[1].ends_with("\tPass\tCC1-Test\r\n"));
            EXPECT_TRUE(r.driver->phaseLines()[2].ends_with("\tPass\tCC2-Test\r\n"));
            EXPECT_EQ(r.driver->statusLabel(), "Pass");
            EXPECT_FALSE(r.driver->runFailed());
            EXPECT_EQ(r.settings.NumberOfPass, 1);
        } else {
            EXPECT_EQ(r.driver->statusLabel(), "Fail");
            EXPECT_TRUE(r.driver->runFailed());
            EXPECT_EQ(r.settings.NumberOfPass, 0);
        }
    }
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// Sixteen workers at once with faults on three ports (the run the thread checker watches).
TEST(SixteenPorts, EveryStepWithFaultsOnThreePorts) {
    test::RunRig r;
    r.bridges(16, 19, sim::PortSpeed::Super, [](int i, sim::BridgeConfig& c) {
        if (i == 5 || i == 12) {
            sim::FaultSpec f;
            f.type = sim::FaultSpec::Type::NoReturn;
            c.faults.push_back(f);
        }
    });
    r.loadSettings({{"EnPartition", "1"},
                    {"EnFormat", "1"},
                    {"EnRWTest", "1"},
                    {"EnEEPROMUpdate", "1"},
                    {"EnSWCopy", "1"},
                    {"EnFolderCompare", "1"},
                    {"EnUSB30Check", "1"},
                    {"SwImgPath", r.home.path.string()},
                    {"MPPortReset", "1"},
                    {"MPResetWait", "4"},
                    {"USBReadPerformance", "0"},
                    {"String3", "000000000001"}});
    Doubles d;
    d.failing = "format";
    d.failSlot = 9;
    r.make().setStepProcedures(d.procedures());
    r.driver->ExecuteBtnClick();
    for (int slot = 1; slot <= 16; ++slot) {
        const PortRecord& p = r.port(slot);
        const bool faulty = slot == 5 || slot == 9 || slot == 12;
        EXPECT_EQ(p.finalResult, faulty ? rr::kFail : rr::kPass) << slot;
        EXPECT_EQ(p.progress, 100);
    }
    EXPECT_EQ(r.port(5).relink, rr::kFail);
    EXPECT_EQ(r.port(12).relink, rr::kFail);
    EXPECT_EQ(r.port(9).format, rr::kFail);
    EXPECT_EQ(r.port(9).readWrite, rr::kSkipped);
    EXPECT_EQ(r.settings.TotalTestCount, 16);
    EXPECT_EQ(r.settings.NumberOfPass, 13);
    EXPECT_EQ(r.display.yieldText(), "13 / 16");
    EXPECT_EQ(r.station->attachedDeviceCount(), 16);
    EXPECT_EQ(r.panel["String3Edit"].text, "000000000011");  // 16 serials handed out
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// The station's own writers: the boards come back from the relink with the identity the
// run wrote, each with its own serial number.
TEST(StationProcedures, UpdatesAndRelinkGiveEachBoardTheWrittenIdentity) {
    test::RunRig r;
    r.bridges(3);
    r.loadSettings(
        {{"EnPartition", "0"},
         {"EnFormat", "0"},
         {"EnRWTest", "0"},
         {"EnEEPROMUpdate", "1"},
         {"EnFWUpdate", "1"},
         {"FwFileName",
          (std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "firmware" / "v646.bin").string()},
         {"MPPortReset", "1"},
         {"VenderID", "1234"},
         {"ProductID", "5678"},
         {"StringA", "Acme"},
         {"String3", "000000001001"}});
    r.make().setStepProcedures(StationStepProcedures());
    r.driver->setRunProcedures(StationRunProcedures(r.rules));
    r.driver->ExecuteBtnClick();
    for (int slot = 1; slot <= 3; ++slot) {
        const PortRecord& p = r.port(slot);
        EXPECT_EQ(p.firmware, rr::kPass) << slot;
        EXPECT_EQ(p.eeprom, rr::kPass) << slot;
        EXPECT_EQ(p.relink, rr::kPass) << slot;
        EXPECT_EQ(p.vid, 0x1234) << slot;
        EXPECT_EQ(p.pid, 0x5678) << slot;
        EXPECT_EQ(p.manufacturer, "Acme") << slot;
        EXPECT_EQ(p.serial, Format("00000000100%d", slot)) << slot;
        EXPECT_EQ(p.finalResult, rr::kPass) << slot;
    }
    EXPECT_TRUE(r.rig.messages().empty()) << r.rig.messages().front();
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// The disk steps with the station's own procedures on small emulated drives: partition,
// FAT32 format, R/W test with the pattern file, software copy and folder compare. A fault
// on one port's disk fails that port at its step only.
struct DiskRun {
    test::RunRig r;
    std::filesystem::path software;
    int ports = 3;

    void run(const std::function<void(int, sim::SimDiskFaults&)>& faults = {}) {
        r.bridges(ports, 19, sim::PortSpeed::High,
                  [](int, sim::BridgeConfig& c) { c.master->sectors = 96 * 2048; });
        software = r.home.path / "software";
        std::filesystem::create_directories(software / "drivers");
        std::ofstream(software / "setup.txt") << "setup";
        std::ofstream(software / "drivers" / "driver.inf") << "[Version]";
        const auto pattern = r.home.path / "pattern.txt";
        std::ofstream(pattern) << "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
        r.loadSettings({{"EnPartition", "1"},
                        {"EnFormat", "1"},
                        {"DiskFormat", "1"},
                        {"DiskLabel", "VELMORA"},
                        {"EnRWTest", "1"},
                        {"RWDataSize", "2"},
                        {"WriteFileName", pattern.string()},
                        {"USBReadPerformance", "0"},
                        {"USBWritePerformance", "0"},
                        {"EnSWCopy", "1"},
                        {"EnFolderCompare", "1"},
                        {"bAdvenceCompare", "1"},
                        {"SwImgPath", software.string()},
                        {"SwDstFolder", "software"}});
        for (int i = 0; i < ports && faults; ++i) {
            sim::SimDiskFaults f;
            faults(i + 1, f);
            r.rig.sim.volumes().setDiskFaults(r.rig.deviceNumbers[static_cast<std::size_t>(i)], f);
        }
        r.make().setStepProcedures(StationStepProcedures(r.rig.platform().volumes));
        r.driver->setRunProcedures(StationRunProcedures(r.rules));
        r.start();
    }
    std::filesystem::path copied(int slot, const char* file) {
        return r.rig.platform().volumes->rootPath(r.port(slot).driveLetter) / "software" / file;
    }
};

TEST(DiskSteps, EveryPortIsPreparedTestedAndHoldsTheSoftware) {
    DiskRun t;
    t.run();
    test::RunRig& r = t.r;
    for (int slot = 1; slot <= 3; ++slot) {
        const PortRecord& p = r.port(slot);
        EXPECT_EQ(p.partition, rr::kPass) << slot;
        EXPECT_EQ(p.format, rr::kPass) << slot;
        EXPECT_EQ(p.readWrite, rr::kPass) << slot;
        EXPECT_EQ(p.softwareCopy, rr::kPass) << slot;
        EXPECT_EQ(p.folderCompare, rr::kPass) << slot;
        EXPECT_EQ(p.finalResult, rr::kPass) << slot;
        EXPECT_GT(p.readSpeed, 0) << slot;
        EXPECT_GT(p.writeSpeed, 0) << slot;
        EXPECT_EQ(test::ReadText(t.copied(slot, "drivers/driver.inf")), "[Version]") << slot;
        const auto info = r.rig.platform().volumes->volumeInformation(p.driveLetter);
        ASSERT_TRUE(info) << slot;
        EXPECT_EQ(info->fileSystem, "FAT32") << slot;
        EXPECT_EQ(info->label, "VELMORA") << slot;
    }
    EXPECT_TRUE(r.rig.messages().empty()) << r.rig.messages().front();
}

// One faulty disk beside a sound one: its port fails at the faulty step, the later steps are
// skipped or failed as the sequence says, the other ports pass.
TEST(DiskSteps, AFaultyDiskFailsItsPortAtItsStep) {
    struct Row {
        const char* name;
        std::function<void(sim::SimDiskFaults&)> fault;
        RunResult PortRecord::*step;
    };
    const Row rows[] = {
        {"volume never appears", [](sim::SimDiskFaults& f) { f.volumesNeverAppear = true; },
         &PortRecord::partition},
        {"disk full", [](sim::SimDiskFaults& f) { f.diskFullAtBytes = 8u << 20; },
         &PortRecord::readWrite},
        {"copied file corrupted", [](sim::SimDiskFaults& f) { f.corruptCopiedFile = 1; },
         &PortRecord::folderCompare},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DiskRun t;
        t.ports = 2;
        t.run([&](int slot, sim::SimDiskFaults& f) {
            if (slot == 2)
                row.fault(f);
        });
        EXPECT_EQ(t.r.port(2).*row.step, rr::kFail);
        EXPECT_EQ(t.r.port(2).finalResult, rr::kFail);
        EXPECT_EQ(t.r.port(1).finalResult, rr::kPass);
    }
}

}  // namespace
}  // namespace vq
