// "vqmp-cli sim": drives the emulated machine at run time for demonstrations: devices
// are unplugged and plugged back, hub power is switched, and every arrival and removal
// event the machine sends is printed as it happens. Commands come one a line from a
// script file or from standard input:
//   unplug HUB PORT     pull what hangs on the port (a hub with everything below it)
//   replug HUB PORT     put back the device pulled from that port
//   power HUB on|off    switch the port power of a hub
//   wait MS             let emulated time pass
//   list                the storage interfaces the machine shows now
//   topology            the hub tree
//   # ...               a comment
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "cli/CliContext.h"
#include "platform/Clock.h"
#include "platform/sim/SimStation.h"

namespace vq::cli {

int RunTopology(CliContext& ctx);

namespace {

const char* KindName(const DeviceEvent& e) {
    return e.kind == DeviceEvent::Kind::Arrival ? "arrival" : "removal";
}

}  // namespace

int RunSim(CliContext& ctx, const std::string& script) {
    Platform* p = ctx.platform();
    if (!p || !ctx.sim())
        return kExitPlatform;
    sim::SimStation& st = ctx.sim()->station();
    st.setListener([](const DeviceEvent& e) {
        std::cout << "event   " << KindName(e) << "  "
                  << (e.type == DeviceEvent::Type::Volume ? "volume     " : "interface  ") << e.name
                  << "\n";
    });
    std::ifstream file;
    if (!script.empty()) {
        file.open(script);
        if (!file) {
            std::cerr << "vqmp-cli sim: cannot open " << script << "\n";
            return kExitUsage;
        }
    }
    std::istream& in = script.empty() ? std::cin : file;
    std::map<std::pair<std::string, std::uint32_t>, std::shared_ptr<sim::UsbFunction>> pulled;
    int rc = kExitOk;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::string cmd;
        if (!(words >> cmd) || cmd[0] == '#')
            continue;
        auto bad = [&](const std::string& why) {
            std::cerr << "vqmp-cli sim: line " << number << ": " << why << "\n";
            rc = kExitFailed;
        };
        std::cout << "> " << line << "\n";
        if (cmd == "unplug" || cmd == "replug") {
            std::string hub;
            std::uint32_t port = 0;
            if (!(words >> hub >> port)) {
                bad("usage: " + cmd + " HUB PORT");
                continue;
            }
            if (cmd == "unplug") {
                auto fn = st.functionAt(hub, port);
                if (!st.unplug(hub, port)) {
                    bad("nothing on port " + std::to_string(port) + " of hub " + hub);
                    continue;
                }
                if (fn)
                    pulled[{hub, port}] = fn;
            } else {
                auto it = pulled.find({hub, port});
                if (it == pulled.end()) {
                    bad("no device was pulled from port " + std::to_string(port) + " of " + hub);
                    continue;
                }
                if (!st.plug(hub, port, it->second, sim::PortSpeed::High)) {
                    bad("port " + std::to_string(port) + " of hub " + hub + " is not free");
                    continue;
                }
                pulled.erase(it);
            }
        } else if (cmd == "power") {
            std::string hub, state;
            if (!(words >> hub >> state) || (state != "on" && state != "off") || !st.hub(hub)) {
                bad("usage: power HUB on|off (with a known hub)");
                continue;
            }
            st.setHubPower(hub, state == "on");
        } else if (cmd == "wait") {
            std::uint32_t ms = 0;
            if (!(words >> ms)) {
                bad("usage: wait MS");
                continue;
            }
            p->clock->sleepMs(ms);
            st.poll();
        } else if (cmd == "list") {
            const auto disks = st.diskInterfaces();
            std::cout << (disks ? disks->size() : 0) << " storage interfaces\n";
            if (disks) {
                for (const auto& d : *disks)
                    std::cout << "  " << d.interfacePath << "\n";
            }
        } else if (cmd == "topology") {
            RunTopology(ctx);
        } else {
            bad("unknown command \"" + cmd + "\"");
        }
    }
    st.setListener({});
    return rc;
}

void AddSimCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* cmd = app.add_subcommand(
        "sim", "Drive the emulated machine: unplug, replug, power, wait, list, topology");
    auto script = std::make_shared<std::string>();
    cmd->add_option("--script", *script, "Command file (default: standard input)");
    cmd->callback([&ctx, &exitCode, script] { exitCode = RunSim(ctx, *script); });
}

}  // namespace vq::cli
