// Calibration accuracy: how far from the pen the pointer lands.
//
// A virtual user calibrates the virtual unit's camera model (perspective,
// lens distortion, sensor noise) at 1920 x 1080 with the normal (4 x 3) and
// the advanced (7 x 5) grid, three frames averaged per target as the daemon
// does. The pen then rests on every point of a 24 x 14 grid over the whole
// screen; each frame is encoded as the unit sends it, decoded by the core,
// and the click logic turns the frames into pointer records. The figure is
// the distance from the pen to the last record of the press.
//
// Baseline: the 4-point perspective transform other whiteboard programs fit
// from the four corner targets (here the normal grid's corners, the same
// samples), measured the same way.
//
// Each case runs once; the figures are counters (pixels), the time is that of
// one calibration and measurement.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "NyxCalLib.h"
#include "inksim/calib_user.h"
#include "inksim/firmware.h"
#include "support/click_simulator.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr int kSpace = 5, kHwType = 65;
constexpr int kPointsX = 24, kPointsY = 14;
constexpr int kSamplesPerTarget = 3;
// Frames per touch of a measured point: off, on, off.
constexpr int kLeadFrames = 30, kPressFrames = 40, kTailFrames = 30;

enum class Method { Grid, Corners };

// The unit: encodes what the camera sees into the spot record it streams.
class Unit {
  public:
    explicit Unit(const inksim::CameraConfig &cam, unsigned seed)
        : cfg_(make_cfg(cam, seed)), fw_(cfg_), cam_(cam, seed) {
        const uint8_t run = DEV_CMD_RUN;
        fw_.receive(&run, 1, 0);
    }
    // One frame with the pen at screen (x, y): the 10-byte spot record.
    std::array<uint8_t, 10> frame(double x, double y) {
        inksim::PenSample p;
        p.on = true;
        cam_.sense(x, y, &p.u, &p.v);
        fw_.frame(p, ++t_);
        std::vector<uint8_t> drain;
        fw_.take_due(t_, &drain);
        return fw_.frames_sent().back().record;
    }

  private:
    static inksim::UnitConfig make_cfg(const inksim::CameraConfig &cam, unsigned seed) {
        inksim::UnitConfig c;
        c.camera = cam;
        c.seed = seed;
        c.calibrated = false;
        return c;
    }
    inksim::UnitConfig cfg_;
    inksim::Firmware fw_;
    inksim::CameraModel cam_;
    long long t_ = 0;
};

// Camera (u, v) to screen (x, y) through the perspective transform fitted to
// four point pairs.
struct Homography {
    double h[9];
    bool fit(const double *u, const double *v, const double *x, const double *y) {
        // Unknowns h0..h7 (h8 = 1): x = (h0 u + h1 v + h2) / (h6 u + h7 v + 1), y likewise.
        double a[8][9] = {};
        for (int i = 0; i < 4; ++i) {
            double r0[9] = {u[i], v[i], 1, 0, 0, 0, -u[i] * x[i], -v[i] * x[i], x[i]};
            double r1[9] = {0, 0, 0, u[i], v[i], 1, -u[i] * y[i], -v[i] * y[i], y[i]};
            std::copy(r0, r0 + 9, a[2 * i]);
            std::copy(r1, r1 + 9, a[2 * i + 1]);
        }
        for (int c = 0; c < 8; ++c) {
            int p = c;
            for (int r = c + 1; r < 8; ++r)
                if (std::fabs(a[r][c]) > std::fabs(a[p][c]))
                    p = r;
            if (std::fabs(a[p][c]) < 1e-12)
                return false;
            std::swap(a[c], a[p]);
            for (int r = 0; r < 8; ++r) {
                if (r == c)
                    continue;
                double f = a[r][c] / a[c][c];
                for (int k = c; k < 9; ++k)
                    a[r][k] -= f * a[c][k];
            }
        }
        for (int i = 0; i < 8; ++i)
            h[i] = a[i][8] / a[i][i];
        h[8] = 1;
        return true;
    }
    void map(double u, double v, double *x, double *y) const {
        double w = h[6] * u + h[7] * v + h[8];
        *x = (h[0] * u + h[1] * v + h[2]) / w;
        *y = (h[3] * u + h[4] * v + h[5]) / w;
    }
};

struct Figures {
    double mean = 0, p95 = 0, max = 0;
    int lost = 0;
};

