// Identification runs at every device refresh for every port: chip and revision, firmware
// version, firmware presence, drive capacity and flash type of one emulated bridge; and the
// firmware updates of one board.
#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

#include "bridge/ChipIdentity.h"
#include "bridge/ConfigWriters.h"
#include "bridge/FirmwareUpdate.h"
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

// ---- Firmware updates ---------------------------------------------------------------------

namespace {

std::vector<std::uint8_t> Image64K() {
    std::vector<std::uint8_t> b(0x10000);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    b[4] = '4';
    b[5] = '2';
    b[6] = '9';
    b[7] = '/';
    return b;
}

// A 64 KiB firmware into the serial flash of a v429 at time scale 0: two block erases, the
// blank check, four 16 KiB pages, the verify and the ready polls. The counters report the
// command blocks of one update; the page sizes allow 2 erases + 4 pages + 2 reads + the
// status reads of the waits.
void BM_UpdateSerialFlash64K(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    vq::sim::BridgeConfig config;
    config.kind = 4;
    const auto added = sim.addBridge(config);
    const vq::bridge::Transport transport(*sim.platform().scsi, sim.clock());
    const vq::bridge::Target target{transport, added.physicalDrivePath};
    const auto image = vq::bridge::FirmwareImage::FromBytes(Image64K());
    std::size_t commands = 0;
    std::size_t pages = 0;
    bool ok = true;
    for (auto _ : state) {
        added.bridge->clearTrace();
        ok = vq::bridge::UpdateSerialFlash(target, image) && ok;
        const auto trace = added.bridge->trace();
        commands = trace.size();
        pages = 0;
        for (const auto& r : trace)
            pages += r.cdb[0] == 0xFF && r.cdb[2] == 0x11;
    }
    if (!ok)
        state.SkipWithError("the update failed");
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["pages"] = static_cast<double>(pages);
}
BENCHMARK(BM_UpdateSerialFlash64K)->Unit(benchmark::kMillisecond);

// The same 64 KiB as a v646 memory image (configuration block at 0xC000, CRC).
void BM_WriteMemoryImage64K(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    vq::sim::BridgeConfig config;
    config.kind = 19;
    config.flashType = 7;
    const auto added = sim.addBridge(config);
    const vq::bridge::Transport transport(*sim.platform().scsi, sim.clock());
    const vq::bridge::Target target{transport, added.physicalDrivePath};
    const auto image = vq::bridge::FirmwareImage::FromBytes(Image64K());
    const std::array<std::uint8_t, 256> block{};
    std::size_t commands = 0;
    for (auto _ : state) {
        added.bridge->clearTrace();
        benchmark::DoNotOptimize(
            vq::bridge::WriteMemoryImage(target, 19, true, true, block, "", image));
        commands = added.bridge->trace().size();
    }
    state.counters["commands"] = static_cast<double>(commands);
}
BENCHMARK(BM_WriteMemoryImage64K)->Unit(benchmark::kMillisecond);

}  // namespace
