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
    vq::cli::AddCommonOptions(app, options);
    app.footer(
        "Exit codes:\n"
        "  0  done (a production run: every device passed)\n"
        "  1  the operation failed or a device did not pass\n"
        "  2  bad command line\n"
        "  3  the station could not be set up (scenario, home folder, state) or is busy\n"
        "Without a subcommand, 'info' runs. The common options (--sim, --home, --time-scale,\n"
        "--verbose, --json) go before or after the subcommand; one device is --slot N (the\n"
        "slot 'scan' prints) or --path P.");

    vq::cli::CliContext ctx(options);
    int exitCode = vq::cli::kExitOk;
    vq::cli::AddInfoCommand(app, ctx, exitCode);
    vq::cli::AddIdentifyCommand(app, ctx, exitCode);
    vq::cli::AddRawCommand(app, ctx, exitCode);
    vq::cli::AddSettingsCommand(app, ctx, exitCode);
    vq::cli::AddTopologyCommand(app, ctx, exitCode);
    vq::cli::AddSimCommand(app, ctx, exitCode);
    vq::cli::AddScanCommand(app, ctx, exitCode);
    vq::cli::AddConfigCommand(app, ctx, exitCode);
    vq::cli::AddFirmwareCommand(app, ctx, exitCode);
    vq::cli::AddDiskCommand(app, ctx, exitCode);
    vq::cli::AddFormatImageCommand(app, ctx, exitCode);
    vq::cli::AddRunCommand(app, ctx, exitCode);
    vq::cli::AddRomCommand(app, ctx, exitCode);
    vq::cli::AddRwTestCommand(app, ctx, exitCode);
    vq::cli::AddCopyCommand(app, ctx, exitCode);
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
        if (app.get_subcommands().empty()) {
            exitCode = vq::cli::RunInfo(ctx);  // the default action
        }
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : vq::cli::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "vqmp-cli: " << e.what() << "\n";
        exitCode = vq::cli::kExitFailed;
    }
    // The emulated machine keeps what the boards now hold, whatever the command's outcome.
    return ctx.finish(exitCode);
}
