// The calibration model's table builder.
//
// The model build is a fixed recipe (row and column curves, dense forward
// grids, then an inverse search per camera-to-screen table entry) whose result
// is compared to the last bit against a plain transcription. Everything here
// keeps the operations of that recipe and only changes how often and in which
// order independent values are computed:
//
// - Fit plans: the interpolation weights depend only on the node abscissae
//   and the abscissa, so they are computed once per grid line and applied to
//   every set of node values (see NyxCalFit.h).
// - Forward grids: the along-x estimate of a grid column and the along-y
//   estimate of a grid row each share one plan, so both run as straight loops
//   over contiguous values.
// - Inverse search: the coarse and the middle stage always visit points of the
//   50- and 5-unit lattices, which are packed into small contiguous tables
//   with the range of u and v over each lattice row segment. A segment whose
//   range lies farther from the query than the best distance found so far
//   cannot hold a point that wins or ties, so it is skipped. The distance
//   |U - u| + |V - v| of any point is at least each of its two terms, and
//   rounding is monotonic, so the bound holds for the computed distances too.
//   Ties keep the first point in the documented scan order (Y outer, X inner).
// - Two threads split the grid columns and then the table rows.
#include "NyxCalModel.h"

#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>

#include "NyxCalFit.h"
#include "NyxCalLib.h"

