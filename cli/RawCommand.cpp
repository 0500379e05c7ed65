// "vqmp-cli raw": sends one command block to one device and prints what came back, like a
// pass-through utility. A device is named by its path (--path) or by its slot (--slot): the
// slot `scan` prints, or, on an emulated machine with nothing attached (--sim none), the
// N-th board of a built-in line-up of sixteen bridges of different chips.
#include <CLI/CLI.hpp>
#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Format.h"
#include "cli/CliContext.h"
#include "platform/ScsiPassThrough.h"
#include "platform/StorageEnumerator.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScsi.h"

namespace vq::cli {

namespace {

// The most one command of the bridges' command set carries: a whole firmware image.
constexpr std::size_t kMaxTransfer = 262144;

struct RawOptions {
    DeviceChoice device;
    std::string cdb;
    std::optional<std::uint32_t> in;
    std::string out;
    std::uint32_t timeout = 0;  // 0: 10 s for data-in, 50 s otherwise
    int kind = 0;               // built-in line-up: the chip on the addressed port
    bool trace = false;
};

// The chips of the built-in line-up, port 1 to 16.
constexpr std::uint8_t kLineUp[16] = {14, 4, 13, 19, 20, 21, 25, 27, 30, 8, 17, 11, 1, 7, 18, 22};

// "DF 10 00 ..." or "DF1000...": hexadecimal bytes, separated or not.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string token;
    const auto flush = [&]() -> bool {
        if (token.empty())
            return true;
        if (token.size() % 2 != 0 && token.size() > 2)
            return false;
        for (std::size_t i = 0; i < token.size(); i += 2) {
            const std::string pair = token.substr(i, token.size() == 1 ? 1 : 2);
            out.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
        }
        token.clear();
        return true;
    };
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            token.push_back(c);
        } else if (c == ' ' || c == ',' || c == ':' || c == '\t') {
            if (!flush())
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (!flush())
        return std::nullopt;
    return out;
}

void PrintHex(const std::vector<std::uint8_t>& data, std::size_t count) {
    for (std::size_t row = 0; row < count; row += 16) {
        std::string hex, text;
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i < count) {
                hex += Format("%02X ", data[i]);
                text.push_back(data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i])
                                                                 : '.');
            } else {
                hex += "   ";
            }
        }
        std::cout << Format("%04X  %s %s\n", static_cast<unsigned>(row), hex, text);
    }
}

