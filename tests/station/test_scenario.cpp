#include "platform/sim/SimScenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "bridge/VendorCommands.h"
#include "platform/sim/SimPlatform.h"

namespace vq::sim {
namespace {

const char* kSmall = R"({
  "name": "two hubs",
  "timeScale": 0.5,
  "os": {"major": 6, "minor": 1, "servicePack": 1},
  "volumes": [{"letter": "C", "type": "fixed", "freeMiB": 1000}, {"letter": "z", "type": "remote"}],
  "rootHubs": [{
    "id": "r0", "kind": "root_hub30", "ports": 4,
    "devices": [
      {"port": 1, "speed": "super", "hub": {"id": "ext", "ports": 2, "devices": [
        {"port": 2, "cc2Port": 1, "bridge": {"chipKind": 19, "flashType": -1, "uas": true,
                               "powerOffMs": 150, "chipFlag": true,
                               "faults": [{"type": "otherIdentity", "pid": "BEEF", "serial": "X1"},
                                          {"type": "corruptSector", "lba": 9, "address": 4095}],
                               "identity": {"serial": "000000000009"},
                               "master": {"sizeMiB": 1024, "sectorSize": 4096,
                                          "hiddenSectors": 64},
                               "volumes": [{"letter": "E", "freeMiB": 900}]}}]}},
      {"port": 3, "usb": {"vid": "046D", "pid": "C077", "product": "Mouse"}},
      {"port": 4, "bridge": {"chipKind": 6, "identity": {"serial": "7E8A574290001"},
                             "switches": "ext", "registers": {"7059": [8]}}}
    ]}]
})";

TEST(Scenario, ReadsAStationWithEveryKindOfDevice) {
    auto r = ParseScenario(kSmall);
    ASSERT_TRUE(std::holds_alternative<Scenario>(r)) << std::get<ScenarioError>(r).message;
    const Scenario& s = std::get<Scenario>(r);
    EXPECT_EQ(s.name, "two hubs");
    EXPECT_DOUBLE_EQ(s.timeScale, 0.5);
    EXPECT_EQ(s.os.minor, 1u);
    ASSERT_EQ(s.volumes.size(), 2u);
    EXPECT_EQ(s.volumes[1].letter, 'Z');
    EXPECT_EQ(s.volumes[1].type, DriveType::Remote);
    EXPECT_EQ(s.volumes[0].freeBytes, 1000ull << 20);
    const auto& devs = s.rootHubs.at(0).devices;
    ASSERT_EQ(devs.size(), 3u);
    EXPECT_EQ(devs[0].kind, ScenarioDevice::Kind::Hub);
    EXPECT_EQ(devs[0].speed, PortSpeed::Super);
    const auto& bridge = devs[0].children.at(0);
    EXPECT_EQ(bridge.bridge.kind, 19);
    EXPECT_EQ(bridge.bridge.flashType, 255);
    EXPECT_TRUE(bridge.uas);
    EXPECT_EQ(bridge.bridge.master->sectors, (1024ull << 20) / 4096);
    EXPECT_EQ(bridge.bridge.defaultIdentity.serial, "000000000009");
    EXPECT_EQ(bridge.volumes.at(0).letter, 'E');
    EXPECT_EQ(bridge.cc2Port, 1u);
    EXPECT_EQ(bridge.bridge.timing.powerOffMs, 150u);
    EXPECT_EQ(bridge.bridge.chipFlag, 1);
    EXPECT_EQ(bridge.bridge.master->hiddenSectors, 64u);
    ASSERT_EQ(bridge.bridge.faults.size(), 2u);
    EXPECT_EQ(bridge.bridge.faults[0].type, FaultSpec::Type::OtherIdentity);
    EXPECT_EQ(bridge.bridge.faults[0].pid, 0xBEEF);
    EXPECT_FALSE(bridge.bridge.faults[0].vid.has_value());
    EXPECT_EQ(bridge.bridge.faults[0].serial, "X1");
    EXPECT_EQ(bridge.bridge.faults[1].lba, 9u);
    EXPECT_EQ(bridge.bridge.faults[1].address, 4095u);
    EXPECT_FALSE(devs[1].usb.serial.has_value());
    EXPECT_EQ(devs[1].usb.vid, 0x046D);
    EXPECT_EQ(devs[2].switchesHub, "ext");
    ASSERT_EQ(devs[2].bridge.registers.size(), 1u);
    EXPECT_EQ(devs[2].bridge.registers[0].first, 0x7059);
}

