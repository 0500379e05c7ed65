#include "cli/CliContext.h"

#include <iostream>
#include <variant>

#include "platform/Host.h"
#include "platform/sim/SimScenario.h"

namespace vq::cli {

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
