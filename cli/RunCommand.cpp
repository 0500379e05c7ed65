// "vqmp-cli run": production runs on the station with a settings file, as the window runs
// them: the live port table (or plain lines), the test log and counter file in the program
// folder, and the verdict of every device.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "app/PanelMessages.h"
#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "app/shell/StationShell.h"
#include "base/Format.h"
#include "cli/CliContext.h"
#include "cli/CliOperator.h"
#include "devices/PortPower.h"
#include "platform/Host.h"
#include "platform/sim/SimScenario.h"
#include "run/PortDisplay.h"
#include "run/RunDriver.h"
#include "run/Station.h"
#include "run/StepWiring.h"
#include "run/TestLog.h"

namespace vq::cli {

namespace fs = std::filesystem;

namespace {

struct RunOptions {
    std::string settingsFile;
    int repeat = 1;
    bool autoMode = false;
    int maxRuns = 0;
    std::vector<std::string> barcodes;
    bool json = false;
    bool yes = false;
};

std::atomic<bool> g_interrupted{false};
std::atomic<RunDriver*> g_driver{nullptr};

// Ctrl+C: no further START, and running workers stop at their next step boundary.
extern "C" void OnInterrupt(int) {
    g_interrupted = true;
    if (RunDriver* d = g_driver.load())
        d->RequestClose();
}

// The step columns of a device, in the order of the sequence.
struct StepColumn {
    const char* name;
    RunResult PortRecord::*field;
};
constexpr StepColumn kSteps[] = {
    {"Verify", &PortRecord::verify},          {"U3.1", &PortRecord::usb31Check},
    {"FW Check", &PortRecord::firmwareCheck}, {"F/W", &PortRecord::firmware},
    {"EEPROM", &PortRecord::eeprom},          {"ReLink", &PortRecord::relink},
    {"Partition", &PortRecord::partition},    {"Format", &PortRecord::format},
    {"R/W Test", &PortRecord::readWrite},     {"S/W", &PortRecord::softwareCopy},
    {"F/C", &PortRecord::folderCompare},
};

// The step a device is at (the last one started) and its text.
std::string CurrentStep(const PortRecord& r) {
    std::string at;
    for (const auto& c : kSteps) {
        const RunResult v = r.*c.field;
        if (v == run_result::kRunning)
            return std::string(c.name) + " running";
        if (v != 0 && v != run_result::kSkipped)
            at = std::string(c.name) + " " + std::string(RunResultText(v));
    }
    return at;
}

std::string FinalText(const PortRecord& r) {
    if (r.finalResult == run_result::kPass)
        return "PASS";
    if (r.finalResult == run_result::kFail)
        return "FAIL";
    return "";
}

// Draws the port table: redrawn in place on a terminal, one line per change otherwise.
class TableFrontEnd final : public RunFrontEnd {
  public:
    TableFrontEnd(Station& station, bool terminal, bool silent)
        : st_(station), terminal_(terminal), silent_(silent) {}
    void redrawn(const PortDisplay& d) override {
        if (silent_)
            return;
        PortTable ports;
        {
            std::lock_guard lock(st_.recordsLock());
            ports = st_.ports();
        }
        if (terminal_)
            drawTable(d, ports);
        else
            printChanges(ports);
    }
    void showResult(bool passed) override {
        if (!silent_)
            std::cout << "Result: " << (passed ? "PASS" : "FAIL") << "\n";
        drawn_ = 0;
    }
    void reset() {
        drawn_ = 0;
        last_.clear();
    }

  private:
    void drawTable(const PortDisplay& d, const PortTable& ports) {
        if (drawn_ > 0)
            std::cout << "\x1b[" << drawn_ << "A";
        int lines = 0;
        std::cout << "\x1b[2KSLOT PORT  STEP                    PROGRESS              RESULT\n";
        ++lines;
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            const PortRecord& r = ports[i];
            if (!r.usable)
                continue;
            const int filled = r.progress / 5;
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(20, '.');
            std::cout << "\x1b[2K"
                      << Format("%4u %4d  %-22s  [%s] %3d%%  %s\n", static_cast<unsigned>(i + 1),
                                r.hubPortNumber, CurrentStep(r), bar, r.progress, FinalText(r));
            ++lines;
        }
        std::cout << "\x1b[2K"
                  << "overall " << d.progressText() << "   yield " << d.yieldText() << "\n"
                  << std::flush;
        ++lines;
        drawn_ = lines;
    }
    void printChanges(const PortTable& ports) {
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            const PortRecord& r = ports[i];
            if (!r.usable)
                continue;
            std::string state = CurrentStep(r);
            const std::string fin = FinalText(r);
            if (!fin.empty())
                state = fin;
            if (state.empty() || last_[i] == state)
                continue;
            last_[i] = state;
            std::cout << "slot " << (i + 1) << ": " << state << "\n";
        }
        std::cout << std::flush;
    }

