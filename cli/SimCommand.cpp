// "vqmp-cli sim": drives the emulated machine at run time for demonstrations: devices
// are unplugged and plugged back, hub power is switched, and every arrival and removal
// event the machine sends is printed as it happens. What a script changes stays for the
// next command (the machine's state folder); "vqmp-cli sim reset" starts the machine
// afresh. Commands come one a line from a script file or from standard input:
//   unplug HUB PORT     pull what hangs on the port (a hub with everything below it)
//   replug HUB PORT     put back the device pulled from that port
//   power HUB on|off    switch the port power of a hub
//   power off|on|cc2    the port-power control board: both lines off, the CC1 line
//                       (the plugs in their first orientation) or the CC2 line
//   reset SLOT          send the bridge in a slot its reset block
//   raw SLOT CDB... [--in N | --out HEX]
//                       send one command block (hex bytes) and print the answer
//   eject SLOT          safe removal of the bridge in a slot
//   fault SLOT NAME [command=C] [n=N] [times=T] [address=A] [mask=M] [bytes=B]
//                   [lba=L] [vid=V] [pid=P] [serial=S]
//                       plan a fault on the bridge in a slot, counted from now
//   trace SLOT [N]      the last N (default 20) command blocks the bridge answered
//   wait MS             let emulated time pass
// SLOT is the slot `vqmp-cli scan` prints, taken from one device refresh at the start.
//   list                the storage interfaces the machine shows now
//   topology            the hub tree
//   # ...               a comment
#include <CLI/CLI.hpp>
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "cli/CliContext.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/sim/SimBridgeFunction.h"
#include "platform/sim/SimStation.h"
#include "run/Station.h"

namespace vq::cli {

int RunTopology(CliContext& ctx);

namespace {

const char* KindName(const DeviceEvent& e) {
    return e.kind == DeviceEvent::Kind::Arrival ? "arrival" : "removal";
}

// The bridge in each slot of the scan, from one device refresh.
std::map<std::uint32_t, std::shared_ptr<sim::BridgeFunction>> SlotsOf(Platform& p,
                                                                      sim::SimStation& st) {
    std::map<std::uint32_t, std::shared_ptr<sim::BridgeFunction>> slots;
    RecordingOperator recorder;
    Operator* const console = p.op;
    p.op = &recorder;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, recorder, p.home);
    Station station(p, rules);
    station.DeviceRefresh();
    p.op = console;
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const int entry = station.deviceEntryOf(i);
        if (entry < 0)
            continue;
        const auto& path = station.devices()[static_cast<std::size_t>(entry)].interfacePath;
        if (auto fn = std::dynamic_pointer_cast<sim::BridgeFunction>(st.functionByPath(path)))
            slots[static_cast<std::uint32_t>(i + 1)] = fn;
    }
    return slots;
}

ScsiResult Send(sim::SimPlatform& simp, sim::SimBridge& b, std::vector<std::uint8_t> cdb,
                DataDirection dir, std::vector<std::uint8_t>& data) {
    ScsiResult r;
    auto dev = simp.scsi().open(Format("\\\\.\\PhysicalDrive%u", b.storageNumber()), &r.lastError);
    if (!dev)
        return r;
    ScsiRequest q;
    q.cdb = cdb;
    q.direction = dir;
    q.data = data;
    q.timeoutSeconds = dir == DataDirection::In ? 10 : 50;
    return dev->execute(q);
}

