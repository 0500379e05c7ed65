#include "tools/usbredir/QemuLayout.h"

#include <algorithm>
#include <functional>

namespace vq::tools {

QemuLayout LayOut(const sim::Scenario& scenario) {
    QemuLayout layout;
    std::function<void(const std::string&, const std::string&, const std::string&,
                       const std::vector<sim::ScenarioDevice>&)>
        walk = [&](const std::string& controller, const std::string& hubId,
                   const std::string& prefix, const std::vector<sim::ScenarioDevice>& devices) {
            for (const sim::ScenarioDevice& d : devices) {
                if (d.kind == sim::ScenarioDevice::Kind::Usb)
                    continue;
                QemuPort p;
                p.hubId = hubId;
                p.port = d.port;
                p.speed = d.speed;
                p.machineSpeed = prefix.empty() ? std::min(d.speed, sim::PortSpeed::Super)
                                                : std::min(d.speed, sim::PortSpeed::Full);
                p.controller = controller;
                p.qemuPort =
                    prefix.empty() ? std::to_string(d.port) : prefix + "." + std::to_string(d.port);
                if (d.kind == sim::ScenarioDevice::Kind::Hub) {
                    p.kind = QemuPort::Kind::Hub;
                    p.machineSpeed = sim::PortSpeed::Full;  // the machine's hubs are full speed
                    p.childHubId = d.hubId;
                    p.childPorts = d.hubPorts;
                    layout.ports.push_back(p);
                    walk(controller, d.hubId, p.qemuPort, d.children);
                } else {
                    layout.ports.push_back(p);
                }
            }
        };
    for (std::size_t i = 0; i < scenario.rootHubs.size(); ++i) {
        const sim::ScenarioHub& root = scenario.rootHubs[i];
        const std::string id = i == 0 ? "xhci" : "xhci" + std::to_string(i + 1);
        layout.controllers.push_back({id, root.ports});
        walk(id, root.id, "", root.devices);
    }
    return layout;
}

std::string SocketName(const QemuPort& port) {
    return port.hubId + "-" + std::to_string(port.port) + ".sock";
}

std::vector<std::string> QemuArguments(const QemuLayout& layout, const std::string& socketDir) {
    std::vector<std::string> args;
    for (const QemuController& c : layout.controllers) {
        const std::string n = std::to_string(c.ports);
        args.insert(args.end(), {"-device", "qemu-xhci,id=" + c.id + ",p2=" + n + ",p3=" + n});
    }
    int redir = 0;
    for (const QemuPort& p : layout.ports) {
        const std::string bus = "bus=" + p.controller + ".0,port=" + p.qemuPort;
        if (p.kind == QemuPort::Kind::Hub) {
            args.insert(args.end(),
                        {"-device", "usb-hub," + bus + ",ports=" + std::to_string(p.childPorts)});
            continue;
        }
        const std::string id = "r" + std::to_string(++redir);
        std::string dir = socketDir;
        if (!dir.empty() && dir.back() != '/')
            dir += '/';
        args.insert(args.end(), {"-chardev", "socket,id=" + id + ",path=" + dir + SocketName(p),
                                 "-device", "usb-redir,chardev=" + id + "," + bus});
    }
    return args;
}

}  // namespace vq::tools
