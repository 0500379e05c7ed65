// A production run of the shipped 16-port station at time scale 0, against the same run
// with one board: real time per run, and where the emulated time of each run went (the
// parallel efficiency of the run). The figures per run, in emulated seconds:
//   emulated_s   the whole run as the clock saw it;
//   serial_s     what the run serializes on purpose: the driver's scan, preparation and
//                log, and the time the port lock and the R/W test lock were held;
//   parallel_s   the rest, which the workers do side by side;
//   parallel_x   parallel_s over the same figure of a one-board run (1.0 is perfect).
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

struct Figures {
    double emulated = 0;
    vq::RunTimes times;
    bool passed = false;
};

// Emulated time now, as a thread started after everything else sees it.
std::int64_t EmulatedNow(vq::sim::SimClock& clock) {
    std::int64_t t = 0;
    std::thread([&] { t = clock.nowNs(); }).join();
    return t;
}

// One START on a fresh station with `boards` boards; `timed` brackets the START itself.
template <typename Timed>
Figures OneRun(const vq::sim::Scenario& scenario, int boards, const fs::path& home, Timed timed) {
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
    timed([&] { driver.ExecuteBtnClick(); });
    Figures f;
    f.emulated = static_cast<double>(EmulatedNow(sim.clock()) - before) / 1e9;
    if (driver.runs().size() == 1) {
        f.times = driver.runs()[0].times;
        f.passed = driver.runs()[0].passed && driver.runs()[0].devices == boards;
    }
    return f;
}

void BM_ProductionRun(benchmark::State& state) {
    const int boards = static_cast<int>(state.range(0));
    auto loaded =
        vq::sim::LoadScenarioFile(fs::path(VQ_SOURCE_DIR) / "examples" / "station16.json");
    auto& scenario = std::get<vq::sim::Scenario>(loaded);
    scenario.timeScale = 0;
    const fs::path home = fs::temp_directory_path() / "vq_bench_run";
    fs::create_directories(home / "log");
    const Figures one = OneRun(scenario, 1, home, [](auto start) { start(); });
    double emulated = 0;
    double serial = 0;
    double parallel = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const Figures f = OneRun(scenario, boards, home, [&](auto start) {
            state.ResumeTiming();
            start();
            state.PauseTiming();
        });
        if (!f.passed)
            state.SkipWithError("the run did not pass on every board");
        emulated += f.emulated;
        serial += static_cast<double>(f.times.serialNs()) / 1e9;
        parallel += static_cast<double>(f.times.parallelNs()) / 1e9;
        state.ResumeTiming();
    }
    const auto avg = benchmark::Counter::kAvgIterations;
    state.counters["emulated_s"] = benchmark::Counter(emulated, avg);
    state.counters["serial_s"] = benchmark::Counter(serial, avg);
    state.counters["parallel_s"] = benchmark::Counter(parallel, avg);
    const double reference = static_cast<double>(one.times.parallelNs()) / 1e9;
    if (reference > 0 && state.iterations() > 0) {
        state.counters["parallel_x"] =
            parallel / static_cast<double>(state.iterations()) / reference;
    }
    fs::remove_all(home);
}
BENCHMARK(BM_ProductionRun)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

}  // namespace
