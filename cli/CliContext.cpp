#include "cli/CliContext.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <iterator>
#include <variant>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/Host.h"
#ifdef __linux__
#include "platform/linux/LinuxPlatform.h"
#else
namespace vq {
class LinuxPlatform {};
}  // namespace vq
#endif
#include "run/Station.h"

namespace vq::cli {

void AddCommonOptions(CLI::App& app, CliOptions& options) {
    // Subcommands added after this hand the options they do not know to the program, so
    // the common ones work after the subcommand's name as well.
    app.fallthrough();
    app.add_option("--sim", options.scenario,
                   "Run the emulated station of this scenario file (JSON; none: nothing "
                   "attached) instead of this machine's bridges");
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
           "the scenario's); on this machine's bridges, the share of its fixed waits the "
           "station sits out (default 1)")
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

CliContext::CliContext(const CliOptions& options) : options_(options) {}
CliContext::~CliContext() = default;

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

std::string StateFolderName(std::string_view scenarioName) {
    std::string name;
    for (char c : scenarioName) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        name.push_back(plain ? c : '_');
    }
    if (name.find_first_not_of('.') == std::string::npos)
        return "station";  // empty, "." or ".."
    return name;
}

bool CliContext::prepare(std::filesystem::path& home, std::optional<sim::Scenario>& scenario,
                         std::string& text) {
    home = options_.home.empty() ? HostProgramFolder() : options_.home;
    std::error_code ec;
    if (!std::filesystem::is_directory(home, ec)) {
        std::cerr << "vqmp-cli: home folder " << home.string() << " does not exist\n";
        return false;
    }
    // The station the emulator shows: the scenario named, else the shipped 16-port one;
    // "none" is a machine with nothing attached.
    if (options_.scenario != "none") {
        scenarioFile_ = options_.scenario.empty() ? DefaultScenario()
                                                  : std::filesystem::path(options_.scenario);
    }
    if (scenarioFile_.empty())
        return true;
    auto loaded = sim::LoadScenarioFile(scenarioFile_);
    if (auto* e = std::get_if<sim::ScenarioError>(&loaded)) {
        std::cerr << "vqmp-cli: " << e->message << "\n";
        return false;
    }
    scenario = std::get<sim::Scenario>(std::move(loaded));
    scenarioName_ = scenario->name;
    std::ifstream in(scenarioFile_, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool CliContext::takeStateFolder(const std::filesystem::path& home) {
    const std::string name = scenarioName_.empty() ? scenarioFile_.stem().string() : scenarioName_;
    stateFolder_ = std::filesystem::absolute(home / "sim-state" / StateFolderName(name));
    auto taken = sim::SimStateFolder::Take(stateFolder_);
    if (auto* e = std::get_if<sim::StateFolderError>(&taken)) {
        std::cerr << "vqmp-cli: " << e->message << "\n";
        return false;
    }
    state_ = std::get<std::unique_ptr<sim::SimStateFolder>>(std::move(taken));
    return true;
}

Platform* CliContext::platform() {
    if (sim_)
        return &sim_->platform();
#ifdef __linux__
    if (host_)
        return &host_->platform();
    // Without --sim the station is this machine.
    if (options_.scenario.empty()) {
        LinuxPlatformOptions lo;
        lo.verbose = options_.verbose;
        if (options_.timeScaleGiven)
            lo.waitScale = options_.timeScale;
        lo.home = options_.home.empty() ? HostProgramFolder() : options_.home;
        std::error_code ec;
        if (!std::filesystem::is_directory(lo.home, ec)) {
            std::cerr << "vqmp-cli: home folder " << lo.home.string() << " does not exist\n";
            return nullptr;
        }
        host_ = std::make_unique<LinuxPlatform>(lo);
        operator_ = std::make_unique<ConsoleOperator>(false);
        host_->platform().op = operator_.get();
        return &host_->platform();
    }
#endif
    sim::SimOptions o;
    o.verbose = options_.verbose;
    std::optional<sim::Scenario> scenario;
    std::string text;
    if (!prepare(o.home, scenario, text))
        return nullptr;

    // A scenario's machine is the one its state folder keeps.
    std::optional<sim::MachineState> kept;
    if (scenario) {
        if (!takeStateFolder(o.home))
            return nullptr;
        scenarioHash_ = sim::ScenarioHash(text);
        bool changed = false;
        auto loaded = state_->load(scenarioHash_, &changed);
        if (auto* e = std::get_if<sim::StateFolderError>(&loaded)) {
            std::cerr << "vqmp-cli: " << e->message << "\n";
            if (e->kind == sim::StateFolderError::Kind::Damaged)
                std::cerr << "vqmp-cli: 'vqmp-cli sim reset' starts the station afresh\n";
            state_.reset();
            return nullptr;
        }
        if (changed) {
            std::cerr << "vqmp-cli: the scenario " << scenarioFile_.string()
                      << " changed since the station was kept: it starts afresh\n";
        }
        kept = std::get<std::optional<sim::MachineState>>(std::move(loaded));
        o.workFolder = stateFolder_;
    }
    o.timeScale = options_.timeScaleGiven || !scenario ? options_.timeScale : scenario->timeScale;
    sim_ = std::make_unique<sim::SimPlatform>(o);
    if (scenario) {
        if (const std::string why = sim::BuildKeptStation(*sim_, *scenario, kept); !why.empty()) {
            std::cerr << "vqmp-cli: " << state_->stateFile().string()
                      << " does not fit the scenario: " << why
                      << "\nvqmp-cli: 'vqmp-cli sim reset' starts the station afresh\n";
            sim_.reset();
            state_.reset();  // the state file is left as it is
            return nullptr;
        }
    }
    operator_ = std::make_unique<ConsoleOperator>(false);
    sim_->platform().op = operator_.get();
    return &sim_->platform();
}

int CliContext::finish(int exitCode) {
    if (!sim_ || !state_)
        return exitCode;
    std::string why;
    if (!state_->save(sim_->capture(scenarioHash_), &why)) {
        std::cerr << "vqmp-cli: the station's state was not saved: " << why << "\n";
        return exitCode == kExitOk ? kExitPlatform : exitCode;
    }
    return exitCode;
}

int CliContext::resetState() {
    std::filesystem::path home;
    std::optional<sim::Scenario> scenario;
    std::string text;
    if (!prepare(home, scenario, text))
        return kExitPlatform;
    if (!scenario) {
        std::cerr << "vqmp-cli sim reset: no scenario: nothing is kept\n";
        return kExitOk;
    }
    if (!takeStateFolder(home))
        return kExitPlatform;
    std::string why;
    const bool cleared = state_->clear(&why);
    state_.reset();
    if (!cleared) {
        std::cerr << "vqmp-cli sim reset: " << why << "\n";
        return kExitPlatform;
    }
    std::cout << "station "
              << (scenarioName_.empty() ? scenarioFile_.stem().string() : scenarioName_)
              << ": back at the scenario's initial state (" << stateFolder_.string() << ")\n";
    return kExitOk;
}

Platform* CliContext::bridgePlatform() {
    Platform* p = platform();
    if (p && (!p->scsi || !p->clock)) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no SCSI pass-through\n";
        return nullptr;
    }
#ifdef __linux__
    if (p && host_) {
        if (const std::string node = FirstNodeWithoutAccess(*host_); !node.empty()) {
            std::cerr << "vqmp-cli: cannot open " << node << ": " << kNeedDiskAccess << "\n";
            return nullptr;
        }
    }
#endif
    return p;
}

}  // namespace vq::cli