TEST(Scenario, BadFilesNameTheFieldAndTheReason) {
    const struct {
        const char* json;
        const char* message;
    } cases[] = {
        {"{", "scenario: not valid JSON"},
        {"{}", "scenario.rootHubs: must list at least one root hub"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 3, "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[0].port: 3 is above the hub's 2 ports"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "usb": {}}, {"port": 1, "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[1].port: port 1 already holds a device"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1}]}]})",
         "scenario.rootHubs[0].devices[0]: needs exactly one of hub, bridge or usb"},
        {R"({"rootHubs": [{"ports": 2, "colour": 1}]})",
         "scenario.rootHubs[0].colour: unknown field"},
        {R"({"rootHubs": [{"kind": "Root Hub", "ports": 2}]})",
         "scenario.rootHubs[0].kind: must be a lower-case name such as root_hub30"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "speed": "warp", "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[0].speed: must be low, full, high, super or superplus"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "usb": {"vid": "12345"}}]}]})",
         "scenario.rootHubs[0].devices[0].usb.vid: must be 1 to 4 hexadecimal digits"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "bridge": {"chipKind": 36}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.chipKind: out of range 1..35"},
        {R"({"rootHubs": [{"id": "a", "ports": 1}, {"id": "a", "ports": 1}]})",
         "scenario.rootHubs[1].id: \"a\" is used twice"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"switches": "nowhere"}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.switches: no hub \"nowhere\""},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"master": null, "volumes": [{"letter": "E"}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.volumes: need an ATA master drive"},
        {R"({"volumes": [{"letter": "E"}], "rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"volumes": [{"letter": "e"}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.volumes: drive letter E used twice"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"master": {"sectorSize": 1024}}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.master.sectorSize: must be 512 or 4096"},
        {R"({"timeScale": "fast", "rootHubs": [{"ports": 1}]})",
         "scenario.timeScale: must be a number"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"faults": [{"type": "explode"}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.faults[0].type: must be failCommand, "
         "timeout, corruptProgram, corruptSector, stayBusy, noReturn, otherIdentity, "
         "vanishMidTransfer or outOfSpace"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "cc2Port": 3, "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[0].cc2Port: 3 is above the hub's 2 ports"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "cc2Port": 1, "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[0].cc2Port: must differ from port"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "cc2Port": 2, "usb": {}}, {"port": 2, "usb": {}}]}]})",
         "scenario.rootHubs[0].devices[1].port: port 2 already holds a device"},
        {R"({"rootHubs": [{"ports": 2, "devices": [{"port": 1, "cc2Port": 2, "hub": {"id": "h"}}]}]})",
         "scenario.rootHubs[0].devices[0].cc2Port: only a device with a plug (bridge or usb) can "
         "be turned over"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"powerOffMs": -5}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.powerOffMs: out of range 0..60000"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"master": {"packet": true, "hiddenSectors": 8}}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.master.hiddenSectors: an ATAPI drive has no "
         "hidden sectors"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"faults": [{"type": "noReturn", "vid": "1234"}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.faults[0].vid: only an otherIdentity fault takes "
         "it"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"faults": [{"type": "corruptSector", "address": 4096}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.faults[0].address: must be a byte of the "
         "sector, 0..4095"},
        {R"({"rootHubs": [{"ports": 1, "devices": [{"port": 1, "bridge": {"faults": [{"type": "failCommand", "lba": 5}]}}]}]})",
         "scenario.rootHubs[0].devices[0].bridge.faults[0].lba: only a corruptSector fault takes "
         "it"},
    };
    for (const auto& c : cases) {
        auto r = ParseScenario(c.json);
        ASSERT_TRUE(std::holds_alternative<ScenarioError>(r)) << c.json;
        EXPECT_EQ(std::get<ScenarioError>(r).message, c.message) << c.json;
    }
    // Hubs nested deeper than 32 levels end the reading instead of the reader's stack.
    std::string deep = R"({"rootHubs": [{"ports": 1, "devices": [)";
    for (int i = 0; i < 40; ++i)
        deep += R"({"port": 1, "hub": {"id": "h)" + std::to_string(i) +
                R"(", "ports": 1, "devices": [)";
    for (int i = 0; i < 40; ++i)
        deep += "]}}";
    deep += "]}]}";
    auto r = ParseScenario(deep);
    ASSERT_TRUE(std::holds_alternative<ScenarioError>(r));
    EXPECT_NE(std::get<ScenarioError>(r).message.find(".hub: hubs nested more than 32 deep"),
              std::string::npos);
}

TEST(Scenario, MissingFileIsReportedNotThrown) {
    auto r = LoadScenarioFile("/nonexistent/station.json");
    ASSERT_TRUE(std::holds_alternative<ScenarioError>(r));
    EXPECT_NE(std::get<ScenarioError>(r).message.find("not a readable file"), std::string::npos);
}

}  // namespace
}  // namespace vq::sim