namespace nyx {

namespace {

constexpr int kGX = NYX_GRID_X;
constexpr int kGY = NYX_GRID_Y;
constexpr int kPitch = NYX_TABLE_PITCH;

int clamp_int(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// ---- Plans of the curves and forward grids ----------------------------------------------

FitPlan planX[kGX];  // along x through Xs, at x = X - 30
FitPlan planY[kGY];  // along y through Ys, at y = Y - 30

// out[e] = the interpolant of plan p over the nodes base[c * stride + e].
void apply_strided(const FitPlan &p, const double *base, int stride, int count, double *out) {
    const double *y0 = base + p.k * stride;
    const double *y1 = y0 + stride;
    const double *y2 = y1 + stride;
    const double *y3 = y2 + stride;
    switch (p.kind) {
        case FitKind::Zero:
            for (int e = 0; e < count; ++e)
                out[e] = 0.0;
            return;
        case FitKind::First:
            for (int e = 0; e < count; ++e)
                out[e] = base[e];
            return;
        case FitKind::Line: {
            const double *b1 = base + stride;
            for (int e = 0; e < count; ++e)
                out[e] = base[e] + (b1[e] - base[e]) * p.a / p.den;
            return;
        }
        case FitKind::Single: {
            const double w0 = p.p1.w0, w1 = p.p1.w1, w2 = p.p1.w2;
            for (int e = 0; e < count; ++e)
                out[e] = y0[e] * w0 + y1[e] * w1 + y2[e] * w2;
            return;
        }
        case FitKind::Blend: {
            const double w0 = p.p1.w0, w1 = p.p1.w1, w2 = p.p1.w2;
            const double v0 = p.p2.w0, v1 = p.p2.w1, v2 = p.p2.w2;
            const double a = p.a, b = p.b, den = p.den;
            for (int e = 0; e < count; ++e) {
                const double P1 = y0[e] * w0 + y1[e] * w1 + y2[e] * w2;
                const double P2 = y1[e] * v0 + y2[e] * v1 + y3[e] * v2;
                out[e] = P1 * a / den + P2 * b / den;
            }
            return;
        }
    }
}

// Forward grid for the grid columns X in [x0, x1): gXY[X * 828 + Y] =
// (along-x estimate + along-y estimate) / 2, as xy2u / xy2v compute it.
void forward_columns(int x0, int x1, const double *gY, const double *gX, double *gXY) {
    double r2[kGX];
    // Along y: one plan per grid row, applied to the row curves' values at
    // every X, stored in place and completed below.
    for (int Y = 0; Y < kGY; ++Y) {
        apply_strided(planY[Y], gX + x0, kGX, x1 - x0, r2);
        for (int X = x0; X < x1; ++X)
            gXY[X * kGY + Y] = r2[X - x0];
    }
    double r1[kGY];
    for (int X = x0; X < x1; ++X) {
        apply_strided(planX[X], gY, kGY, kGY, r1);
        double *col = gXY + X * kGY;
        for (int Y = 0; Y < kGY; ++Y)
            col[Y] = (r1[Y] + col[Y]) / 2;
    }
}

// ---- Inverse search ---------------------------------------------------------------------

constexpr int kCoarseCols = 22;  // X = 0, 50, ..., 1050
constexpr int kCoarseRows = 17;  // Y = 0, 50, ..., 800
constexpr int kCoarsePitch = 24;
constexpr int kMidCols = 217;  // X = 0, 5, ..., 1080
constexpr int kMidRows = 166;  // Y = 0, 5, ..., 825
constexpr int kMidPitch = 224;
constexpr int kMidSegs = 22;  // segments of 10 lattice points (50 units)

struct Bounds {
    double minU, maxU, minV, maxV;
};

double cU[kCoarseRows * kCoarsePitch], cV[kCoarseRows * kCoarsePitch];
Bounds cRow[kCoarseRows];
double mU[kMidRows * kMidPitch], mV[kMidRows * kMidPitch];
Bounds mSeg[kMidRows * kMidSegs];
bool gridUsable;  // no NaN in the forward grids

Bounds bounds_of(const double *u, const double *v, int n) {
    Bounds b{u[0], u[0], v[0], v[0]};
    for (int k = 1; k < n; ++k) {
        b.minU = u[k] < b.minU ? u[k] : b.minU;
        b.maxU = u[k] > b.maxU ? u[k] : b.maxU;
        b.minV = v[k] < b.minV ? v[k] : b.minV;
        b.maxV = v[k] > b.maxV ? v[k] : b.maxV;
    }
    return b;
}

// A lower bound of the distance of every point inside b from (u, v).
inline double lower_bound(const Bounds &b, double u, double v) {
    double lb = b.minU - u;
    const double t1 = u - b.maxU, t2 = b.minV - v, t3 = v - b.maxV;
    lb = t1 > lb ? t1 : lb;
    lb = t2 > lb ? t2 : lb;
    return t3 > lb ? t3 : lb;
}

void pack_lattices() {
    bool finite = true;
    for (int k = 0; k < kGX * kGY; ++k) {
        if (gXYU[k] != gXYU[k] || gXYV[k] != gXYV[k])
            finite = false;
    }
    gridUsable = finite;
    if (!finite)
        return;
    for (int r = 0; r < kCoarseRows; ++r) {
        for (int c = 0; c < kCoarseCols; ++c) {
            cU[r * kCoarsePitch + c] = gXYU[c * 50 * kGY + r * 50];
            cV[r * kCoarsePitch + c] = gXYV[c * 50 * kGY + r * 50];
        }
        cRow[r] = bounds_of(&cU[r * kCoarsePitch], &cV[r * kCoarsePitch], kCoarseCols);
    }
    for (int r = 0; r < kMidRows; ++r) {
        for (int c = 0; c < kMidCols; ++c) {
            mU[r * kMidPitch + c] = gXYU[c * 5 * kGY + r * 5];
            mV[r * kMidPitch + c] = gXYV[c * 5 * kGY + r * 5];
        }
        for (int sgm = 0; sgm < kMidSegs; ++sgm) {
            const int c0 = sgm * 10;
            const int n = c0 + 10 <= kMidCols ? 10 : kMidCols - c0;
            mSeg[r * kMidSegs + sgm] =
                bounds_of(&mU[r * kMidPitch + c0], &mV[r * kMidPitch + c0], n);
        }
    }
}

struct Hit {
    int X, Y;
    double d;
};

inline double dist(double U, double V, double u, double v) {
    return std::fabs(U - u) + std::fabs(V - v);
}

}  // namespace

// The inverse search exactly as documented, point by point.
void search_plain(double u, double v, int *outX, int *outY, double *outD) {
    double best = 99999;
    int bx = 512, by = 384;
    for (int Y = 0; Y <= 800; Y += 50) {
        for (int X = 0; X <= 1050; X += 50) {
            const double d = dist(gXYU[X * kGY + Y], gXYV[X * kGY + Y], u, v);
            if (d < best) {
                best = d;
                bx = X;
                by = Y;
            }
        }
    }
    for (int step = 5, reach = 50; step >= 1; step /= 5, reach /= 10) {
        const int y0 = by - reach > 0 ? by - reach : 0;
        const int y1 = by + reach < kGY ? by + reach : kGY;
        const int x0 = bx - reach > 0 ? bx - reach : 0;
        const int x1 = bx + reach < kGX ? bx + reach : kGX;
        for (int Y = y0; Y < y1; Y += step) {
            for (int X = x0; X < x1; X += step) {
                const double d = dist(gXYU[X * kGY + Y], gXYV[X * kGY + Y], u, v);
                if (d < best) {
                    best = d;
                    bx = X;
                    by = Y;
                }
            }
        }
    }
    *outX = bx;
    *outY = by;
    *outD = best;
}

namespace {

// The same search on the packed lattices, skipping segments that cannot win.
Hit search_fast(double u, double v) {
    // Coarse stage: the row whose range lies nearest first, then the others
    // that can still hold a point at the best distance or closer.
    double lb[kCoarseRows];
    int first = 0;
    for (int r = 0; r < kCoarseRows; ++r) {
        lb[r] = lower_bound(cRow[r], u, v);
        if (lb[r] < lb[first])
            first = r;
    }
    double best = 99999;
    int bidx = -1;  // scan index Y * 22 + X of the best point; -1: none yet
    for (int pass = -1; pass < kCoarseRows; ++pass) {
        const int r = pass < 0 ? first : pass;
        if ((pass >= 0 && r == first) || lb[r] > best)
            continue;
        const double *pu = &cU[r * kCoarsePitch];
        const double *pv = &cV[r * kCoarsePitch];
        double d[kCoarsePitch];
        for (int c = 0; c < kCoarseCols; ++c)
            d[c] = dist(pu[c], pv[c], u, v);
        for (int c = 0; c < kCoarseCols; ++c) {
            const int idx = r * kCoarseCols + c;
            if (d[c] < best || (d[c] == best && idx < bidx)) {
                best = d[c];
                bidx = idx;
            }
        }
    }
    if (bidx < 0) {
        // No point within the initial distance: the later stages search
        // around the default point, off the lattices.
        Hit h;
        search_plain(u, v, &h.X, &h.Y, &h.d);
        return h;
    }
    int bx = (bidx % kCoarseCols) * 50;
    int by = (bidx / kCoarseCols) * 50;

    // Middle stage: lattice rows outward from the coarse point's row. The
    // coarse point keeps its place against any point at the same distance.
    {
        const int ym0 = (by - 50 > 0 ? by - 50 : 0) / 5;
        const int ym1 = ((by + 50 < kGY ? by + 50 : kGY) + 4) / 5;
        const int xm0 = (bx - 50 > 0 ? bx - 50 : 0) / 5;
        const int xm1 = ((bx + 50 < kGX ? bx + 50 : kGX) + 4) / 5;
        const int s0 = xm0 / 10, s1 = (xm1 - 1) / 10;
        const int centre = by / 5;
        int mbidx = -1;  // Ym * 256 + Xm
        const int rows = ym1 - ym0;
        for (int o = 0, taken = 0; taken < rows; ++o) {
            const int r = centre + ((o & 1) ? -((o + 1) / 2) : o / 2);
            if (r < ym0 || r >= ym1)
                continue;
            ++taken;
            for (int sgm = s0; sgm <= s1; ++sgm) {
                if (lower_bound(mSeg[r * kMidSegs + sgm], u, v) > best)
                    continue;
                const int c0 = sgm * 10;
                const int c1 = c0 + 10 <= kMidCols ? c0 + 10 : kMidCols;
                const double *pu = &mU[r * kMidPitch];
                const double *pv = &mV[r * kMidPitch];
                double d[10];
                for (int c = c0; c < c1; ++c)
                    d[c - c0] = dist(pu[c], pv[c], u, v);
                for (int c = c0; c < c1; ++c) {
                    const double dc = d[c - c0];
                    const int idx = r * 256 + c;
                    if (dc < best || (dc == best && idx < mbidx)) {
                        best = dc;
                        mbidx = idx;
                    }
                }
            }
        }
        if (mbidx >= 0) {
            bx = (mbidx % 256) * 5;
            by = (mbidx / 256) * 5;
        }
    }

    // Fine stage: every point of the 10 x 10 window, straight from the grids.
    {
        const int y0 = by - 5 > 0 ? by - 5 : 0;
        const int y1 = by + 5 < kGY ? by + 5 : kGY;
        const int x0 = bx - 5 > 0 ? bx - 5 : 0;
        const int x1 = bx + 5 < kGX ? bx + 5 : kGX;
        const int ny = y1 - y0;
        double d[10 * 10];
        double mn = best;
        for (int X = x0; X < x1; ++X) {
            const double *gu = &gXYU[X * kGY + y0];
            const double *gv = &gXYV[X * kGY + y0];
            for (int k = 0; k < ny; ++k) {
                const double dk = dist(gu[k], gv[k], u, v);
                d[k * 10 + (X - x0)] = dk;
                mn = dk < mn ? dk : mn;
            }
        }
        if (mn < best) {
            for (int Y = y0, found = 0; Y < y1 && !found; ++Y) {
                for (int X = x0; X < x1; ++X) {
                    if (d[(Y - y0) * 10 + (X - x0)] == mn) {
                        bx = X;
                        by = Y;
                        found = 1;
                        break;
                    }
                }
            }
            best = mn;
        }
    }
    return Hit{bx, by, best};
}

// Table rows handed out one at a time to whichever thread is free.
std::atomic<int> nextRow;
double lastDistance;

void search_rows(int m, int n) {
    for (;;) {
        const int i = nextRow.fetch_add(1, std::memory_order_relaxed);
        if (i >= m)
            return;
        const double u = Us[i];
        double *ox = &UVX[i * kPitch];
        double *oy = &UVY[i * kPitch];
        Hit h{0, 0, 0.0};
        for (int j = 0; j < n; ++j) {
            if (gridUsable) {
                h = search_fast(u, Vs[j]);
            } else {
                search_plain(u, Vs[j], &h.X, &h.Y, &h.d);
            }
            ox[j] = h.X - 30;
            oy[j] = h.Y - 30;
        }
        if (i == m - 1 && n > 0)
            lastDistance = h.d;
    }
}

// Runs work(part) for part 0 and 1, on a second thread when one can be had.
template <typename Work>
void run_two(Work work) {
    try {
        std::thread helper(work, 1);
        work(0);
        helper.join();
    } catch (const std::system_error &) {
        // No second thread: do both halves here (a failed start runs no work).
        work(0);
        work(1);
    }
}

}  // namespace

void fill_axes() {
    const int m = clamp_int(TableM, 0, NYX_TABLE_ROWS);
    const int n = clamp_int(TableN, 0, kPitch);
    for (int i = 0; i < m; ++i)
        Us[i] = static_cast<double>(STEP_U) * i;
    for (int j = 0; j < n; ++j)
        Vs[j] = static_cast<double>(STEP_V) * j;
}

void build_model() {
    const int nx = clamp_int(RefNx, 0, 7);
    const int ny = clamp_int(RefNy, 0, 7);
    for (int X = 0; X < kGX; ++X)
        planX[X] = fit_plan(Xs, nx, X - 30);
    for (int Y = 0; Y < kGY; ++Y)
        planY[Y] = fit_plan(Ys, ny, Y - 30);

    console("11\n");
    double a[NYX_REF_MAX];
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c)
            a[c] = UUl[c * NYX_REF_MAX + r];
        for (int X = 0; X < kGX; ++X)
            gXU[r * kGX + X] = fit_apply(planX[X], a);
    }
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c)
            a[c] = VVl[c * NYX_REF_MAX + r];
        for (int X = 0; X < kGX; ++X)
            gXV[r * kGX + X] = fit_apply(planX[X], a);
    }
    console("12\n");
    for (int c = 0; c < nx; ++c) {
        for (int Y = 0; Y < kGY; ++Y)
            gYU[c * kGY + Y] = fit_apply(planY[Y], &UUl[c * NYX_REF_MAX]);
    }
    for (int c = 0; c < nx; ++c) {
        for (int Y = 0; Y < kGY; ++Y)
            gYV[c * kGY + Y] = fit_apply(planY[Y], &VVl[c * NYX_REF_MAX]);
    }
    console("13\n");
    // Split point chosen so both halves cost about the same.
    constexpr int kHalf = kGX / 2;
    run_two([](int part) {
        const int x0 = part == 0 ? 0 : kHalf;
        const int x1 = part == 0 ? kHalf : kGX;
        forward_columns(x0, x1, gYU, gXU, gXYU);
        forward_columns(x0, x1, gYV, gXV, gXYV);
    });
    console("14\n");

    pack_lattices();
    const int m = clamp_int(TableM, 0, NYX_TABLE_ROWS);
    const int n = clamp_int(TableN, 0, kPitch);
    nextRow.store(0);
    lastDistance = minD;
    run_two([m, n](int) { search_rows(m, n); });
    if (m > 0 && n > 0)
        minD = lastDistance;
}

}  // namespace nyx
