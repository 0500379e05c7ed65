// Scenario files: JSON descriptions of an emulated station (controllers, hubs, ports,
// devices, drives, volumes, time scale, faults). Parsing checks the whole file and
// reports the first problem with the field's path and the reason; it never throws.
// The format is documented in docs/scenario-format.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Platform.h"
#include "platform/VolumeService.h"
#include "platform/sim/SimBridgeConfig.h"
#include "platform/sim/SimStation.h"
#include "platform/sim/SimVolumes.h"

namespace vq::sim {

struct ScenarioVolume {
    char letter = 0;
    DriveType type = DriveType::Fixed;
    std::uint64_t freeBytes = 0;
    std::string label;
};

struct ScenarioDevice {
    enum class Kind { Hub, Bridge, Usb };
    Kind kind = Kind::Usb;
    std::uint32_t port = 0;
    PortSpeed speed = PortSpeed::High;
    std::uint32_t vetoes = 0;   // removal requests vetoed before the device goes
    std::uint32_t cc2Port = 0;  // the port it shows on with its plug in the CC2 orientation

    // Kind::Hub
    std::string hubId;
    std::uint32_t hubPorts = 0;
    BusIdentity hubIdentity;
    std::vector<ScenarioDevice> children;

    // Kind::Bridge
    BridgeConfig bridge;
    bool uas = false;
    std::vector<ScenarioVolume> volumes;  // on the master drive
    std::string switchesHub;              // the port-power control board: hub it powers
    SimDiskFaults diskFaults;             // of the volumes on its disk

    // Kind::Usb
    BusIdentity usb;
};

struct ScenarioHub {
    std::string id;
    std::string kind = "root_hub30";
    std::uint32_t ports = 0;
    std::vector<ScenarioDevice> devices;
};

struct Scenario {
    std::string name;
    double timeScale = 0.0;
    OsVersion os{10, 0, 0};
    char systemDrive = 'C';
    bool formatPrompt = false;  // the system's "format this disk?" prompt opens for new volumes
    std::vector<ScenarioVolume> volumes;  // volumes not behind a bridge
    std::vector<ScenarioHub> rootHubs;
};

struct ScenarioError {
    std::string message;  // "field: reason"
};

std::variant<Scenario, ScenarioError> ParseScenario(std::string_view json);
std::variant<Scenario, ScenarioError> LoadScenarioFile(const std::filesystem::path& file);

// The bus rate of a port of this speed (MiB/s), for bridges that do not set their own.
double BusRate(PortSpeed speed);

class SimPlatform;
// Puts the machine a scenario describes into a fresh emulated platform (made with the
// scenario's time scale).
void BuildStation(SimPlatform& sim, const Scenario& scenario);

}  // namespace vq::sim
