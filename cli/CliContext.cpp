#include "cli/CliContext.h"

#include <iostream>

#include "platform/Host.h"

namespace vq::cli {

Platform* CliContext::platform() {
    if (sim_)
        return &sim_->platform();
    sim::SimOptions o;
    o.timeScale = options_.timeScale;
    o.verbose = options_.verbose;
    o.home = options_.home.empty() ? HostProgramFolder() : options_.home;
    std::error_code ec;
    if (!std::filesystem::is_directory(o.home, ec)) {
        std::cerr << "vqmp-cli: home folder " << o.home.string() << " does not exist\n";
        return nullptr;
    }
    if (!options_.scenario.empty() && !std::filesystem::is_regular_file(options_.scenario, ec)) {
        std::cerr << "vqmp-cli: scenario file " << options_.scenario << " not found\n";
        return nullptr;
    }
    sim_ = std::make_unique<sim::SimPlatform>(o);
    operator_ = std::make_unique<ConsoleOperator>(false);
    sim_->platform().op = operator_.get();
    return &sim_->platform();
}

}  // namespace vq::cli
