#include "cli/CliContext.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <variant>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/Host.h"
#include "platform/sim/SimScenario.h"
#include "run/Station.h"

namespace vq::cli {

void AddCommonOptions(CLI::App& app, CliOptions& options) {
    // Subcommands added after this hand the options they do not know to the program, so
    // the common ones work after the subcommand's name as well.
    app.fallthrough();
    app.add_option("--sim", options.scenario,
                   "Emulated station scenario file (JSON; default: examples/station16.json; "
                   "none: nothing attached)");
    app.add_option("--home", options.home,
                   "Program folder holding the settings file and the log folder "
                   "(default: the executable's folder)");
    app.add_flag("--verbose", options.verbose, "Echo diagnostic output to stderr");
    app.add_flag("--json", options.json,
                 "Print the result as one JSON document on stdout (subcommands that print "
                 "tables)");
    app.add_option_function<double>(
           "--time-scale",
           [&options](double v) {
               options.timeScale = v;
               options.timeScaleGiven = true;
           },
           "Real seconds per emulated second (0: no real waiting, 1: real time; default: "
           "the scenario's)")
        ->check(CLI::NonNegativeNumber);
}

void AddDeviceOptions(CLI::App& sub, DeviceChoice& choice) {
    sub.add_option("--slot", choice.slot, "Slot of the device, as 'scan' prints it (1 to 16)")
        ->check(CLI::Range(1, static_cast<int>(kPortSlots)));
    sub.add_option("--path", choice.path, "Device path instead of a slot");
}

int CliContext::resolveDevice(std::string_view command, const DeviceChoice& choice,
                              std::string& path) {
    const std::string prefix = "vqmp-cli " + std::string(command) + ": ";
    if (choice.path.empty() == (choice.slot == 0)) {
        std::cerr << prefix << "name the device with --slot or --path\n";
        return kExitUsage;
    }
    if (!choice.path.empty()) {
        path = choice.path;
        return kExitOk;
    }
    Platform* p = bridgePlatform();
    if (!p)
        return kExitPlatform;
    // The slots are those of a refresh with the built-in settings, as `scan` shows them;
    // its messages are not the command's business.
    RecordingOperator quiet;
    Operator* const console = p->op;
    p->op = &quiet;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, quiet, p->home);
    Station station(*p, rules);
    station.DeviceRefresh();
    p->op = console;
    const PortRecord& r = station.ports()[static_cast<std::size_t>(choice.slot - 1)];
    if (!r.present) {
        std::cerr << prefix << "slot " << choice.slot << " is empty\n";
        return kExitFailed;
    }
    if (r.diskPath.empty()) {
        std::cerr << prefix << "the device in slot " << choice.slot
                  << " has no storage interface\n";
        return kExitFailed;
    }
    path = r.diskPath;
    return kExitOk;
}

std::filesystem::path DefaultScenario() {
    std::error_code ec;
    const std::filesystem::path beside = HostProgramFolder() / "examples" / "station16.json";
    if (std::filesystem::is_regular_file(beside, ec))
        return beside;
#ifdef VQ_SOURCE_DIR
    const std::filesystem::path source =
        std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "station16.json";
    if (std::filesystem::is_regular_file(source, ec))
        return source;
#endif
    return {};
}

Platform* CliContext::platform() {
    if (sim_)
        return &sim_->platform();
    sim::SimOptions o;
    o.verbose = options_.verbose;
    o.home = options_.home.empty() ? HostProgramFolder() : options_.home;
    std::error_code ec;
    if (!std::filesystem::is_directory(o.home, ec)) {
        std::cerr << "vqmp-cli: home folder " << o.home.string() << " does not exist\n";
        return nullptr;
    }

    // The station the emulator shows: the scenario named, else the shipped 16-port one;
    // "none" is a machine with nothing attached.
    if (options_.scenario != "none") {
        scenarioFile_ = options_.scenario.empty() ? DefaultScenario()
                                                  : std::filesystem::path(options_.scenario);
    }
    std::optional<sim::Scenario> scenario;
    if (!scenarioFile_.empty()) {
        auto loaded = sim::LoadScenarioFile(scenarioFile_);
        if (auto* e = std::get_if<sim::ScenarioError>(&loaded)) {
            std::cerr << "vqmp-cli: " << e->message << "\n";
            return nullptr;
        }
        scenario = std::get<sim::Scenario>(std::move(loaded));
        scenarioName_ = scenario->name;
    }
    o.timeScale = options_.timeScaleGiven || !scenario ? options_.timeScale : scenario->timeScale;
    sim_ = std::make_unique<sim::SimPlatform>(o);
    if (scenario)
        sim::BuildStation(*sim_, *scenario);
    operator_ = std::make_unique<ConsoleOperator>(false);
    sim_->platform().op = operator_.get();
    return &sim_->platform();
}

Platform* CliContext::bridgePlatform() {
    Platform* p = platform();
    if (p && (!p->scsi || !p->clock)) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no SCSI pass-through\n";
        return nullptr;
    }
    return p;
}

}  // namespace vq::cli
