// The USB topology of a scenario as a virtual machine builds it: one xHCI controller a
// root hub, an external hub for each of the scenario's hubs, and a usb-redir device on
// each bridge's port, addressed by the machine's port paths ("2", "2.5").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/SimScenario.h"

namespace vq::tools {

struct QemuPort {
    enum class Kind { Hub, Bridge };
    Kind kind = Kind::Bridge;
    std::string hubId;  // the scenario hub it hangs on
    std::uint32_t port = 0;
    sim::PortSpeed speed = sim::PortSpeed::High;
    // The speed the machine's port allows: its external hubs run at full speed only, its
    // root ports at any speed up to SuperSpeed.
    sim::PortSpeed machineSpeed = sim::PortSpeed::High;
    std::string controller;  // the machine's controller id
    std::string qemuPort;    // its port path on that controller
    std::string childHubId;  // Kind::Hub: the hub's id and port count
    std::uint32_t childPorts = 0;
};

struct QemuController {
    std::string id;
    std::uint32_t ports = 0;
};

struct QemuLayout {
    std::vector<QemuController> controllers;
    std::vector<QemuPort> ports;  // parents before children
};

QemuLayout LayOut(const sim::Scenario& scenario);
// The socket of the bridge on a port.
std::string SocketName(const QemuPort& port);
// The machine's arguments for the layout, one argument an element.
std::vector<std::string> QemuArguments(const QemuLayout& layout, const std::string& socketDir);

}  // namespace vq::tools
