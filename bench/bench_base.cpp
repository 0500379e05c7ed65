// Formatting runs for every log line and every port-row redraw.
#include <benchmark/benchmark.h>

#include "base/Format.h"

static void BM_FormatLogFields(benchmark::State& state) {
    for (auto _ : state) {
        auto s =
            vq::Format("%04X / %04X / %s\t%.1f\t%06d", 0x7E8A, 0x2429, "000000000001", 35.2, 42);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_FormatLogFields);
