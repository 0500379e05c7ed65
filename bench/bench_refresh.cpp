// One device refresh of the shipped 16-port station at time scale 0 (target: under 20 ms),
// and its two big parts on their own: the storage scan and the USB hub walk.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <variant>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/Operator.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "run/Station.h"

namespace {

struct Station16 {
    vq::sim::SimPlatform sim;
    vq::RecordingOperator op;
    vq::RunSettings settings;
    vq::PanelModel panel;
    std::unique_ptr<vq::SettingsPanel> rules;
    std::unique_ptr<vq::Station> station;

    Station16() {
        auto loaded = vq::sim::LoadScenarioFile(std::filesystem::path(VQ_SOURCE_DIR) / "examples" /
                                                "station16.json");
        auto& scenario = std::get<vq::sim::Scenario>(loaded);
        scenario.timeScale = 0;
        vq::sim::BuildStation(sim, scenario);
        sim.platform().op = &op;
        rules = std::make_unique<vq::SettingsPanel>(settings, panel, op, sim.workFolder());
        station = std::make_unique<vq::Station>(sim.platform(), *rules);
    }
};

void BM_DeviceRefreshStation16(benchmark::State& state) {
    Station16 s;
    for (auto _ : state) {
        s.op.clear();
        if (s.station->DeviceRefresh() != 16 || s.station->runDeviceCount() != 16)
            state.SkipWithError("station incomplete");
    }
}
BENCHMARK(BM_DeviceRefreshStation16)->Unit(benchmark::kMillisecond);

void BM_ScanDiskInterfacesStation16(benchmark::State& state) {
    Station16 s;
    for (auto _ : state) {
        std::uint32_t count = vq::kDeviceTableSize;
        if (!s.station->discovery().ScanDiskInterfaces(&count) || count != 16)
            state.SkipWithError("station incomplete");
    }
}
BENCHMARK(BM_ScanDiskInterfacesStation16)->Unit(benchmark::kMillisecond);

void BM_WalkUsbTreeStation16(benchmark::State& state) {
    Station16 s;
    s.station->discovery().ScanBridges(false);
    for (auto _ : state) {
        s.op.clear();
        for (auto& p : s.station->ports())
            p = vq::PortRecord{};
        benchmark::DoNotOptimize(s.station->discovery().WalkUsbTree());
        if (s.station->ports()[15].present != 1)
            state.SkipWithError("station incomplete");
    }
}
BENCHMARK(BM_WalkUsbTreeStation16)->Unit(benchmark::kMillisecond);

}  // namespace
