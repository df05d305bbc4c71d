// Speed of the coordinate core. The model build runs as the plain
// transcription and as the core's own build in the same run; before timing,
// each grid is built both ways and the tables compared bit for bit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "NyxCalLib.h"
#include "reference/reference_calib.h"

namespace {

// The core prints its console lines on standard output; keep them out of the
// results while the code under test runs.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
    }

  private:
    int saved_;
};

double gUl[49], gVl[49];

// Reference values of a camera that sees the screen rotated and bent.
void setup_grid(int nx, int ny) {
    int refX[8], refY[8];
    Calib_Init(nx, ny, 5, 1024, 768, 65, refX, refY);
    for (int r = 0; r < RefNy; ++r) {
        for (int c = 0; c < RefNx; ++c) {
            const double x = (Xs[c] - 512) / 512, y = (Ys[r] - 384) / 384;
            const double k2 = 1 + 0.08 * (x * x + y * y);
            gUl[r * RefNx + c] = 505 + 430 * x * k2 + 18 * y + 0.7 * ((r * 7 + c * 3) % 5 - 2);
            gVl[r * RefNx + c] = 300 + 250 * y * k2 - 12 * x + 0.5 * ((r * 3 + c * 5) % 7 - 3);
        }
    }
}

// Builds the grid both ways; false when the tables differ in any bit.
bool builds_agree(int nx, int ny) {
    QuietStdout quiet;
    setup_grid(nx, ny);
    std::vector<double> a(reftest::kSnapshotDoubles), b(reftest::kSnapshotDoubles);
    reftest::reference_InitUV(gUl, gVl);
    reftest::snapshot(a.data());
    Calib_InitUV(gUl, gVl);
    reftest::snapshot(b.data());
    return reftest::first_difference(a.data(), b.data()) < 0;
}

void BM_InitUV_Transcription(benchmark::State &state) {
    const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
    if (!builds_agree(nx, ny)) {
        state.SkipWithError("fast build differs from the transcription");
        return;
    }
    QuietStdout quiet;
    setup_grid(nx, ny);
    for (auto _ : state) {
        reftest::reference_InitUV(gUl, gVl);
        benchmark::DoNotOptimize(UVX[0]);
    }
}

void BM_InitUV_Fast(benchmark::State &state) {
    const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
    if (!builds_agree(nx, ny)) {
        state.SkipWithError("fast build differs from the transcription");
        return;
    }
    QuietStdout quiet;
    setup_grid(nx, ny);
    for (auto _ : state) {
        Calib_InitUV(gUl, gVl);
        benchmark::DoNotOptimize(UVX[0]);
    }
}

BENCHMARK(BM_InitUV_Transcription)
    ->Args({7, 7})
    ->Args({4, 3})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_InitUV_Fast)
    ->Args({7, 7})
    ->Args({4, 3})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_CalcBD0(benchmark::State &state) {
    {
        QuietStdout quiet;
        setup_grid(7, 7);
        Calib_InitUV(gUl, gVl);
    }
    unsigned char d[NYX_BD0_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(CalcBD0(d));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CalcBD0)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DecData_Run(benchmark::State &state) {
    {
        QuietStdout quiet;
        setup_grid(7, 7);
        Calib_InitUV(gUl, gVl);
    }
    // Spots spread over the sensor, most of them on the screen.
    constexpr int kSpots = 1024;
    static unsigned char rec[kSpots][NYX_SPOT_SIZE];
    for (int k = 0; k < kSpots; ++k) {
        const unsigned u = static_cast<unsigned>((80 + (k * 37) % 850) * 32 + k % 32);
        const unsigned v = static_cast<unsigned>((60 + (k * 53) % 480) * 16 + k % 16);
        const unsigned uw = u ^ SPOT_MASK_U, vw = v ^ SPOT_MASK_V;
        rec[k][0] = uw >> 8;
        rec[k][1] = uw & 0xFF;
        rec[k][2] = vw >> 8;
        rec[k][3] = vw & 0xFF;
        rec[k][8] = 1;
    }
    int k = 0, accepted = 0;
    for (auto _ : state) {
        accepted += DecData_Run(rec[k]);
        benchmark::DoNotOptimize(SPOT);
        k = (k + 1) & (kSpots - 1);
    }
    state.counters["accepted"] = benchmark::Counter(accepted, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DecData_Run)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DecCAL(benchmark::State &state) {
    setup_grid(7, 7);
    unsigned char EU[NYX_EU_SIZE];
    CalcEU(7, 7, 5, gUl, gVl, EU);
    double ul[49], vl[49];
    QuietStdout quiet;  // its three console lines are part of its cost
    for (auto _ : state) {
        benchmark::DoNotOptimize(DecCAL(EU, ul, vl));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecCAL)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
