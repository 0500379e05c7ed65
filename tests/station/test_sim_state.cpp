// An emulated station kept in its state folder between two programs: what the boards store,
// the drive sectors and where the boards are come back; emptying the folder brings back
// the scenario's machine; a changed scenario starts afresh; one program at a time holds
// the folder; a state file that is not one is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "platform/sim/SimStateFolder.h"
#include "tests/common/TestHex.h"

namespace vq::sim {
namespace {

namespace fs = std::filesystem;
using testing_util::Hex;
using Bytes = std::vector<std::uint8_t>;

// Boards 1 (EEPROM), 2 (serial flash, with a drive), 3 (to be pulled), 4 (the port-power
// control board) and 5 (behind the switched hub), numbered as they are added.
constexpr const char* kScenario = R"({
  "name": "kept",
  "rootHubs": [{"id": "root", "ports": 5, "devices": [
    {"port": 1, "speed": "high", "bridge": {"chipKind": 14, "identity": {"serial": "000000000001"}}},
    {"port": 2, "speed": "super", "bridge": {"chipKind": 11, "identity": {"serial": "000000000002"},
                                             "master": {"sizeMiB": 64}}},
    {"port": 3, "speed": "super", "bridge": {"chipKind": 19, "identity": {"serial": "000000000003"}}},
    {"port": 4, "speed": "high", "bridge": {"chipKind": 6, "switches": "dut",
                                            "registers": {"7059": [8]}}},
    {"port": 5, "speed": "super", "hub": {"id": "dut", "ports": 1, "devices": [
      {"port": 1, "speed": "super", "bridge": {"chipKind": 19, "identity": {"serial": "000000000005"}}}
    ]}}
  ]}]
})";