    Station& st_;
    bool terminal_;
    bool silent_;
    int drawn_ = 0;
    std::map<std::size_t, std::string> last_;
};

using Json = nlohmann::ordered_json;

Json PortJson(std::size_t slot, const PortRecord& r, const std::string& note) {
    Json steps = Json::object();
    Json failedStep = nullptr;
    for (const auto& c : kSteps) {
        const RunResult v = r.*c.field;
        if (v == 0)
            continue;
        steps[c.name] = std::string(RunResultText(v));
        if (failedStep.is_null() && (v == run_result::kFail || v == run_result::kUnmatched))
            failedStep = c.name;
    }
    Json j{{"slot", slot + 1},
           {"result", r.finalResult == run_result::kPass ? "PASS" : "FAIL"},
           {"serial", r.writtenSerial.empty() ? r.serial : r.writtenSerial},
           {"failedStep", failedStep},
           {"steps", steps},
           {"readMBps", r.readSpeed},
           {"writeMBps", r.writeSpeed}};
    if (!note.empty())
        j["note"] = note;
    return j;
}

// The emulated operator puts back the boards that Safe Remove took off, as the next set.
void ReplugRemoved(CliContext& ctx) {
    if (!ctx.sim() || ctx.scenarioFile().empty())
        return;
    auto loaded = sim::LoadScenarioFile(ctx.scenarioFile());
    auto* scenario = std::get_if<sim::Scenario>(&loaded);
    if (!scenario)
        return;
    sim::SimStation& st = ctx.sim()->station();
    std::vector<std::string> hubs;
    for (const auto& h : scenario->rootHubs)
        hubs.push_back(h.id);
    for (std::size_t k = 0; k < hubs.size(); ++k) {
        const sim::SimHub* hub = st.hub(hubs[k]);
        if (!hub)
            continue;
        for (std::size_t i = 0; i < hub->ports.size(); ++i) {
            const sim::SimPort& p = hub->ports[i];
            if (p.hub) {
                hubs.push_back(p.hub->id);
            } else if (p.removed && p.function) {
                auto fn = p.function;
                const auto speed = p.speed;
                const auto port = static_cast<std::uint32_t>(i + 1);
                const std::string id = hubs[k];
                st.unplug(id, port);
                st.plug(id, port, fn, speed);
            }
        }
    }
}

