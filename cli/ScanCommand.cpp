// "vqmp-cli scan": one device refresh of the station, then the port table and whether the
// station is ready for a run, with every message the refresh showed.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "cli/CliContext.h"
#include "run/Station.h"

namespace vq::cli {

namespace {

struct ScanOptions {
    std::string settingsFile;
};

std::string Letter(char c) {
    return c ? std::string(1, c) : std::string();
}

std::string MessageLine(const OperatorMessage& m) {
    return m.title + "|" + m.text;
}

void PrintText(CliContext& ctx, const Station& s, const std::vector<OperatorMessage>& messages) {
    std::cout << "station: " << (ctx.scenarioName().empty() ? "(unnamed)" : ctx.scenarioName())
              << "\n";
    std::cout << "SLOT  PORT  VID   PID   SERIAL            CHIP  FIRMWARE           FW  "
                 "CAPACITY(MiB)  FLASH  SPEED  DRIVE  USABLE\n";
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const PortRecord& p = s.ports()[i];
        if (!p.present) {
            std::cout << Format("%4u  -\n", static_cast<unsigned>(i + 1));
            continue;
        }
        const char drive = s.firstDriveLetter(i);
        std::cout << Format(
            "%4u  %4d  %04X  %04X  %-16s  %4u  %-17s  %2d  %13d  %5u  %5d  %-5s  %s\n",
            static_cast<unsigned>(i + 1), p.hubPortNumber, p.vid, p.pid,
            p.serial.empty() ? "-" : p.serial, p.chipKind,
            p.firmwareVersion.empty() ? "-" : p.firmwareVersion, p.firmwarePresent, p.capacityMiB,
            p.flashType, p.usbSpeed, drive ? Letter(drive) : std::string("-"),
            p.usable ? "yes" : "no");
    }
    std::cout << "devices: " << s.runDeviceCount() << "\n";
    std::cout << "ready: " << (s.ready() ? "yes" : "no") << "\n";
    for (const auto& m : messages)
        std::cout << "message: " << MessageLine(m) << "\n";
}

void PrintJson(const Station& s, const std::vector<OperatorMessage>& messages) {
    using Json = nlohmann::ordered_json;
    Json ports = Json::array();
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const PortRecord& p = s.ports()[i];
        ports.push_back(Json{{"slot", i + 1},
                             {"hubPort", p.hubPortNumber},
                             {"present", p.present},
                             {"usable", p.usable},
                             {"vid", p.present ? Format("%04X", p.vid) : std::string()},
                             {"pid", p.present ? Format("%04X", p.pid) : std::string()},
                             {"manufacturer", p.manufacturer},
                             {"product", p.product},
                             {"serial", p.serial},
                             {"chipKind", p.chipKind},
                             {"firmware", p.firmwareVersion},
                             {"firmwarePresent", p.firmwarePresent},
                             {"flashType", p.flashType},
                             {"capacityMiB", p.capacityMiB},
                             {"speed", p.usbSpeed},
                             {"driveLetter", Letter(s.firstDriveLetter(i))},
                             {"uas", p.scsiAttached}});
    }
    Json list = Json::array();
    for (const auto& m : messages)
        list.push_back(MessageLine(m));
    const Json out{{"devices", s.runDeviceCount()},
                   {"ready", s.ready()},
                   {"messages", list},
                   {"ports", ports}};
    std::cout << out.dump(2) << "\n";
}

int RunScan(CliContext& ctx, const ScanOptions& options) {
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    // Every message of the scan is collected and printed with the verdict.
    RecordingOperator recorder;
    Operator* const console = p->op;
    p->op = &recorder;
    struct Restore {
        Platform* p;
        Operator* op;
        ~Restore() { p->op = op; }
    } restore{p, console};

    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, recorder, p->home);
    if (!options.settingsFile.empty()) {
        try {
            rules.LoadSettings(std::filesystem::absolute(options.settingsFile));
        } catch (const LogDirectoryError& e) {
            std::cerr << "vqmp-cli: " << e.what() << "\n";
            return kExitFailed;
        }
        if (rules.lastLoadOutcome() != LoadOutcome::Loaded) {
            for (const auto& m : recorder.messages())
                std::cerr << "vqmp-cli: " << MessageLine(m) << "\n";
            return kExitFailed;
        }
        recorder.clear();
    }

    Station station(*p, rules);
    station.DeviceRefresh();
    const auto messages = recorder.messages();
    if (ctx.options().json)
        PrintJson(station, messages);
    else
        PrintText(ctx, station, messages);
    return station.ready() ? kExitOk : kExitFailed;
}

}  // namespace

void AddScanCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto options = std::make_shared<ScanOptions>();
    auto* sub = app.add_subcommand(
        "scan",
        "Run one device refresh and print the port table and the readiness verdict "
        "(exit 0 when the station is ready for a run)");
    sub->add_option("--settings", options->settingsFile,
                    "Settings file to refresh with (default: the built-in defaults)");
    sub->callback([&ctx, &exitCode, options] { exitCode = RunScan(ctx, *options); });
}

}  // namespace vq::cli
