// "vqmp-cli settings show FILE" and "vqmp-cli settings save IN OUT": the operator's way to
// check a settings file before production, and to rewrite one as the station would.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "app/SettingsReport.h"
#include "cli/CliContext.h"

namespace vq::cli {

namespace fs = std::filesystem;

namespace {

// Loads `file` into fresh settings and a fresh panel; false when the load raised the log
// folder error (reported on stderr).
bool Load(SettingsPanel& panel, const fs::path& file, bool& result) {
    try {
        result = panel.LoadSettings(file);
        return true;
    } catch (const LogDirectoryError& e) {
        std::cerr << "vqmp-cli: " << e.what() << "\n";
        return false;
    }
}

}  // namespace

int RunSettingsShow(CliContext& ctx, const std::string& file) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    RunSettings settings;
    PanelModel panel;
    const PanelModel fresh;
    RecordingOperator op;
    SettingsPanel rules(settings, panel, op, p->home);
    bool result = false;
    if (!Load(rules, fs::absolute(file), result))
        return kExitFailed;
    std::cout << SettingsReport(settings, panel, fresh, op.messages(), result);
    return result ? kExitOk : kExitFailed;
}

int RunSettingsSave(CliContext& ctx, const std::string& in, const std::string& out) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, *p->op, p->home);
    rules.setDiagnostics(p->diagnostics);
    bool result = false;
    if (!Load(rules, fs::absolute(in), result))
        return kExitFailed;
    if (rules.lastLoadOutcome() != LoadOutcome::Loaded)
        return kExitFailed;
    rules.CollectPanelSettings();
    return rules.SaveSettings(fs::absolute(out)) ? kExitOk : kExitFailed;
}

void AddSettingsCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    struct Args {
        std::string file, in, out;
    };
    auto args = std::make_shared<Args>();
    auto* settings = app.add_subcommand("settings", "Check or rewrite a settings file");
    settings->require_subcommand(1);
    auto* show = settings->add_subcommand(
        "show",
        "Load a settings file as the station does and print every setting, the panel, the "
        "working EEPROM image, the messages and the result (exit 0 when the load succeeds)");
    show->add_option("FILE", args->file, "Settings file")->required();
    show->callback([&ctx, &exitCode, args] { exitCode = RunSettingsShow(ctx, args->file); });
    auto* save = settings->add_subcommand(
        "save", "Load IN, collect the panel and save the settings into OUT as the station does");
    save->add_option("IN", args->in, "Settings file to load")->required();
    save->add_option("OUT", args->out, "Settings file to write (kept lines survive)")->required();
    save->callback(
        [&ctx, &exitCode, args] { exitCode = RunSettingsSave(ctx, args->in, args->out); });
}

}  // namespace vq::cli
