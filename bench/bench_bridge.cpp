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

// ---- The later families: a full buffer download and read-back --------------------------

#include "bridge/LaterImage.h"
#include "bridge/RomDownload.h"

namespace {

// A kind 21 board running firmware takes one bank of 128 KiB: the download sends it in
// 4096-byte chunks and reads it back for the compare. Target: under 20 ms of CPU.
void BM_LaterDownload128KiB(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    vq::sim::BridgeConfig config;
    config.kind = 21;
    const std::string path = sim.addBridge(config).physicalDrivePath;
    const vq::bridge::Transport transport(*sim.platform().scsi, sim.clock());
    const vq::bridge::Target target{transport, path};
    std::vector<std::uint8_t> image(vq::bridge::kLaterImageSize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 31 + (i >> 11));
    image[3] = '6';
    image[4] = '7';
    image[5] = '1';
    vq::bridge::LaterImageSettings settings;
    vq::bridge::PatchImageConfig(image, settings);
    vq::bridge::LaterDownload job;
    if (!vq::bridge::ReadLaterBridgeState(target, vq::bridge::MakeChipIdentity(21, 1), job.state) ||
        job.state.romState) {
        state.SkipWithError("the board does not run firmware");
        return;
    }
    job.source = image;
    for (auto _ : state) {
        if (!vq::bridge::ProgramLaterFamily(target, job)) {
            state.SkipWithError(job.failure.c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * 0x20000);
}
BENCHMARK(BM_LaterDownload128KiB)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