namespace vq::sim {
namespace {

// Every scenario shipped in examples/ loads and builds a station whose bridges answer.
TEST(Scenario, EveryShippedExampleLoadsAndBuilds) {
    const std::filesystem::path dir = std::filesystem::path(VQ_SOURCE_DIR) / "examples";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".json")
            continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        auto r = LoadScenarioFile(entry.path());
        ASSERT_TRUE(std::holds_alternative<Scenario>(r)) << std::get<ScenarioError>(r).message;
        SimPlatform sim;
        BuildStation(sim, std::get<Scenario>(r));
        const auto disks = sim.station().diskInterfaces();
        ASSERT_TRUE(disks);
        ASSERT_FALSE(disks->empty());
        for (const auto& d : *disks) {
            auto dev = sim.platform().scsi->open(d.interfacePath);
            ASSERT_NE(dev, nullptr) << d.interfacePath;
            EXPECT_TRUE(dev->deviceNumber().has_value());
        }
    }
    EXPECT_GE(files, 7);
}

// The type-C fixture's control board, as its datasheet: register 0x7059 bit 0x08 powers
// the board under test with its plug in the CC1 orientation (hub port 1), bit 0x10 in
// the CC2 orientation (port 2), 0x08 wins when both are set, neither switches it off;
// every switch is a power cycle, and the board comes back under a new device record.
class PowerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        auto r = LoadScenarioFile(std::filesystem::path(VQ_SOURCE_DIR) / "examples" /
                                  "power-control.json");
        ASSERT_TRUE(std::holds_alternative<Scenario>(r));
        BuildStation(sim, std::get<Scenario>(r));
        const auto disks = sim.station().diskInterfaces();
        ASSERT_EQ(disks->size(), 1u) << "the hub under test starts without power";
        control = (*disks)[0].interfacePath;
    }
    void lines(std::uint8_t v) {
        const bridge::Target target{transport, control};
        ASSERT_TRUE(bridge::WriteXdata(target, 0x7059, std::span<const std::uint8_t>(&v, 1)));
    }
    // The port of hub "dut" the board under test shows on, its storage path and device
    // node.
    struct Seen {
        std::uint32_t port = 0;
        std::string path;
        DevNode node = 0;
    };
    std::optional<Seen> underTest() {
        const auto disks = sim.station().diskInterfaces();
        for (const auto& d : *disks) {
            auto fn = sim.station().functionByPath(d.interfacePath);
            const auto at = fn ? sim.station().portOf(*fn) : std::nullopt;
            if (at && at->first == "dut")
                return Seen{at->second, d.interfacePath, sim.station().nodeOf(*fn).value_or(0)};
        }
        return std::nullopt;
    }
    bool answersIdentify(ScsiDevice& dev) {
        const std::uint8_t cdb[12] = {0xE0, 0xF4, 0xE7};
        std::vector<std::uint8_t> buf(16);
        const ScsiResult r = dev.execute({cdb, DataDirection::In, buf, 10});
        return r.callSucceeded && r.scsiStatus == 0 && buf[0] == 0xF4;
    }

    SimPlatform sim;
    bridge::Transport transport{*sim.platform().scsi, sim.clock()};
    std::string control;
};

TEST_F(PowerFixture, EachLineShowsTheBoardOnItsPort) {
    const struct {
        std::uint8_t lines;
        std::optional<std::uint32_t> port;
        bool fresh;  // a new device record (the board was power-cycled)
    } rows[] = {{0x08, 1, true},
                {0x00, std::nullopt, false},
                {0x10, 2, true},
                {0x08, 1, true},
                {0x18, 1, false},
                {0x10, 2, true},
                {0x00, std::nullopt, false}};
    DevNode last = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.lines));
        lines(row.lines);
        sim.clock().sleepMs(300);  // past the board's 200 ms on its charge
        const auto at = underTest();
        ASSERT_EQ(at.has_value(), row.port.has_value());
        if (!at)
            continue;
        EXPECT_EQ(at->port, *row.port);
        EXPECT_EQ(at->node != last, row.fresh);
        last = at->node;
    }
}

TEST_F(PowerFixture, PoweredOffBoardAnswersUntilItsChargeRunsOut) {
    lines(0x08);
    const auto at = underTest();
    ASSERT_TRUE(at);
    auto dev = sim.scsi().open(at->path);
    ASSERT_NE(dev, nullptr);
    lines(0x00);
    sim.clock().sleepMs(150);
    EXPECT_TRUE(answersIdentify(*dev));
    EXPECT_TRUE(underTest());
    sim.clock().sleepMs(60);
    EXPECT_FALSE(answersIdentify(*dev));
    EXPECT_FALSE(underTest());

    // Power back before the charge runs out: the board never stopped.
    lines(0x08);
    const auto again = underTest();
    ASSERT_TRUE(again);
    dev = sim.scsi().open(again->path);
    ASSERT_NE(dev, nullptr);
    lines(0x00);
    sim.clock().sleepMs(100);
    lines(0x08);
    sim.clock().sleepMs(500);
    EXPECT_TRUE(answersIdentify(*dev));
    EXPECT_EQ(underTest()->node, again->node);
}

}  // namespace
}  // namespace vq::sim