std::optional<std::vector<std::uint8_t>> HexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        digits.push_back(c);
    }
    if (digits.size() % 2)
        return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
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
    std::optional<std::map<std::uint32_t, std::shared_ptr<sim::BridgeFunction>>> slots;
    auto slotBridge = [&](std::istringstream& words) -> std::shared_ptr<sim::BridgeFunction> {
        std::uint32_t slot = 0;
        if (!(words >> slot))
            return nullptr;
        if (!slots)
            slots = SlotsOf(*p, st);
        auto it = slots->find(slot);
        return it == slots->end() ? nullptr : it->second;
    };
    std::cout << std::flush;
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
                if (!ctx.sim()->unplugPort(hub, port)) {
                    bad("nothing on port " + std::to_string(port) + " of hub " + hub);
                    continue;
                }
            } else if (!ctx.sim()->replugPort(hub, port)) {
                bad("no device was pulled from port " + std::to_string(port) + " of " + hub +
                    ", or the port is not free");
                continue;
            }
        } else if (cmd == "power") {
            std::string hub, state;
            words >> hub >> state;
            if (state.empty() && (hub == "on" || hub == "off" || hub == "cc1" || hub == "cc2")) {
                // The control board's register: bit 0x08 powers the port for the CC1
                // orientation, bit 0x10 for CC2; both clear: off.
                const auto& board = ctx.sim()->powerControl();
                if (!board) {
                    bad("this station has no port-power control board");
                    continue;
                }
                const std::uint8_t lines = hub == "off" ? 0x00 : hub == "cc2" ? 0x10 : 0x08;
                std::vector<std::uint8_t> value{
                    static_cast<std::uint8_t>((board->powerControlLines() & ~0x18) | lines)};
                const auto r =
                    Send(*ctx.sim(), *board,
                         {0xDF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x70, 0x59, 0x00, 0x00, 0x00, 0xFE},
                         DataDirection::Out, value);
                if (!r.callSucceeded || r.scsiStatus != 0) {
                    bad("the control board did not take the command");
                    continue;
                }
                st.poll();
                continue;
            }
            if ((state != "on" && state != "off") || !st.hub(hub)) {
                bad("usage: power HUB on|off (with a known hub), or power on|off|cc1|cc2");
                continue;
            }
            ctx.sim()->setHubPower(hub, state == "on");
        } else if (cmd == "reset" || cmd == "eject") {
            auto fn = slotBridge(words);
            if (!fn) {
                bad("usage: " + cmd + " SLOT (a slot with a bridge)");
                continue;
            }
            if (cmd == "reset") {
                std::vector<std::uint8_t> none;
                const auto r = Send(*ctx.sim(), *fn->bridge(),
                                    {0xFF, 0x04, 0x26, 0x56, 0x51, 0, 0, 0, 0, 0, 0, 0},
                                    DataDirection::None, none);
                std::cout << Format("result  call %d  error %u  status 0x%02X\n",
                                    r.callSucceeded ? 1 : 0, r.lastError, r.scsiStatus);
            } else {
                const auto node = st.nodeOf(*fn);
                const auto r = node ? st.requestEject(*node) : RemovalResult{};
                std::cout << (r.callSucceeded ? "ejected\n" : "eject refused\n");
            }
        } else if (cmd == "raw") {
            auto fn = slotBridge(words);
            std::string rest, w;
            std::optional<std::size_t> inLength;
            std::string outHex;
            bool ok = fn != nullptr;
            while (ok && words >> w) {
                if (w == "--in") {
                    std::size_t n = 0;
                    ok = static_cast<bool>(words >> n);
                    inLength = n;
                } else if (w == "--out") {
                    std::getline(words, outHex);
                } else {
                    rest += w;
                }
            }
            const auto cdb = HexBytes(rest);
            const auto out = HexBytes(outHex);
            if (!ok || !cdb || cdb->size() < 6 || cdb->size() > 16 || !out) {
                bad("usage: raw SLOT CDB [--in N | --out HEX] (6 to 16 hex bytes)");
                continue;
            }
            std::vector<std::uint8_t> data = inLength ? std::vector<std::uint8_t>(*inLength) : *out;
            const auto dir = inLength ? DataDirection::In : DataDirection::Out;
            const auto r = Send(*ctx.sim(), *fn->bridge(), *cdb, dir, data);
            std::cout << Format("result  call %d  error %u  status 0x%02X  bytes %u\n",
                                r.callSucceeded ? 1 : 0, r.lastError, r.scsiStatus,
                                r.bytesTransferred);
            if (inLength) {
                for (std::size_t i = 0; i < r.bytesTransferred && i < data.size(); i += 16) {
                    std::string row = Format("%04X ", static_cast<unsigned>(i));
                    for (std::size_t k = i; k < i + 16 && k < r.bytesTransferred; ++k)
                        row += Format(" %02X", data[k]);
                    std::cout << row << "\n";
                }
            }
        } else if (cmd == "fault") {
            auto fn = slotBridge(words);
            std::string name;
            words >> name;
            const auto type = sim::FaultTypeFromName(name);
            if (!fn || !type) {
                bad("usage: fault SLOT NAME [command=C] [n=N] [times=T] [address=A] [mask=M] "
                    "[bytes=B] [lba=L] [vid=V] [pid=P] [serial=S]");
                continue;
            }
            sim::FaultSpec f;
            f.type = *type;
            std::string arg;
            bool ok = true;
            while (ok && words >> arg) {
                const auto eq = arg.find('=');
                if (eq == std::string::npos) {
                    ok = false;
                    break;
                }
                const std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
                try {
                    if (key == "command")
                        f.command = value;
                    else if (key == "n")
                        f.n = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
                    else if (key == "times")
                        f.times = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
                    else if (key == "address")
                        f.address = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
                    else if (key == "mask")
                        f.mask = static_cast<std::uint8_t>(std::stoul(value, nullptr, 0));
                    else if (key == "bytes")
                        f.bytes = std::stoull(value, nullptr, 0);
                    else if (key == "lba")
                        f.lba = std::stoull(value, nullptr, 0);
                    else if (key == "vid" || key == "pid") {
                        const auto v = std::stoul(value, nullptr, 16);
                        ok = v <= 0xFFFF;
                        (key == "vid" ? f.vid : f.pid) = static_cast<std::uint16_t>(v);
                    } else if (key == "serial")
                        f.serial = value;
                    else
                        ok = false;
                } catch (const std::exception&) {
                    ok = false;
                }
            }
            if (!ok || (!f.command.empty() && f.command != "any" &&
                        !sim::CommandKindFromName(f.command))) {
                bad("fault: bad argument \"" + arg + "\"");
                continue;
            }
            fn->bridge()->addFault(f);
        } else if (cmd == "trace") {
            auto fn = slotBridge(words);
            std::size_t count = 20;
            std::string n;
            if (words >> n) {
                count = n.find_first_not_of("0123456789") == std::string::npos && n.size() < 9
                            ? std::stoul(n)
                            : 0;
            }
            if (!fn || count == 0) {
                bad("usage: trace SLOT [N]");
                continue;
            }
            const auto records = fn->bridge()->trace();
            const std::size_t first = records.size() > count ? records.size() - count : 0;
            for (std::size_t i = first; i < records.size(); ++i)
                std::cout << "trace   " << sim::FormatTraceRecord(records[i]) << "\n";
        } else if (cmd == "identity") {
            auto fn = slotBridge(words);
            if (!fn) {
                bad("usage: identity SLOT");
                continue;
            }
            const auto id = fn->identity();
            std::cout << Format("identity  %04X:%04X  %s  %s  %s\n", id.vid, id.pid,
                                id.manufacturer, id.product, id.serial.value_or("-"));
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
    auto* reset = cmd->add_subcommand(
        "reset", "Bring the emulated station back to its scenario's initial state");
    reset->callback([&ctx, &exitCode] { exitCode = ctx.resetState(); });
    cmd->callback([&ctx, &exitCode, script, cmd] {
        if (!cmd->got_subcommand("reset"))
            exitCode = RunSim(ctx, *script);
    });
}

}  // namespace vq::cli
