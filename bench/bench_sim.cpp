// A command round trip through the emulated pass-through: a full emulated run of 16
// ports must be dominated by the emulated device times, not by the emulator.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "base/AlignedBuffer.h"
#include "platform/sim/SimBridgeFunction.h"
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

namespace {

// Unbuffered file I/O on a volume of an emulated drive at time scale 0, in the R/W test's
// 32 MiB requests: 128 MiB written to a new file and read back per iteration. The
// emulator must add little to the host's own file speed (at least 1 GB/s).
void BM_SimVolumeUnbufferedFileIo32MiB(benchmark::State& state) {
    using namespace vq;
    sim::SimPlatform simp;
    simp.station().addRootHub("root", 1);
    sim::BridgeConfig cfg;
    cfg.master->sectors = 8ull << 20;  // 4 GiB
    auto added = simp.addBridge(cfg);
    simp.station().plug("root", 1, std::make_shared<sim::BridgeFunction>(added.bridge, false),
                        sim::PortSpeed::Super);
    auto disk = simp.disks().openDisk(added.physicalDrivePath);
    const auto g = disk->geometry();
    DriveLayout l;
    l.style = PartitionStyle::Mbr;
    PartitionInfo p;
    p.startingOffset = 1 << 20;
    p.length = g->totalBytes - (2 << 20);
    p.mbrType = 0x07;
    l.partitions = {p, {}, {}, {}};
    disk->createDisk(PartitionStyle::Mbr, 0);
    disk->setLayout(l);
    disk->updateProperties();
    char letter = 0;
    for (int i = 0; i < 26 && !letter; ++i) {
        if (simp.volumes().logicalDriveMask() & (1u << i))
            letter = static_cast<char>('A' + i);
    }
    if (!letter || simp.volumes().systemFormat(letter, "NTFS", "", 0, true) != 0) {
        state.SkipWithError("no volume");
        return;
    }
    const auto path = simp.volumes().rootPath(letter) / "targetTestFile.mas";
    constexpr std::size_t kRequest = 32u << 20;
    constexpr int kRequests = 4;
    AlignedBuffer buf(kRequest);
    for (std::size_t i = 0; i < kRequest; i += 4096)
        buf.data()[i] = static_cast<std::uint8_t>(i >> 12);
    for (auto _ : state) {
        {
            auto f = simp.files().open(path, FileMode::CreateAlways, FileAccess::Write, true);
            for (int i = 0; i < kRequests; ++i)
                benchmark::DoNotOptimize(f->write(buf.span()));
        }
        {
            auto f = simp.files().open(path, FileMode::OpenExisting, FileAccess::Read, true);
            for (int i = 0; i < kRequests; ++i)
                benchmark::DoNotOptimize(f->read(buf.span()));
        }
    }
    simp.files().remove(path);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * kRequests *
                            static_cast<std::int64_t>(kRequest));
}
BENCHMARK(BM_SimVolumeUnbufferedFileIo32MiB)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// The smallest command: IdentifyBridge, 16 bytes in, on an open handle.
void BM_SimRoundTripIdentifyBridge(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    auto added = sim.addBridge({});
    auto dev = sim.scsi().open(added.physicalDrivePath);
    const std::array<std::uint8_t, 12> cdb{0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> buf(16);
    vq::ScsiRequest r{cdb, vq::DataDirection::In, buf, 10};
    for (auto _ : state) {
        auto res = dev->execute(r);
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_SimRoundTripIdentifyBridge);

// Sixteen boards on one hub, at time scale 0: each is sent its reset block, the reset
// delay passes, and the machine's next look lists all sixteen again with the identity
// they came back with (removal and arrival events included).
void BM_SimResetAndReturn16(benchmark::State& state) {
    vq::sim::SimPlatform sim;
    auto& st = sim.station();
    st.addRootHub("root", 16);
    std::vector<std::string> paths;
    for (std::uint32_t i = 0; i < 16; ++i) {
        vq::sim::BridgeConfig cfg;
        cfg.defaultIdentity.serial = "SN" + std::to_string(i + 1);
        cfg.timing.resetDelayMs = 1000;
        auto added = sim.addBridge(cfg);
        st.plug("root", i + 1, std::make_shared<vq::sim::BridgeFunction>(added.bridge, false),
                vq::sim::PortSpeed::High);
        paths.push_back(added.physicalDrivePath);
    }
    std::size_t events = 0;
    st.setListener([&events](const vq::DeviceEvent&) { ++events; });
    const std::array<std::uint8_t, 12> reset{0xFF, 0x04, 0x26, 0x56, 0x51, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> none;
    for (auto _ : state) {
        for (const auto& path : paths) {
            auto dev = sim.scsi().open(path);
            vq::ScsiRequest r{reset, vq::DataDirection::None, none, 10};
            benchmark::DoNotOptimize(dev->execute(r));
        }
        sim.clock().sleepMs(1000);
        const auto disks = st.diskInterfaces();
        if (!disks || disks->size() != 16)
            state.SkipWithError("a board did not come back");
    }
    benchmark::DoNotOptimize(events);
}
BENCHMARK(BM_SimResetAndReturn16)->Unit(benchmark::kMillisecond);

}  // namespace
