// The fault matrix of the bridge and disk steps on a 4-port emulated station with the
// station's own procedures: one board times out or leaves the bus in one step; that port
// fails at that step with the later steps' texts as the sequence gives them, the other
// three pass, the run ends and the log has every line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/sim/SimBridge.h"
#include "run/StepWiring.h"
#include "tests/run/RunRig.h"

namespace vq {
namespace {

namespace rr = run_result;
using sim::FaultSpec;

constexpr int kFaultySlot = 2;

// Where the fault is planned: just before a step's procedure runs on the faulty port, or
// just after it returned there.
enum class At {
    BeforeWriter,
    AfterWriter,
    BeforePartition,
    BeforeFormat,
    AfterFormat,
    BeforeCopy,
    BeforeCompare
};

struct Fault {
    At at;
    // A planned command fault on the board; without a command the board is pulled off the
    // bus instead.
    FaultSpec::Type type = FaultSpec::Type::Timeout;
    const char* command = nullptr;
    std::uint32_t times = 1;
};

struct Row {
    const char* step;
    const char* fault;
    Fault plan;
    bool firmwareUpdate;
    bool rwTest;
    RunResult firmware, eeprom, relink, partition, format, readWrite, copy, compare;
};

constexpr auto kTimeout = FaultSpec::Type::Timeout;
constexpr auto kVanish = FaultSpec::Type::VanishMidTransfer;

// Results: 1 Pass, -1 Fail, 3 N/A, 0 empty.
const Row kRows[] = {
    {"configuration write",
     "time-out",
     {At::BeforeWriter, kTimeout, "WriteMemory", 0},
     false,
     false,
     0,
     -1,
     0,
     0,
     0,
     0,
     0,
     0},
    {"configuration write",
     "vanish",
     {At::BeforeWriter, kVanish, "WriteMemory"},
     false,
     false,
     0,
     -1,
     0,
     0,
     0,
     0,
     0,
     0},
    {"firmware update",
     "time-out",
     {At::BeforeWriter, kTimeout, "WriteMemory", 0},
     true,
     false,
     -1,
     -1,
     0,
     0,
     0,
     0,
     0,
     0},
    {"firmware update",
     "vanish",
     {At::BeforeWriter, kVanish, "WriteMemory"},
     true,
     false,
     -1,
     -1,
     0,
     0,
     0,
     0,
     0,
     0},
    {"relink",
     "time-out",
     {At::AfterWriter, kTimeout, "any", 0},
     true,
     false,
     1,
     1,
     -1,
     3,
     3,
     0,
     -1,
     -1},
    {"relink",
     "vanish",
     {At::AfterWriter, kVanish, "ReadXdata"},
     true,
     false,
     1,
     1,
     -1,
     3,
     3,
     0,
     -1,
     -1},
    {"partition",
     "time-out",
     {At::BeforePartition, kTimeout, "Write10", 0},
     true,
     false,
     1,
     1,
     1,
     -1,
     3,
     0,
     -1,
     -1},
    {"partition",
     "vanish",
     {At::BeforePartition, kVanish, "Write10"},
     true,
     false,
     1,
     1,
     1,
     -1,
     3,
     0,
     -1,
     -1},
    {"format",
     "time-out",
     {At::BeforeFormat, kTimeout, "Write10", 0},
     true,
     false,
     1,
     1,
     1,
     1,
     -1,
     0,
     -1,
     -1},
    {"format",
     "vanish",
     {At::BeforeFormat, kVanish, "Write10"},
     true,
     false,
     1,
     1,
     1,
     1,
     -1,
     0,
     -1,
     -1},
    {"R/W test",
     "vanish",
     {At::AfterFormat, kVanish, "ReadCapacity10"},
     true,
     true,
     1,
     1,
     1,
     1,
     1,
     -1,
     -1,
     -1},
    {"software copy", "vanish", {At::BeforeCopy}, true, false, 1, 1, 1, 1, 1, 0, -1, -1},
    {"folder compare", "vanish", {At::BeforeCompare}, true, false, 1, 1, 1, 1, 1, 0, 1, -1},
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.step << ", " << row.fault;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
  protected:
    test::RunRig r;
    std::shared_ptr<sim::SimBridge> board;  // the faulty port's

    void plan(const Fault& f) {
        if (!f.command) {
            board->unplug();
            return;
        }
        FaultSpec spec;
        spec.type = f.type;
        spec.command = f.command;
        spec.times = f.times;
        board->addFault(spec);
    }

    // The station's procedures, with the fault planned at its point on the faulty port. In
    // the R/W test row the sound ports measure with a double: the measured test moves at
    // least 32 MiB each way, too slow for a table.
    StepProcedures procedures(const Row& row) {
        StepProcedures p = StationStepProcedures(r.rig.platform().volumes);
        auto faulty = [](const Worker& w) { return static_cast<int>(w.slot()) + 1 == kFaultySlot; };
        auto hook = [&, faulty](At at, const Worker& w) {
            if (row.plan.at == at && faulty(w))
                plan(row.plan);
        };
        p.combinedWriter = [hook, writer = p.combinedWriter](Worker& w) {
            hook(At::BeforeWriter, w);
            const bool ok = writer(w);
            hook(At::AfterWriter, w);
            return ok;
        };
        p.partition = [hook, partition = p.partition](Worker& w) {
            hook(At::BeforePartition, w);
            return partition(w);
        };
        p.format = [hook, format = p.format](Worker& w, char letter) {
            hook(At::BeforeFormat, w);
            const int result = format(w, letter);
            hook(At::AfterFormat, w);
            return result;
        };
        p.rwTest = [faulty, rwTest = p.rwTest](Worker& w, char letter, std::int32_t size,
                                               std::uint32_t block, float& rd, float& wr) {
            if (faulty(w))
                return rwTest(w, letter, size, block, rd, wr);
            rd = 40.0f;
            wr = 30.0f;
            return true;
        };
        p.copy = [hook, copy = p.copy](Worker& w, char letter, const std::string& from,
                                       const std::string& to) {
            hook(At::BeforeCopy, w);
            return copy(w, letter, from, to);
        };
        p.compare = [hook, compare = p.compare](Worker& w, char letter, const std::string& from,
                                                const std::string& to) {
            hook(At::BeforeCompare, w);
            return compare(w, letter, from, to);
        };
        return p;
    }
};

TEST_P(FaultMatrix, OnlyThatPortFailsAtThatStep) {
    const Row& row = GetParam();
    const auto boards = r.bridges(4, 19, sim::PortSpeed::High, [](int, sim::BridgeConfig& c) {
        c.master->sectors = 96 * 2048;
        c.timing.resetDelayMs = 1500;
    });
    board = boards[kFaultySlot - 1]->bridge();
    const auto software = r.home.path / "software";
    std::filesystem::create_directories(software);
    std::ofstream(software / "setup.txt") << "setup";
    r.loadSettings(
        {{"EnPartition", "1"},
         {"EnFormat", "1"},
         {"DiskFormat", "1"},
         {"EnRWTest", row.rwTest ? "1" : "0"},
         {"WriteFileName", ""},
         {"USBReadPerformance", "0"},
         {"USBWritePerformance", "0"},
         {"EnSWCopy", "1"},
         {"EnFolderCompare", "1"},
         {"SwImgPath", software.string()},
         {"SwDstFolder", "software"},
         {"EnEEPROMUpdate", "1"},
         {"EnFWUpdate", row.firmwareUpdate ? "1" : "0"},
         {"FwFileName",
          (std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "firmware" / "v646.bin").string()},
         {"MPPortReset", "1"},
         {"MPResetWait", "4"},
         {"String3", "000000000001"}});
    r.make().setStepProcedures(procedures(row));
    r.driver->setRunProcedures(StationRunProcedures(r.rules));
    r.start();

    ASSERT_EQ(r.driver->runs().size(), 1u);
    const PortRecord& p = r.port(kFaultySlot);
    EXPECT_EQ(p.firmware, row.firmware);
    EXPECT_EQ(p.eeprom, row.eeprom);
    EXPECT_EQ(p.relink, row.relink);
    EXPECT_EQ(p.partition, row.partition);
    EXPECT_EQ(p.format, row.format);
    EXPECT_EQ(p.readWrite, row.readWrite);
    EXPECT_EQ(p.softwareCopy, row.copy);
    EXPECT_EQ(p.folderCompare, row.compare);
    EXPECT_EQ(p.finalResult, rr::kFail);
    for (int slot : {1, 3, 4}) {
        const PortRecord& q = r.port(slot);
        EXPECT_EQ(q.finalResult, rr::kPass) << "slot " << slot;
        EXPECT_EQ(q.eeprom, rr::kPass) << "slot " << slot;
        EXPECT_EQ(q.folderCompare, rr::kPass) << "slot " << slot;
    }
    // The resets, re-finds, partitions and formats held the port lock one at a time, all
    // within the run.
    const RunTimes& times = r.driver->runs()[0].times;
    EXPECT_GT(times.portLockNs, 0);
    EXPECT_GE(times.parallelNs(), 0);
    EXPECT_EQ(r.settings.TotalTestCount, 4);
    EXPECT_EQ(r.settings.NumberOfPass, 3);
    EXPECT_EQ(r.display.yieldText(), "3 / 4");
    // Four lines after the header; the faulty port's ends with its verdict.
    const std::string log = r.logText();
    for (int k = 1; k <= 4; ++k)
        EXPECT_NE(log.find(Format("\r\n%06d\t", k)), std::string::npos) << k;
    const auto line = log.find(Format("\r\n%06d\t", kFaultySlot));
    ASSERT_NE(line, std::string::npos);
    const auto end = log.find("\r\n", line + 2);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(log.substr(end - 5, 5), "\tFail");
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::string(info.param.step) + "_" + info.param.fault;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(BridgeSteps, FaultMatrix, ::testing::ValuesIn(kRows), RowName);

}  // namespace
}  // namespace vq
