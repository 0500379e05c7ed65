// vq-usbredir: puts the emulated bridges of a scenario on a virtual machine's USB bus.
// Every bridge of the scenario listens on its own usbredir socket in the socket folder,
// named after its hub and port ("hubA-3.sock"); the machine's usb-redir devices connect
// to them as clients. The boards are the emulated station's own, with their drives.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>

#include "platform/linux/usbredir/UsbRedirServer.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "platform/sim/usb/SimUsbBridge.h"
#include "tools/usbredir/QemuLayout.h"

namespace {

const char* SpeedText(vq::UsbSpeed s) {
    switch (s) {
        case vq::UsbSpeed::Low:
            return "low";
        case vq::UsbSpeed::Full:
            return "full";
        case vq::UsbSpeed::High:
            return "high";
        case vq::UsbSpeed::Super:
            return "super";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenarioFile, socketDir, workDir, qemuArgsFile;
    bool verbose = false;
    CLI::App app{"vq-usbredir - the emulated bridges of a scenario on a virtual machine's USB bus"};
    app.allow_windows_style_options(false);
    app.add_option("--scenario", scenarioFile, "scenario file (examples/*.json)")->required();
    app.add_option("--sockets", socketDir, "folder for the usbredir sockets (made when missing)")
        ->required();
    app.add_option("--work", workDir,
                   "folder for the drive images (kept); default: a temporary one removed at exit");
    app.add_option("--qemu-args", qemuArgsFile,
                   "write the machine's USB arguments (controller, hubs, usb-redir devices) to "
                   "this file, one per line");
    app.add_flag("--verbose", verbose, "log every connection event");
    app.footer(
        "Exit codes: 0 stopped by SIGINT or SIGTERM, 2 bad command line, 3 the scenario or a "
        "socket could not be set up.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    auto loaded = vq::sim::LoadScenarioFile(scenarioFile);
    if (auto* e = std::get_if<vq::sim::ScenarioError>(&loaded)) {
        std::cerr << "vq-usbredir: " << e->message << "\n";
        return 3;
    }
    const auto scenario = std::get<vq::sim::Scenario>(std::move(loaded));
    const vq::tools::QemuLayout layout = vq::tools::LayOut(scenario);

    std::error_code ec;
    std::filesystem::create_directories(socketDir, ec);
    vq::sim::SimOptions options;
    options.timeScale = 0;  // emulated time is kept up with the wall clock below
    options.verbose = verbose;
    options.workFolder = workDir;
    vq::sim::SimPlatform sim(options);
    vq::sim::BuildStation(sim, scenario);

    vq::SteadyClock wallClock;
    vq::UsbRedirServer server(std::cout, wallClock, verbose);
    std::vector<std::string> sockets;
    for (const vq::tools::QemuPort& p : layout.ports) {
        if (p.kind != vq::tools::QemuPort::Kind::Bridge)
            continue;
        auto fn = std::dynamic_pointer_cast<vq::sim::BridgeFunction>(
            sim.station().functionAt(p.hubId, p.port));
        if (!fn) {
            std::cerr << "vq-usbredir: no bridge on " << p.hubId << " port " << p.port << "\n";
            return 3;
        }
        const std::string path =
            (std::filesystem::path(socketDir) / vq::tools::SocketName(p)).string();
        const std::string name = p.hubId + " port " + std::to_string(p.port);
        auto device =
            std::make_shared<vq::sim::SimUsbBridge>(fn->bridge(), fn, p.machineSpeed, name);
        if (const std::string why = server.listen(path, device); !why.empty()) {
            std::cerr << "vq-usbredir: " << path << ": " << why << "\n";
            return 3;
        }
        const vq::sim::BusIdentity id = fn->identity();
        char line[200];
        std::snprintf(line, sizeof line, "%-28s port %-7s %04X:%04X %-6s serial %s", path.c_str(),
                      p.qemuPort.c_str(), id.vid, id.pid,
                      SpeedText(vq::sim::ConnectSpeed(p.machineSpeed, id)),
                      id.serial ? id.serial->c_str() : "-");
        std::cout << line << std::endl;
        sockets.push_back(path);
    }
    if (!qemuArgsFile.empty()) {
        std::ofstream out(qemuArgsFile);
        for (const std::string& a : vq::tools::QemuArguments(layout, socketDir))
            out << a << "\n";
        if (!out) {
            std::cerr << "vq-usbredir: cannot write " << qemuArgsFile << "\n";
            return 3;
        }
    }
    std::cout << "vq-usbredir: serving " << sockets.size() << " bridges" << std::endl;

    // Emulated time never lags the wall clock: commands take no real time, and what the
    // boards do at a set time (come back after a reset, go dark without power) happens
    // when it is due.
    const auto start = std::chrono::steady_clock::now();
    auto turn = [&] {
        const std::int64_t real = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
        const std::int64_t emulated = sim.clock().nowNs();
        if (real > emulated)
            sim.clock().advanceNs(real - emulated);
        sim.station().poll();
    };
    return server.run(turn);
}
