// "vqmp-cli info": what this station is and what it runs on.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/CliContext.h"
#include "resources/Resources.h"

namespace vq::cli {

int RunInfo(CliContext& ctx) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    const std::string scenario =
        ctx.scenarioFile().empty() ? std::string("(none)") : ctx.scenarioFile().string();
    std::cout << "VQ5742x Mass Production Tool (vqmp-cli " VQ_VERSION ")\n"
              << "Programs and tests up to 16 USB-to-SATA/ATAPI bridge boards in parallel.\n"
              << "platform: " << p->name << (ctx.sim() ? " (emulated station)" : " (this machine)")
              << "\n"
              << "home:     " << p->home.string() << "\n"
              << "scenario: " << scenario << "\n"
              << "built-in images:\n";
    for (const auto& r : resources::AllResources()) {
        std::cout << "  " << r.type << "  " << r.name << "  " << r.size << " bytes\n";
    }
    return kExitOk;
}

void AddInfoCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    app.add_subcommand("info", "Describe the station, its platform and built-in images")
        ->callback([&ctx, &exitCode] { exitCode = RunInfo(ctx); });
}

}  // namespace vq::cli