int RunRaw(CliContext& ctx, const RawOptions& o) {
    const auto cdb = ParseHexBytes(o.cdb);
    if (!cdb || cdb->size() < 6 || cdb->size() > 16) {
        std::cerr << "vqmp-cli raw: --cdb needs 6 to 16 hexadecimal bytes\n";
        return kExitUsage;
    }
    if (o.in && !o.out.empty()) {
        std::cerr << "vqmp-cli raw: give --in or --out, not both\n";
        return kExitUsage;
    }
    if (o.device.path.empty() == (o.device.slot == 0)) {
        std::cerr << "vqmp-cli raw: name the device with --slot or --path\n";
        return kExitUsage;
    }
    std::vector<std::uint8_t> data;
    DataDirection dir = DataDirection::Out;  // a command without data goes as data-out
    if (o.in) {
        if (*o.in > kMaxTransfer) {
            std::cerr << "vqmp-cli raw: --in " << *o.in << " is more than one command carries ("
                      << kMaxTransfer << " bytes)\n";
            return kExitUsage;
        }
        dir = DataDirection::In;
        data.assign(*o.in, 0);
    } else if (!o.out.empty()) {
        std::ifstream f(o.out, std::ios::binary);
        if (!f) {
            std::cerr << "vqmp-cli raw: cannot read " << o.out << "\n";
            return kExitUsage;
        }
        std::vector<char> buffer(kMaxTransfer + 1);
        f.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(f.gcount());
        if (got > kMaxTransfer) {
            std::cerr << "vqmp-cli raw: " << o.out << " is more than one command carries ("
                      << kMaxTransfer << " bytes)\n";
            return kExitUsage;
        }
        data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }

    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    std::unique_ptr<sim::SimPlatform> lineUp;
    std::string path;
    if (o.device.slot != 0 && ctx.scenarioFile().empty()) {
        // Nothing attached to this machine: the built-in line-up.
        const int slot = o.device.slot;
        sim::SimOptions so;
        so.timeScale = ctx.options().timeScale;
        so.verbose = ctx.options().verbose;
        so.home = p->home;
        lineUp = std::make_unique<sim::SimPlatform>(so);
        for (int port = 1; port <= 16; ++port) {
            sim::BridgeConfig cfg;
            cfg.kind = (port == slot && o.kind > 0) ? static_cast<std::uint8_t>(o.kind)
                                                    : kLineUp[port - 1];
            cfg.defaultIdentity.serial = Format("%012d", port);
            cfg.master->serial = Format("VQSIM%07d", port);
            auto added = lineUp->addBridge(cfg);
            if (port == slot) {
                path = added.physicalDrivePath;
                std::cout << Format("slot %d  %s  ChipKind %u\n", port, path, cfg.kind);
            }
        }
        p = &lineUp->platform();
    } else {
        if (const int rc = ctx.resolveDevice("raw", o.device, path); rc != kExitOk)
            return rc;
        std::cout << "device  " << path << "\n";
    }
    if (!p->scsi) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no SCSI pass-through\n";
        return kExitPlatform;
    }

    std::uint32_t openError = 0;
    auto dev = p->scsi->open(path, &openError);
    if (!dev) {
        std::cout << Format("open %s failed: error %u\n", path, openError);
        return kExitFailed;
    }
    ScsiRequest r;
    r.cdb = *cdb;
    r.direction = dir;
    r.data = data;
    r.timeoutSeconds = o.timeout ? o.timeout : (dir == DataDirection::In ? 10u : 50u);
    const ScsiResult res = dev->execute(r);

    std::string cdbText;
    for (std::uint8_t b : *cdb)
        cdbText += Format(cdbText.empty() ? "%02X" : " %02X", b);
    std::cout << "cdb     " << cdbText << "\n";
    std::cout << Format("result  call %d  error %u  status 0x%02X  bytes %u\n",
                        res.callSucceeded ? 1 : 0, res.lastError, res.scsiStatus,
                        res.bytesTransferred);
    if (dir == DataDirection::In && !data.empty()) {
        std::cout << Format("data    %u of %u bytes\n", res.bytesTransferred,
                            static_cast<std::uint32_t>(data.size()));
        PrintHex(data, std::min<std::size_t>(data.size(), res.bytesTransferred));
    }
    if (o.trace) {
        if (auto* simScsi = dynamic_cast<sim::SimScsi*>(p->scsi)) {
            if (auto bridge = simScsi->find(path)) {
                for (const auto& t : bridge->trace())
                    std::cout << "trace   " << sim::FormatTraceRecord(t) << "\n";
            }
        }
    }
    const bool ok = res.callSucceeded && res.lastError == 0 && res.scsiStatus == 0;
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

void AddRawCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<RawOptions>();
    auto* sub =
        app.add_subcommand("raw", "Send one command block to one device and print the answer");
    AddDeviceOptions(*sub, o->device);
    sub->add_option("--cdb", o->cdb, "The command block, hexadecimal bytes (\"DF 10 00 ...\")")
        ->required();
    sub->add_option("--in", o->in, "Read this many bytes from the device (at most 262144)");
    sub->add_option("--out", o->out, "Send the bytes of this file to the device (at most 262144)");
    sub->add_option("--timeout", o->timeout, "Time-out in seconds (default 10 in, 50 out)");
    sub->add_option("--kind", o->kind, "Built-in line-up: ChipKind of the addressed port")
        ->check(CLI::Range(1, 35));
    sub->add_flag("--trace", o->trace, "Print the command blocks the emulated device received");
    sub->callback([&ctx, &exitCode, o] { exitCode = RunRaw(ctx, *o); });
}

}  // namespace vq::cli
