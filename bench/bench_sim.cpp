// A command round trip through the emulated pass-through: a full emulated run of 16
// ports must be dominated by the emulated device times, not by the emulator.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "platform/sim/SimPlatform.h"

namespace {

// IDENTIFY of the master drive through the vendor block: 512 bytes in, on an open handle.
void BM_SimRoundTripIdentify512(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    vq::sim::BridgeConfig cfg;
    cfg.traceLimit = 65536;
    auto added = sim.addBridge(cfg);
    auto dev = sim.scsi().open(added.physicalDrivePath);
    const std::array<std::uint8_t, 12> cdb{0xDF, 0x10, 0x00, 0x02, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC};
    std::vector<std::uint8_t> buf(512);
    vq::ScsiRequest r{cdb, vq::DataDirection::In, buf, 10};
    for (auto _ : state) {
        auto res = dev->execute(r);
        benchmark::DoNotOptimize(res);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 512);
}
BENCHMARK(BM_SimRoundTripIdentify512);

// 512 bytes of the register space, opening and closing the path for every command as
// the path-based transport does.
void BM_SimOpenExecuteClose512(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    auto added = sim.addBridge({});
    const std::array<std::uint8_t, 12> cdb{0xDF, 0x10, 0x00, 0x02, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0xFD};
    std::vector<std::uint8_t> buf(512);
    vq::ScsiRequest r{cdb, vq::DataDirection::In, buf, 10};
    for (auto _ : state) {
        auto dev = sim.scsi().open(added.physicalDrivePath);
        auto res = dev->execute(r);
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_SimOpenExecuteClose512);

// One 512-byte sector written through the ATA pass-through into the drive image.
void BM_SimWriteSector512(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    auto added = sim.addBridge({});
    auto dev = sim.scsi().open(added.physicalDrivePath);
    const std::array<std::uint8_t, 10> cdb{0x2A, 0, 0, 0, 0, 0x10, 0, 0, 1, 0};
    std::vector<std::uint8_t> buf(512, 0x5A);
    vq::ScsiRequest r{cdb, vq::DataDirection::Out, buf, 50};
    for (auto _ : state) {
        auto res = dev->execute(r);
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_SimWriteSector512);

}  // namespace
