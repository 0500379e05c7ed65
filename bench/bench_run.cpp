// A production run of the shipped 16-port station at time scale 0, against the same run
// with one board: real time per run, and the emulated time each takes (the parallel
// efficiency of the run).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <thread>
#include <variant>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "run/PortDisplay.h"
#include "run/RunDriver.h"
#include "run/Station.h"
#include "run/TestLog.h"

namespace {

namespace fs = std::filesystem;

// Emulated time now, as a thread started after everything else sees it.
std::int64_t EmulatedNow(vq::sim::SimClock& clock) {
    std::int64_t t = 0;
    std::thread([&] { t = clock.nowNs(); }).join();
    return t;
}

void BM_ProductionRun(benchmark::State& state) {
    const int boards = static_cast<int>(state.range(0));
    auto loaded =
        vq::sim::LoadScenarioFile(fs::path(VQ_SOURCE_DIR) / "examples" / "station16.json");
    auto& scenario = std::get<vq::sim::Scenario>(loaded);
    scenario.timeScale = 0;
    const fs::path home = fs::temp_directory_path() / "vq_bench_run";
    fs::create_directories(home / "log");
    double emulated = 0;
    for (auto _ : state) {
        state.PauseTiming();
        vq::sim::SimPlatform sim;
        vq::sim::BuildStation(sim, scenario);
        vq::RecordingOperator op;
        sim.platform().op = &op;
        if (boards == 1) {
            for (std::uint32_t p = 2; p <= 7; ++p)
                sim.station().unplug("hubA", p);
            for (std::uint32_t p = 3; p <= 5; ++p)  // hubB with its 7 boards, and 2 more
                sim.station().unplug("xhci", p);
        }
        vq::RunSettings settings;
        vq::PanelModel panel;
        vq::SettingsPanel rules(settings, panel, op, home);
        rules.LoadSettings(fs::path(VQ_SOURCE_DIR) / "tests" / "run" / "data" / "checks16.ini");
        vq::Station station(sim.platform(), rules);
        vq::TestLog log(home / "log", sim.clock());
        log.ChooseFile({2026, 1, 1});
        vq::PortDisplay display;
        vq::RunDriver driver(station, log, display, [] { return vq::LocalDateTime{2026, 1, 1}; });
        driver.RefreshBtnClick();
        const std::int64_t before = EmulatedNow(sim.clock());
        state.ResumeTiming();
        driver.ExecuteBtnClick();
        state.PauseTiming();
        emulated += static_cast<double>(EmulatedNow(sim.clock()) - before) / 1e9;
        if (driver.runs().size() != 1 || !driver.runs()[0].passed ||
            driver.runs()[0].devices != boards)
            state.SkipWithError("the run did not pass on every board");
        state.ResumeTiming();
    }
    state.counters["emulated_s"] = benchmark::Counter(emulated, benchmark::Counter::kAvgIterations);
    fs::remove_all(home);
}
BENCHMARK(BM_ProductionRun)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

}  // namespace
