// Identification runs at every device refresh for every port: chip and revision, firmware
// version, firmware presence, drive capacity and flash type of one emulated bridge.
#include <benchmark/benchmark.h>

#include <string>

#include "bridge/ChipIdentity.h"
#include "bridge/FlashDetect.h"
#include "platform/sim/SimPlatform.h"

namespace {

void BM_IdentifyOneDevice(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    vq::sim::BridgeConfig config;
    config.kind = static_cast<std::uint8_t>(state.range(0));
    const std::string path = sim.addBridge(config).physicalDrivePath;
    const vq::bridge::Transport transport(*sim.platform().scsi, sim.clock());
    const vq::bridge::Target target{transport, path};
    for (auto _ : state) {
        const auto id = vq::bridge::IdentifyChipWithRevision(target);
        const auto kind = vq::bridge::KindOf(id);
        std::string version;
        vq::bridge::FormatFirmwareVersion(kind, target, version);
        const bool present = vq::bridge::HasValidFirmware(target, kind, version);
        const auto mib = vq::bridge::ReadDriveCapacity(target, kind);
        const auto flash = vq::bridge::DetectFlashType(kind, target);
        benchmark::DoNotOptimize(present);
        benchmark::DoNotOptimize(mib);
        benchmark::DoNotOptimize(flash);
    }
}
// A serial-flash model of the first family, a flash-probed model and a later family.
BENCHMARK(BM_IdentifyOneDevice)->Arg(14)->Arg(7)->Arg(13)->Arg(25)->Unit(benchmark::kMicrosecond);

}  // namespace