// Calibrates with the grid (the samples the daemon would average), builds
// the model or the baseline transform, and measures the dense grid.
Figures run_case(double distortion, int nx, int ny, Method method) {
    inksim::CameraConfig cam;
    cam.screen_w = kW;
    cam.screen_h = kH;
    cam.distortion = distortion;
    Unit unit(cam, 7);

    inksim::CalibUserConfig uc;
    uc.screen_w = kW;
    uc.screen_h = kH;
    uc.ref_nx = nx;
    uc.ref_ny = ny;
    uc.side_space = kSpace;
    uc.hw_type = kHwType;
    auto targets = inksim::target_layout(uc);
    nx = RefNx;
    ny = RefNy;

    std::vector<double> ul, vl;
    for (const auto &t : targets) {
        double su = 0, sv = 0;
        for (int i = 0; i < kSamplesPerTarget; ++i) {
            auto rec = unit.frame(t.first, t.second);
            DecData_Raw(rec.data());
            su += SPOT.x;
            sv += SPOT.y;
        }
        ul.push_back(su / kSamplesPerTarget);
        vl.push_back(sv / kSamplesPerTarget);
    }

    Homography hom{};
    int rx[8], ry[8];
    Calib_Init(nx, ny, kSpace, kW, kH, kHwType, rx, ry);
    if (method == Method::Grid) {
        Calib_InitUV(ul.data(), vl.data());
    } else {
        const int corner[4] = {0, nx - 1, nx * ny - 1, nx * (ny - 1)};
        double u[4], v[4], x[4], y[4];
        for (int i = 0; i < 4; ++i) {
            u[i] = ul[corner[i]];
            v[i] = vl[corner[i]];
            x[i] = targets[corner[i]].first;
            y[i] = targets[corner[i]].second;
        }
        hom.fit(u, v, x, y);
    }

    std::vector<double> err;
    Figures f;
    for (int j = 0; j < kPointsY; ++j) {
        for (int i = 0; i < kPointsX; ++i) {
            double px = (i + 0.5) * kW / kPointsX, py = (j + 0.5) * kH / kPointsY;
            ClickSimulator click;
            for (int k = 0; k < kLeadFrames; ++k)
                click.frame(0);
            for (int k = 0; k < kPressFrames; ++k) {
                auto rec = unit.frame(px, py);
                if (method == Method::Grid) {
                    if (DecData_Run(rec.data()))
                        click.frame(1, SPOT.x, SPOT.y);
                    else
                        click.frame(0);
                } else {
                    DecData_Raw(rec.data());
                    double x, y;
                    hom.map(SPOT.x, SPOT.y, &x, &y);
                    if (x >= 0 && x < kW && y >= 0 && y < kH)
                        click.frame(1, x, y);
                    else
                        click.frame(0);
                }
            }
            for (int k = 0; k < kTailFrames; ++k)
                click.frame(0);
            const PointerBytes *last = nullptr;
            for (const auto &r : click.records())
                if (r[0] & 0x04)
                    last = &r;
            if (last == nullptr) {
                ++f.lost;
                continue;
            }
            int x = (((*last)[1] >> 4) << 8) | (*last)[2];
            int y = (((*last)[1] & 0x0F) << 8) | (*last)[3];
            err.push_back(std::hypot(x - px, y - py));
        }
    }
    if (err.empty())
        return f;
    std::sort(err.begin(), err.end());
    double sum = 0;
    for (double e : err)
        sum += e;
    f.mean = sum / static_cast<double>(err.size());
    f.p95 = err[std::min(err.size() - 1, static_cast<size_t>(std::ceil(0.95 * err.size())) - 1)];
    f.max = err.back();
    return f;
}

// Arguments: distortion in thousandths, grid columns, rows, method.
void BM_CalibAccuracy(benchmark::State &state) {
    double distortion = static_cast<double>(state.range(0)) / 1000.0;
    int nx = static_cast<int>(state.range(1)), ny = static_cast<int>(state.range(2));
    Method m = state.range(3) == 0 ? Method::Grid : Method::Corners;
    Figures f;
    for (auto _ : state)
        f = run_case(distortion, nx, ny, m);
    state.counters["mean_px"] = f.mean;
    state.counters["p95_px"] = f.p95;
    state.counters["max_px"] = f.max;
    state.counters["lost"] = f.lost;
    if (m == Method::Grid && distortion != 0) {
        // Where the lens distorts, the grid model must beat the baseline.
        Figures base = run_case(distortion, 4, 3, Method::Corners);
        state.counters["vs_4point"] = f.mean / base.mean;
        if (!(f.mean < base.mean && f.p95 < base.p95))
            state.SkipWithError("the grid model does not beat the 4-point transform");
    }
    state.SetLabel(std::string(m == Method::Grid ? "grid " : "4-point ") + std::to_string(nx) +
                   "x" + std::to_string(ny) + (distortion != 0 ? " distorted" : " no distortion"));
}

}  // namespace

// Default camera (distortion 0.04), then a camera without distortion: the
// normal grid, the advanced grid, the 4-point baseline from the normal grid's
// corners.
BENCHMARK(BM_CalibAccuracy)
    ->Args({40, 4, 3, 0})
    ->Args({40, 7, 5, 0})
    ->Args({40, 4, 3, 1})
    ->Args({0, 4, 3, 0})
    ->Args({0, 7, 5, 0})
    ->Args({0, 4, 3, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