int RunRun(CliContext& ctx, const RunOptions& o) {
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    const bool json = o.json || ctx.options().json;
    CliOperator op(o.yes, false, std::cerr);
    Operator* const console = p->op;
    p->op = &op;
    struct Restore {
        Platform* p;
        Operator* op;
        ~Restore() { p->op = op; }
    } restore{p, console};

    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules(settings, panel, op, p->home);
    try {
        rules.LoadSettings(fs::absolute(o.settingsFile));
    } catch (const LogDirectoryError& e) {
        std::cerr << "vqmp-cli: " << e.what() << "\n";
        return kExitFailed;
    }
    if (rules.lastLoadOutcome() != LoadOutcome::Loaded)
        return kExitFailed;
    if (!o.barcodes.empty())
        settings.EnBarcodeMode = 1;

    Station station(*p, rules);
    TestLog log(p->home / "log", *p->clock);
    log.ChooseFile(SystemLocalTime());
    PortDisplay display;
    RunDriver driver(station, log, display);
    driver.setStepProcedures(StationStepProcedures(p->volumes));
    driver.setRunProcedures(StationRunProcedures(rules));
    TableFrontEnd table(station, !json && HostStdoutIsTerminal(), json);
    driver.setFrontEnd(&table);

    // A START whose run (or type-C sequence) failed fails the command even when no
    // device line says so (a phase that never saw its device).
    bool startFailed = false;
    g_driver = &driver;
    std::signal(SIGINT, OnInterrupt);
    if (o.autoMode) {
        settings.MPAutorun = 1;
        StationShell shell(station, driver, *p->clock);
        shell.RunAuto([] { return !g_interrupted.load(); }, o.maxRuns);
    } else {
        driver.RefreshBtnClick();
        const int starts = o.barcodes.empty() ? o.repeat : static_cast<int>(o.barcodes.size());
        for (int i = 0; i < starts && !g_interrupted; ++i) {
            if (i > 0 && settings.MPSafeRemove) {
                ReplugRemoved(ctx);
                driver.RefreshBtnClick();
            }
            // START is disabled without devices; the type-C sequence waits for its device.
            if (station.runDeviceCount() == 0 && settings.EnEPPTypeC == 0)
                break;
            if (!o.barcodes.empty())
                panel["String3Edit"].text = o.barcodes[static_cast<std::size_t>(i)];
            table.reset();
            driver.ExecuteBtnClick();
            startFailed = startFailed || driver.runFailed();
        }
    }
    g_driver = nullptr;
    std::signal(SIGINT, SIG_DFL);
    // Program close: the port power off (type-C mode), the counters saved.
    PowerOffAtClose(settings.EnEPPTypeC != 0, station.powerControl(), station.transport());
    rules.WriteCounters();

    int passed = 0;
    int failed = 0;
    Json runs = Json::array();
    for (const RunOutcome& r : driver.runs()) {
        Json ports = Json::array();
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            if (!r.ports[i].usable)
                continue;
            (r.ports[i].finalResult == run_result::kPass ? passed : failed) += 1;
            ports.push_back(PortJson(i, r.ports[i], r.notes[i]));
        }
        runs.push_back(Json{{"ports", ports}});
    }
    const int total = passed + failed;
    const auto unanswered = op.unanswered();
    for (const auto& q : unanswered)
        std::cerr << "vqmp-cli: question not answered (use --yes): " << q << "\n";
    if (total == 0)
        std::cerr << "vqmp-cli: no device to test\n";
    if (json) {
        const Json out{{"passed", passed},
                       {"failed", failed},
                       {"total", total},
                       {"log", log.currentFile().string()},
                       {"runs", runs}};
        std::cout << out.dump(2) << "\n";
    } else {
        std::cout << Format("passed %d, failed %d, total %d; log %s\n", passed, failed, total,
                            log.currentFile().string());
        for (const RunOutcome& r : driver.runs()) {
            for (std::size_t i = 0; i < kPortSlots; ++i) {
                if (!r.ports[i].usable || r.ports[i].finalResult == run_result::kPass)
                    continue;
                std::cout << "slot " << (i + 1) << " FAIL";
                const Json j = PortJson(i, r.ports[i], r.notes[i]);
                if (!j["failedStep"].is_null())
                    std::cout << " at " << j["failedStep"].get<std::string>();
                if (!r.notes[i].empty())
                    std::cout << ": " << r.notes[i];
                std::cout << "\n";
            }
        }
    }
    if (startFailed && failed == 0)
        std::cerr << "vqmp-cli: the run failed\n";
    return (total > 0 && failed == 0 && !startFailed && unanswered.empty()) ? kExitOk : kExitFailed;
}

}  // namespace

void AddRunCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<RunOptions>();
    auto* sub = app.add_subcommand(
        "run",
        "Production runs with a settings file: program, prepare and test every board, write "
        "the test log (exit 0 only when at least one device was tested and all passed)");
    sub->add_option("--settings", o->settingsFile, "Settings file of the run")->required();
    sub->add_option("--repeat", o->repeat, "Number of STARTs (default 1)")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--auto", o->autoMode,
                  "Auto mode: run whenever the station is ready, wait for the next set of "
                  "boards, until interrupted");
    sub->add_option("--max-runs", o->maxRuns, "Auto mode: stop after this many STARTs")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--barcode", o->barcodes,
                    "Barcode mode: one START per scanned serial number, in order");
    sub->add_flag("--json", o->json, "Print the outcome as one JSON document");
    sub->add_flag("--yes", o->yes, "Answer the run's questions with yes");
    sub->callback([&ctx, &exitCode, o] { exitCode = RunRun(ctx, *o); });
}

}  // namespace vq::cli
