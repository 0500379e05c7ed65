// What every subcommand of vqmp-cli is handed: the options common to all of them and
// the platform the station runs on.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Operator.h"
#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "platform/sim/SimStateFolder.h"

namespace vq {
class LinuxPlatform;
}

namespace CLI {
class App;
}

namespace vq::cli {

// Exit codes of vqmp-cli.
enum ExitCode : int {
    kExitOk = 0,        // done; for a production run: every device passed
    kExitFailed = 1,    // the operation failed, or a device did not pass
    kExitUsage = 2,     // bad command line
    kExitPlatform = 3,  // the station could not be set up (scenario, home folder, busy)
};

struct CliOptions {
    std::string scenario;         // --sim
    std::filesystem::path home;   // --home
    bool verbose = false;         // --verbose
    double timeScale = 0.0;       // --time-scale
    bool timeScaleGiven = false;  // else the scenario's time scale
    bool json = false;            // --json: one JSON document on stdout
};

// Registers the common options (--sim, --home, --time-scale, --verbose, --json) on the
// program and makes every subcommand added afterwards accept them too, before or after
// its own name ("vqmp-cli --json scan" and "vqmp-cli scan --json" are the same). Call it
// before adding the subcommands.
void AddCommonOptions(CLI::App& app, CliOptions& options);

// The one device a subcommand works on: `--slot N`, the slot `scan` prints, or `--path P`,
// a device path (also for disks that are not bridges: those have no slot). Use:
//
//     DeviceChoice device;                     // in the subcommand's options
//     AddDeviceOptions(*sub, device);          // where the subcommand is added
//     ...
//     std::string path;                        // in the subcommand's run function
//     if (int rc = ctx.resolveDevice("rom", device, path); rc != kExitOk)
//         return rc;                           // the reason is already on stderr
struct DeviceChoice {
    int slot = 0;  // 1 to 16; 0 when not given
    std::string path;
};
void AddDeviceOptions(CLI::App& sub, DeviceChoice& choice);

class CliContext {
  public:
    // The options are filled in by the parser after the context is made.
    explicit CliContext(const CliOptions& options);
    ~CliContext();

    const CliOptions& options() const { return options_; }
    // Builds the platform on first use; null (with a message on stderr) when it fails.
    Platform* platform();
    // The same, for commands that talk to bridges: null (with a message) when the platform
    // has no SCSI pass-through or clock.
    Platform* bridgePlatform();
    // The device path a --slot / --path choice names. A slot is found by one device
    // refresh with the built-in settings, exactly as `scan` numbers it. Returns kExitOk
    // with `path` filled, else prints "vqmp-cli <command>: <why>" on stderr and returns
    // kExitUsage (neither or both given), kExitFailed (the slot holds no storage device)
    // or kExitPlatform.
    int resolveDevice(std::string_view command, const DeviceChoice& choice, std::string& path);
    // The emulated machine and the scenario it was built from (after platform()).
    sim::SimPlatform* sim() { return sim_.get(); }
    const std::string& scenarioName() const { return scenarioName_; }
    const std::filesystem::path& scenarioFile() const { return scenarioFile_; }

    // The emulated machine of a scenario outlives the command: it is loaded from its
    // state folder, <home>/sim-state/<scenario name>/, when the platform is built, and
    // saved there by finish(). The folder is held by one process at a time.
    const std::filesystem::path& stateFolder() const { return stateFolder_; }
    // Saves the machine's state when there is one; returns the exit code to end with
    // (kExitPlatform when the save fails after a command that succeeded).
    int finish(int exitCode);
    // "sim reset": empties the scenario's state folder, so the next command builds the
    // machine afresh. The exit code.
    int resetState();

  private:
    // The home folder and the scenario (file, text, parsed); false with a message on
    // stderr when they are unusable.
    bool prepare(std::filesystem::path& home, std::optional<sim::Scenario>& scenario,
                 std::string& text);
    // Takes the scenario's state folder; false with a message on stderr.
    bool takeStateFolder(const std::filesystem::path& home);

    const CliOptions& options_;
    std::unique_ptr<sim::SimPlatform> sim_;
    std::unique_ptr<LinuxPlatform> host_;  // this machine, on Linux without --sim
    std::string scenarioName_;
    std::filesystem::path scenarioFile_;
    std::unique_ptr<ConsoleOperator> operator_;
    std::filesystem::path stateFolder_;
    std::unique_ptr<sim::SimStateFolder> state_;
    std::uint64_t scenarioHash_ = 0;
};

// The state folder's name for a scenario name: its letters, digits, '-', '_' and '.',
// everything else as '_'; "station" when nothing is left.
std::string StateFolderName(std::string_view scenarioName);

// Each subcommand file adds its subcommands to the program; the callback it sets stores
// the exit code into `exitCode`.
void AddInfoCommand(CLI::App& app, CliContext& ctx, int& exitCode);
int RunInfo(CliContext& ctx);
void AddIdentifyCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddRawCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddSettingsCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddTopologyCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddSimCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddScanCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddConfigCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddFirmwareCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddDiskCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddFormatImageCommand(CLI::App& app, CliContext& ctx, int& exitCode);
// "partition" and "format" under the "disk" subcommand.
void AddDiskPrepareCommands(CLI::App& disk, CliContext& ctx, int& exitCode);
void AddRunCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddRomCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddRwTestCommand(CLI::App& app, CliContext& ctx, int& exitCode);
void AddCopyCommand(CLI::App& app, CliContext& ctx, int& exitCode);

// The shipped 16-port station, when it can be found beside the program or in the source
// tree it was built from; empty otherwise.
std::filesystem::path DefaultScenario();

}  // namespace vq::cli
