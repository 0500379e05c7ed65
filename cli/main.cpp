// vqmp-cli: the headless front end of the station.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/CliContext.h"

int main(int argc, char** argv) {
    vq::cli::CliOptions options;
    CLI::App app{"vqmp-cli - VQ5742x mass production station, headless"};
    // Paths such as "/tmp/x.ini" are arguments, never "/option"s, on every system; the
    // subcommands added below inherit this.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("vqmp-cli ") + VQ_VERSION);
    app.add_option("--sim", options.scenario,
                   "Emulated station scenario file (JSON; default: examples/station16.json; "
                   "none: nothing attached)");
    app.add_option("--home", options.home,
                   "Program folder holding the settings file and the log folder "
                   "(default: the executable's folder)");
    app.add_flag("--verbose", options.verbose, "Echo diagnostic output to stderr");
    app.add_option_function<double>(
           "--time-scale",
           [&options](double v) {
               options.timeScale = v;
               options.timeScaleGiven = true;
           },
           "Real seconds per emulated second (0: no real waiting, 1: real time; default: "
           "the scenario's)")
        ->check(CLI::NonNegativeNumber);
    app.footer(
        "Exit codes:\n"
        "  0  done (a production run: every device passed)\n"
        "  1  the operation failed or a device did not pass\n"
        "  2  bad command line\n"
        "  3  the station could not be set up (scenario, home folder)\n"
        "Without a subcommand, 'info' runs.");

    vq::cli::CliContext ctx(options);
    int exitCode = vq::cli::kExitOk;
    vq::cli::AddInfoCommand(app, ctx, exitCode);
    vq::cli::AddIdentifyCommand(app, ctx, exitCode);
    vq::cli::AddRawCommand(app, ctx, exitCode);
    vq::cli::AddSettingsCommand(app, ctx, exitCode);
    vq::cli::AddTopologyCommand(app, ctx, exitCode);
    vq::cli::AddSimCommand(app, ctx, exitCode);
    vq::cli::AddScanCommand(app, ctx, exitCode);
    vq::cli::AddRunCommand(app, ctx, exitCode);
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : vq::cli::kExitUsage;
    }
    if (app.get_subcommands().empty()) {
        exitCode = vq::cli::RunInfo(ctx);  // the default action
    }
    return exitCode;
}
