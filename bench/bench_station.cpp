// Loading the shipped 16-port station and enumerating its whole hub tree and storage
// interfaces: device refreshes in tests and in the demo must cost next to nothing.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <variant>

#include "platform/UsbTopology.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"

namespace {

std::size_t Walk(vq::UsbTopology& usb, vq::UsbHub& hub) {
    std::size_t n = 0;
    const auto ports = hub.numberOfPorts().value_or(0);
    for (std::uint32_t p = 1; p <= ports; ++p) {
        auto info = hub.connectionInfo(p);
        if (!info || info->connectionStatus != vq::UsbConnectionStatus::DeviceConnected)
            continue;
        ++n;
        if (info->deviceIsHub) {
            if (auto sub = usb.openHub("\\\\.\\" + hub.connectionName(p).value_or(""))) {
                n += Walk(usb, *sub);
            }
        } else {
            benchmark::DoNotOptimize(hub.driverKeyName(p));
            benchmark::DoNotOptimize(hub.stringDescriptor(p, 3, 0x0409, 255));
        }
    }
    return n;
}

void BM_LoadAndEnumerateStation16(benchmark::State& state) {
    const auto file = std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "station16.json";
    for (auto _ : state) {
        auto r = vq::sim::LoadScenarioFile(file);
        auto& scenario = std::get<vq::sim::Scenario>(r);
        scenario.timeScale = 0;
        vq::sim::SimPlatform sim;
        vq::sim::BuildStation(sim, scenario);
        auto& st = sim.station();
        std::size_t devices = 0;
        const auto hubs = st.hubInterfacePaths();
        for (const auto& path : hubs.value()) {
            if (path.find("root_hub") == std::string::npos)
                continue;
            if (auto hub = st.openHub(path))
                devices += Walk(st, *hub);
        }
        auto disks = st.diskInterfaces();
        if (devices < 16 || !disks || disks->size() != 16)
            state.SkipWithError("station incomplete");
    }
}
BENCHMARK(BM_LoadAndEnumerateStation16)->Unit(benchmark::kMillisecond);

}  // namespace