class TempDir {
  public:
    TempDir() {
        static std::atomic<int> n{0};
        path_ =
            fs::temp_directory_path() /
            ("vq-state-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + std::to_string(n++) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

struct Answer {
    ScsiResult result;
    Bytes data;
    bool good() const { return result.callSucceeded && result.scsiStatus == 0; }
};

Answer Send(SimPlatform& sim, std::uint32_t board, const std::string& cdb, DataDirection dir,
            Bytes data) {
    Answer a;
    auto dev = sim.scsi().open("\\\\.\\PhysicalDrive" + std::to_string(board));
    if (!dev)
        return a;
    const Bytes block = Hex(cdb);
    ScsiRequest r;
    r.cdb = block;
    r.direction = dir;
    r.data = data;
    r.timeoutSeconds = 50;
    a.result = dev->execute(r);
    a.data = std::move(data);
    return a;
}
Answer In(SimPlatform& sim, std::uint32_t board, const std::string& cdb, std::size_t n) {
    return Send(sim, board, cdb, DataDirection::In, Bytes(n));
}
Answer Out(SimPlatform& sim, std::uint32_t board, const std::string& cdb, Bytes data) {
    return Send(sim, board, cdb, DataDirection::Out, std::move(data));
}

// The commands that reach what the boards keep.
const char* const kEepromWrite = "DF 00 00 00 02 00 00 00 00 00 78 FB";
const char* const kEepromRead = "DF 10 00 00 02 00 00 00 00 00 78 FA";
const char* const kFlashWrite = "DF 01 00 00 02 00 00 00 00 10 00 FB";  // erases the sector
const char* const kFlashRead = "DF 10 00 00 02 00 00 00 00 10 00 FA";
const char* const kSectorWrite = "2A 00 00 00 00 64 00 00 01 00";  // LBA 100
const char* const kSectorRead = "28 00 00 00 00 64 00 00 01 00";
const char* const kPowerLines = "DF 00 00 00 01 00 70 59 00 00 00 FE";

// A machine as a program opens it: the folder taken, the state loaded, the scenario built.
struct Kept {
    std::unique_ptr<SimStateFolder> folder;
    std::unique_ptr<SimPlatform> sim;  // destroyed before the folder is given up
    bool changed = false;
    std::string text;

    void save() {
        std::string why;
        ASSERT_TRUE(folder->save(sim->capture(ScenarioHash(text)), &why)) << why;
    }
    bool present(std::uint32_t board) { return sim->bridges().at(board - 1)->present(); }
};

Kept Open(const fs::path& dir, const std::string& text) {
    Kept k;
    k.text = text;
    auto taken = SimStateFolder::Take(dir);
    if (auto* e = std::get_if<StateFolderError>(&taken)) {
        ADD_FAILURE() << e->message;
        return k;
    }
    k.folder = std::get<std::unique_ptr<SimStateFolder>>(std::move(taken));
    auto loaded = k.folder->load(ScenarioHash(text), &k.changed);
    if (auto* e = std::get_if<StateFolderError>(&loaded)) {
        ADD_FAILURE() << e->message;
        return k;
    }
    SimOptions o;
    o.workFolder = dir;
    k.sim = std::make_unique<SimPlatform>(o);
    EXPECT_EQ(BuildKeptStation(*k.sim, std::get<Scenario>(ParseScenario(text)),
                               std::get<std::optional<MachineState>>(loaded)),
              "");
    return k;
}

// What the scenario's machine holds, built in a temporary folder of its own.
struct Initial {
    Bytes eeprom, flash, sector;
};
Initial InitialMachine() {
    SimPlatform sim;
    BuildStation(sim, std::get<Scenario>(ParseScenario(kScenario)));
    return {In(sim, 1, kEepromRead, 2).data, In(sim, 2, kFlashRead, 2).data,
            In(sim, 2, kSectorRead, 512).data};
}

Bytes Sector() {
    Bytes s(512);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return s;
}

TEST(SimKeptStation, TheMachineOutlivesTheProgramUntilItsFolderIsEmptied) {
    TempDir dir;
    const Initial initial = InitialMachine();
    ASSERT_NE(initial.eeprom, (Bytes{0xAA, 0x55}));
    {
        Kept m = Open(dir.path(), kScenario);
        ASSERT_TRUE(m.sim);
        EXPECT_FALSE(m.changed);
        ASSERT_TRUE(Out(*m.sim, 1, kEepromWrite, {0xAA, 0x55}).good());
        ASSERT_TRUE(Out(*m.sim, 2, kFlashWrite, {0xA5, 0x5A}).good());
        ASSERT_TRUE(Out(*m.sim, 2, kSectorWrite, Sector()).good());
        ASSERT_TRUE(m.sim->unplugPort("root", 3));
        ASSERT_TRUE(Out(*m.sim, 4, kPowerLines, {0x00}).good());  // the hub under test off
        m.sim->station().poll();
        EXPECT_FALSE(m.present(5));
        m.save();
    }
    {
        Kept m = Open(dir.path(), kScenario);
        ASSERT_TRUE(m.sim);
        EXPECT_FALSE(m.changed);
        EXPECT_EQ(In(*m.sim, 1, kEepromRead, 2).data, (Bytes{0xAA, 0x55}));
        EXPECT_EQ(In(*m.sim, 2, kFlashRead, 2).data, (Bytes{0xA5, 0x5A}));
        EXPECT_EQ(In(*m.sim, 2, kSectorRead, 512).data, Sector());
        EXPECT_EQ(m.sim->station().functionAt("root", 3), nullptr);
        EXPECT_FALSE(m.present(3));
        EXPECT_FALSE(m.present(5));  // its port is still switched off
        // What was pulled in the program before goes back into its port.
        ASSERT_TRUE(m.sim->replugPort("root", 3));
        EXPECT_TRUE(m.present(3));
        m.save();
    }
    {
        Kept m = Open(dir.path(), kScenario);
        ASSERT_TRUE(m.sim);
        EXPECT_NE(m.sim->station().functionAt("root", 3), nullptr);
        EXPECT_TRUE(m.present(3));
        m.sim.reset();  // no image open while the folder is emptied
        std::string why;
        ASSERT_TRUE(m.folder->clear(&why)) << why;
    }
    Kept m = Open(dir.path(), kScenario);
    ASSERT_TRUE(m.sim);
    EXPECT_EQ(In(*m.sim, 1, kEepromRead, 2).data, initial.eeprom);
    EXPECT_EQ(In(*m.sim, 2, kFlashRead, 2).data, initial.flash);
    EXPECT_EQ(In(*m.sim, 2, kSectorRead, 512).data, initial.sector);
    EXPECT_TRUE(m.present(3));
    EXPECT_TRUE(m.present(5));
}

TEST(SimKeptStation, AChangedScenarioStartsAfresh) {
    TempDir dir;
    const Initial initial = InitialMachine();
    {
        Kept m = Open(dir.path(), kScenario);
        ASSERT_TRUE(m.sim);
        ASSERT_TRUE(Out(*m.sim, 1, kEepromWrite, {0xAA, 0x55}).good());
        ASSERT_TRUE(Out(*m.sim, 2, kSectorWrite, Sector()).good());
        m.save();
    }
    Kept m = Open(dir.path(), std::string(kScenario) + "\n");
    ASSERT_TRUE(m.sim);
    EXPECT_TRUE(m.changed);
    EXPECT_EQ(In(*m.sim, 1, kEepromRead, 2).data, initial.eeprom);
    EXPECT_EQ(In(*m.sim, 2, kSectorRead, 512).data, initial.sector);
}

TEST(SimKeptStation, OneProgramAtATimeHoldsTheFolder) {
    TempDir dir;
    auto first = SimStateFolder::Take(dir.path());
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<SimStateFolder>>(first));
    auto second = SimStateFolder::Take(dir.path());
    ASSERT_TRUE(std::holds_alternative<StateFolderError>(second));
    EXPECT_EQ(std::get<StateFolderError>(second).kind, StateFolderError::Kind::Busy);
    EXPECT_NE(std::get<StateFolderError>(second).message.find("the station is busy"),
              std::string::npos);
    std::get<std::unique_ptr<SimStateFolder>>(first).reset();
    EXPECT_TRUE(
        std::holds_alternative<std::unique_ptr<SimStateFolder>>(SimStateFolder::Take(dir.path())));
}

// One board with its EEPROM, a pulled port and a hub switched by hand, byte by byte.
TEST(SimMachineStateFile, LayoutIsByteExact) {
    MachineState s;
    s.scenarioHash = 0x0102030405060708ull;
    KeptBoard b;
    b.storageNumber = 1;
    b.kind = 14;
    b.kept.gone = true;
    b.kept.powerLines = 0x08;
    b.kept.flashProtection = 0x1C;
    b.kept.eeprom.assign(128, 0xFF);
    b.kept.eeprom[0x78] = 0xAA;
    b.kept.storedSerial = "S1";
    s.boards.push_back(b);
    s.unplugged.emplace_back("hubA", 3);
    s.hubPower.emplace_back("dut", false);
    const std::string file = EncodeMachineState(s);
    EXPECT_EQ(Bytes(file.begin(), file.end()),
              Hex("56 51 4D 53 54 41 54 45 01 00 00 00 68 00 00 00 08 07 06 05 04 03 02 01 "
                  "01 00 00 00 01 00 00 00 0E 01 08 1C 80 00 00 00 FF 01 00 00 00 78 00 00 00 "
                  "01 00 00 00 AA 00 00 00 00 FF 00 00 00 00 00 00 00 00 FF 00 00 00 00 02 00 "
                  "53 31 01 00 00 00 04 00 68 75 62 41 03 00 00 00 01 00 00 00 03 00 64 75 74 "
                  "00 82 E0 14 E8"));
    const auto back = DecodeMachineState(Bytes(file.begin(), file.end()));
    ASSERT_TRUE(std::holds_alternative<MachineState>(back));
    EXPECT_EQ(std::get<MachineState>(back), s);
}

TEST(SimKeptStation, AStateFileThatIsNoneIsRefusedAndLeftAsItIs) {
    MachineState s;
    s.scenarioHash = ScenarioHash(kScenario);
    s.boards.push_back({1, 14, {Bytes(128, 0x5A), Bytes(4096, 0xFF), 0, {}, "", false, 0}});
    const std::string good = EncodeMachineState(s);
    const auto resealed = [](std::string f) {
        const std::uint32_t crc =
            StateChecksum(std::span(reinterpret_cast<const std::uint8_t*>(f.data()), f.size() - 4));
        for (int i = 0; i < 4; ++i)
            f[f.size() - 4 + static_cast<std::size_t>(i)] = static_cast<char>(crc >> (8 * i));
        return f;
    };
    struct Row {
        const char* what;
        std::string file;
        const char* reason;
    };
    std::string flipped = good, newer = good, segment = good;
    flipped[40] ^= 0x01;
    newer[8] = 2;
    segment[45] = 0x7F;  // the EEPROM's one segment starts beyond its size
    const Row rows[] = {
        {"another file", "[setting]\r\nWRLoop=7\r\n", "not a state file"},
        {"a flipped bit", flipped, "checksum does not match"},
        {"cut short", good.substr(0, good.size() - 10), "length is not the one recorded"},
        {"a newer format", resealed(newer), "version 2"},
        {"a segment out of place", resealed(segment), "segment out of place"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TempDir dir;
        fs::create_directories(dir.path());
        { std::ofstream(dir.path() / SimStateFolder::kStateFile, std::ios::binary) << r.file; }
        auto taken = SimStateFolder::Take(dir.path());
        auto& folder = std::get<std::unique_ptr<SimStateFolder>>(taken);
        const auto loaded = folder->load(s.scenarioHash);
        ASSERT_TRUE(std::holds_alternative<StateFolderError>(loaded));
        const auto& e = std::get<StateFolderError>(loaded);
        EXPECT_EQ(e.kind, StateFolderError::Kind::Damaged);
        EXPECT_NE(e.message.find(r.reason), std::string::npos) << e.message;
        std::ifstream in(dir.path() / SimStateFolder::kStateFile, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), r.file);
    }
}

}  // namespace
}  // namespace vq::sim
