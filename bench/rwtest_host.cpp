// The station's read/write test on a folder of this machine's file systems: the test
// procedure itself on the host's file service (O_DIRECT files) and real clock. Prints the
// rates of every run and the best of them, for bench/disk_vs_tools.sh to set beside dd.
// Usage: vq_rwtest_host FOLDER [SIZE_MIB] [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk/ReadWriteTest.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxFiles.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [SIZE_MIB] [RUNS]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int sizeMiB = argc > 2 ? std::atoi(argv[2]) : 32;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

    vq::StreamDiagnostics diagnostics(true);
    vq::LinuxFiles files(&diagnostics);
    vq::SteadyClock clock;
    vq::Platform platform;
    platform.name = "linux";
    platform.home = folder;
    platform.clock = &clock;
    platform.diagnostics = &diagnostics;
    platform.files = &files;

    vq::PatternBlock pattern{};
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);

    vq::ReadWriteRates best;
    for (int run = 0; run < runs; ++run) {
        vq::ReadWriteRates rates;
        if (!vq::RunReadWriteTest(platform, folder, sizeMiB, pattern, rates)) {
            std::fprintf(stderr, "run %d: the read/write test failed\n", run + 1);
            return 1;
        }
        std::printf("run %d: write %.1f MB/s read %.1f MB/s\n", run + 1, rates.write, rates.read);
        best.write = std::max(best.write, rates.write);
        best.read = std::max(best.read, rates.read);
    }
    std::printf("write: %.1f\nread: %.1f\n", best.write, best.read);
    return 0;
}
