#include "platform/sim/SimScenario.h"

#include <gtest/gtest.h>

#include <filesystem>

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
        {"port": 2, "bridge": {"chipKind": 19, "flashType": -1, "uas": true,
                               "identity": {"serial": "000000000009"},
                               "master": {"sizeMiB": 1024, "sectorSize": 4096},
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
         "timeout, corruptProgram, stayBusy, noReturn, vanishMidTransfer or outOfSpace"},
    };
    for (const auto& c : cases) {
        auto r = ParseScenario(c.json);
        ASSERT_TRUE(std::holds_alternative<ScenarioError>(r)) << c.json;
        EXPECT_EQ(std::get<ScenarioError>(r).message, c.message) << c.json;
    }
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

TEST(Scenario, PowerControlBoardSwitchesItsHub) {
    auto r =
        LoadScenarioFile(std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "power-control.json");
    ASSERT_TRUE(std::holds_alternative<Scenario>(r));
    SimPlatform sim;
    BuildStation(sim, std::get<Scenario>(r));
    auto disks = sim.station().diskInterfaces();
    ASSERT_EQ(disks->size(), 1u) << "the hub under test starts without power";
    const std::string control = (*disks)[0].interfacePath;
    // The station drives register 0x7059 of the control board: bit 0x08 is port power.
    bridge::Transport transport(*sim.platform().scsi, sim.clock());
    const bridge::Target target{transport, control};
    auto write7059 = [&](std::uint8_t v) {
        ASSERT_TRUE(bridge::WriteXdata(target, 0x7059, std::span<const std::uint8_t>(&v, 1)));
    };
    write7059(0x08);
    EXPECT_EQ(sim.station().diskInterfaces()->size(), 2u);
    write7059(0x00);
    EXPECT_EQ(sim.station().diskInterfaces()->size(), 1u);
}

}  // namespace
}  // namespace vq::sim
