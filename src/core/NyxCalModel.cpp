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
//   with the range of u and v over each lattice row (each window row for the
//   middle stage). A row whose range lies farther from the query than some
//   point's distance cannot hold a point that wins or ties, so it is skipped.
//   The distance |U - u| + |V - v| of any point is at least each of its two
//   terms, and rounding is monotonic, so the bound holds for the computed
//   distances too. The point where the previous query of the same table row
//   ended gives that distance from the start.
// - Along a table row only v changes. While the coarse winner's margin over
//   every other coarse point exceeds twice the distance v has moved (plus a
//   rounding allowance), it provably stays the only nearest point and the
//   coarse stage is not repeated.
// - Distances of four points are computed together; each lane keeps its
//   nearest point and scan index, and the lanes are merged taking the smaller
//   index among equal distances, which is the point the strict scan keeps
//   (the first in the documented order, Y outer, X inner).
// - Two threads split the grid columns and then the table rows.
#include "NyxCalModel.h"

#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>

#include "NyxCalFit.h"
#include "NyxCalLib.h"

// Hot loops get an AVX2 variant where the processor has it (x86 only), picked
// at load time by the function-version resolvers; the results are the same
// bits either way. NYX_PORTABLE_LOOPS (the build's INK_PORTABLE_CORE) compiles
// the portable loops alone, with no resolver: the thread sanitizer's runtime
// is not ready when resolvers run.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(NYX_PORTABLE_LOOPS)
#define NYX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define NYX_CLONES
#endif

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
inline __attribute__((always_inline)) void apply_strided(const FitPlan &p, const double *base,
                                                         int stride, int count, double *out) {
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
NYX_CLONES void forward_columns(int x0, int x1, const double *gY, const double *gX, double *gXY) {
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

// Four doubles processed together. Only exact operations (subtraction,
// absolute value, addition, comparison, minimum) are done on them, so the
// distances are those of the point-by-point search in every bit.

#pragma GCC diagnostic ignored "-Wpsabi"
typedef double vd4 __attribute__((vector_size(32)));
typedef long long vl4 __attribute__((vector_size(32)));

#define NYX_INLINE inline __attribute__((always_inline))

// Lane permutations: [2 3 0 1] swaps the halves, [1 0 3 2] the pairs.
#if defined(__clang__)
#define NYX_SWAP_HALVES(v) __builtin_shufflevector(v, v, 2, 3, 0, 1)
#define NYX_SWAP_PAIRS(v) __builtin_shufflevector(v, v, 1, 0, 3, 2)
#else
#define NYX_SWAP_HALVES(v) __builtin_shuffle(v, vl4{2, 3, 0, 1})
#define NYX_SWAP_PAIRS(v) __builtin_shuffle(v, vl4{1, 0, 3, 2})
#endif

NYX_INLINE vd4 splat(double x) {
    return vd4{x, x, x, x};
}
NYX_INLINE vd4 load4(const double *p) {
    vd4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
NYX_INLINE vd4 vabs(vd4 x) {
    const vl4 m = {0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL,
                   0x7FFFFFFFFFFFFFFFLL};
    return reinterpret_cast<vd4>(reinterpret_cast<vl4>(x) & m);
}
NYX_INLINE vd4 vmin(vd4 a, vd4 b) {
    return a < b ? a : b;
}
NYX_INLINE vd4 vmax(vd4 a, vd4 b) {
    return a > b ? a : b;
}
NYX_INLINE double hmin(vd4 a) {
    const double x = a[0] < a[1] ? a[0] : a[1];
    const double y = a[2] < a[3] ? a[2] : a[3];
    return x < y ? x : y;
}
NYX_INLINE vd4 dist4(const double *pu, const double *pv, vd4 u, vd4 v) {
    return vabs(load4(pu) - u) + vabs(load4(pv) - v);
}

constexpr double kInf = __builtin_inf();
constexpr int kCoarseCols = 22;  // X = 0, 50, ..., 1050
constexpr int kCoarseRows = 17;  // Y = 0, 50, ..., 800
constexpr int kCoarsePitch = 24;
constexpr int kCoarseRowsPadded = 20;
constexpr int kMidCols = 217;  // X = 0, 5, ..., 1080
constexpr int kMidRows = 166;  // Y = 0, 5, ..., 825
constexpr int kMidPitch = 224;
constexpr int kMidRowsPadded = 172;
constexpr int kWindows = 22;  // middle windows, one per coarse column

// Lattice values, row by row, padded with +inf (never the nearest).
alignas(32) double cU[kCoarseRows * kCoarsePitch], cV[kCoarseRows * kCoarsePitch];
alignas(32) double mU[kMidRows * kMidPitch], mV[kMidRows * kMidPitch];

// Range of u and v over each coarse row, and over each middle-lattice row of
// each middle window (the columns a window around coarse column b covers).
struct RowRanges {
    alignas(32) double minU[kMidRowsPadded];
    alignas(32) double maxU[kMidRowsPadded];
    alignas(32) double minV[kMidRowsPadded];
    alignas(32) double maxV[kMidRowsPadded];
};
RowRanges cRange;
RowRanges mRange[kWindows];

bool gridUsable;   // no NaN in the forward grids
double gridSlack;  // bound of the rounding in a distance change; +inf: unknown

void range_of(const double *u, const double *v, int n, RowRanges &rr, int row) {
    double a = u[0], b = u[0], c = v[0], d = v[0];
    for (int k = 1; k < n; ++k) {
        a = u[k] < a ? u[k] : a;
        b = u[k] > b ? u[k] : b;
        c = v[k] < c ? v[k] : c;
        d = v[k] > d ? v[k] : d;
    }
    rr.minU[row] = a;
    rr.maxU[row] = b;
    rr.minV[row] = c;
    rr.maxV[row] = d;
}

void pad_ranges(RowRanges &rr, int from) {
    for (int r = from; r < kMidRowsPadded; ++r) {
        rr.minU[r] = rr.minV[r] = kInf;
        rr.maxU[r] = rr.maxV[r] = -kInf;
    }
}

// Bit k set where lane k of c is set.
NYX_INLINE unsigned mask4(vl4 c) {
    vl4 b = c & vl4{1, 2, 4, 8};
    b = b | NYX_SWAP_HALVES(b);
    b = b | NYX_SWAP_PAIRS(b);
    return static_cast<unsigned>(b[0]);
}

// Lower bounds of the distance from (u, v) of every point of rows r0 .. r0+3:
// a distance is at least each of its two terms, and each term at least the
// gap between the query and the row's range.
NYX_INLINE vd4 row_bounds(const RowRanges &rr, int r0, vd4 u, vd4 v) {
    const vd4 a = vmax(load4(&rr.minU[r0]) - u, u - load4(&rr.maxU[r0]));
    const vd4 b = vmax(load4(&rr.minV[r0]) - v, v - load4(&rr.maxV[r0]));
    return vmax(a, b);
}

// Whether grid values k0 .. k1-1 hold a NaN, and their largest magnitude.
struct GridScan {
    bool nan;
    double reach;
};
GridScan gridScan[2];

NYX_CLONES GridScan scan_grid(int k0, int k1) {
    vl4 nan = {0, 0, 0, 0};
    vd4 top = splat(0);
    for (int k = k0; k < k1; k += 4) {
        const vd4 a = load4(&gXYU[k]), b = load4(&gXYV[k]);
        nan |= (a != a) | (b != b);
        top = vmax(top, vmax(vabs(a), vabs(b)));
    }
    GridScan g;
    g.nan = (nan[0] | nan[1] | nan[2] | nan[3]) != 0;
    g.reach = top[0];
    for (int k = 1; k < 4; ++k)
        g.reach = top[k] > g.reach ? top[k] : g.reach;
    return g;
}

void pack_lattices(double queryReach) {
    const bool finite = !gridScan[0].nan && !gridScan[1].nan;
    double reach = queryReach;
    for (const GridScan &g : gridScan)
        reach = g.reach > reach ? g.reach : reach;
    // Distances are sums of two absolute differences of such values; their
    // rounding stays far below this (a few units in the last place).
    gridSlack = 1e-12 * (reach + 1);
    gridUsable = finite;
    if (!finite)
        return;
    for (int r = 0; r < kCoarseRows; ++r) {
        for (int c = 0; c < kCoarsePitch; ++c) {
            cU[r * kCoarsePitch + c] = c < kCoarseCols ? gXYU[c * 50 * kGY + r * 50] : kInf;
            cV[r * kCoarsePitch + c] = c < kCoarseCols ? gXYV[c * 50 * kGY + r * 50] : kInf;
        }
        range_of(&cU[r * kCoarsePitch], &cV[r * kCoarsePitch], kCoarseCols, cRange, r);
    }
    pad_ranges(cRange, kCoarseRows);
    for (int r = 0; r < kMidRows; ++r) {
        for (int c = 0; c < kMidPitch; ++c) {
            mU[r * kMidPitch + c] = c < kMidCols ? gXYU[c * 5 * kGY + r * 5] : kInf;
            mV[r * kMidPitch + c] = c < kMidCols ? gXYV[c * 5 * kGY + r * 5] : kInf;
        }
        for (int b = 0; b < kWindows; ++b) {
            const int c0 = b > 0 ? (b - 1) * 10 : 0;
            const int c1 = (b + 1) * 10 < kMidCols ? (b + 1) * 10 : kMidCols;
            range_of(&mU[r * kMidPitch + c0], &mV[r * kMidPitch + c0], c1 - c0, mRange[b], r);
        }
    }
    for (RowRanges &rr : mRange)
        pad_ranges(rr, kMidRows);
}

struct Hit {
    int X, Y;
    double d;
};

inline double dist(double U, double V, double u, double v) {
    return std::fabs(U - u) + std::fabs(V - v);
}

// Where the previous search of the same table row ended in each stage. Its
// distance from the next query bounds that query's nearest distance, which
// lets whole lattice rows be skipped from the start. It changes only how much
// is computed, never the result.
//
// The coarse point also carries the margin by which it was the one nearest
// point at the query where the coarse stage last ran in full. Moving the query
// by dv along v changes every distance by at most |dv| (plus rounding, bounded
// by gridSlack), so while the margin exceeds twice that, the same point is
// still the only nearest one and the stage need not run.
//
// This record and Nearest below are plain aggregates with named starting
// values rather than default member initializers: the implicit constructor
// those make, called from a function with target clones, is left undefined
// by some clang releases (19 among them).
struct Recent {
    int coarse;        // index into cU / cV
    double coarseGap;  // margin at coarseV; negative: none
    double coarseV;
    int midX, midY;  // middle-lattice column and row
};
constexpr Recent kNoRecent = {-1, -1, 0, -1, -1};

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

// The nearest point seen so far in each of four lanes, with its scan index
// (Y outer, X inner). Fed in scan order per lane, a strict comparison keeps
// the first of equal distances, as the point-by-point scan does.
struct Nearest {
    vd4 d;
    vd4 idx;

    NYX_INLINE void add(vd4 dist, vd4 index) {
        const vl4 closer = dist < d;
        d = closer ? dist : d;
        idx = closer ? index : idx;
    }
};

// No point seen yet.
NYX_INLINE Nearest no_nearest() {
    return Nearest{splat(kInf), splat(0)};
}

NYX_INLINE vd4 swap_halves(vd4 a) {
    return NYX_SWAP_HALVES(a);
}
NYX_INLINE vd4 swap_pairs(vd4 a) {
    return NYX_SWAP_PAIRS(a);
}

// Lane by lane, the nearer of two candidates, the smaller index among equals.
NYX_INLINE Nearest nearer(const Nearest &a, const Nearest &b) {
    const vl4 takeB = (b.d < a.d) | ((b.d == a.d) & (b.idx < a.idx));
    Nearest n;
    n.d = takeB ? b.d : a.d;
    n.idx = takeB ? b.idx : a.idx;
    return n;
}

// The lane with the smallest distance, the smallest index among equals.
NYX_INLINE void settle(const Nearest &n, double &d, double &idx) {
    Nearest s{swap_halves(n.d), swap_halves(n.idx)};
    Nearest m = nearer(n, s);
    s = Nearest{swap_pairs(m.d), swap_pairs(m.idx)};
    m = nearer(m, s);
    d = m.d[0];
    idx = m.idx[0];
}

// The coarse stage over every lattice row that may hold the nearest point.
// Leaves the nearest point (the first in scan order among equals) and its
// margin to all other points in recent; returns its distance.
NYX_INLINE double coarse_in_full(double u, double v, Recent &recent) {
    const vd4 vu = splat(u), vv = splat(v);
    const vd4 lanes = {0, 1, 2, 3};
    double limit = 99999;
    if (recent.coarse >= 0) {
        const double d = dist(cU[recent.coarse], cV[recent.coarse], u, v);
        limit = d < limit ? d : limit;
    }
    unsigned rows = 0;
    vd4 skipped = splat(kInf);  // bounds of the rows not scanned
    for (int r = 0; r < kCoarseRowsPadded; r += 4) {
        const vd4 b = row_bounds(cRange, r, vu, vv);
        const vl4 scan = b <= limit;
        rows |= mask4(scan) << r;
        skipped = vmin(skipped, scan ? splat(kInf) : b);
    }
    rows &= (1u << kCoarseRows) - 1;
    double second = hmin(skipped);  // nearest distance of every other point, or a bound
    Nearest cn = no_nearest();
    for (unsigned scan = rows; scan != 0; scan &= scan - 1) {
        const int r = __builtin_ctz(scan);
        const double *pu = &cU[r * kCoarsePitch];
        const double *pv = &cV[r * kCoarsePitch];
        for (int q = 0; q < kCoarsePitch / 4; ++q) {
            cn.add(dist4(pu + 4 * q, pv + 4 * q, vu, vv), lanes + (r * kCoarsePitch + 4 * q));
        }
    }
    double coarseD = kInf, coarseIdx = 0;
    settle(cn, coarseD, coarseIdx);
    vd4 m = splat(kInf);
    for (unsigned scan = rows; scan != 0; scan &= scan - 1) {
        const int r = __builtin_ctz(scan);
        const double *pu = &cU[r * kCoarsePitch];
        const double *pv = &cV[r * kCoarsePitch];
        for (int q = 0; q < kCoarsePitch / 4; ++q) {
            const vd4 d = dist4(pu + 4 * q, pv + 4 * q, vu, vv);
            const vl4 self = (lanes + (r * kCoarsePitch + 4 * q)) == coarseIdx;
            m = vmin(m, self ? splat(kInf) : d);
        }
    }
    const double others = hmin(m);
    second = others < second ? others : second;
    recent.coarse = static_cast<int>(coarseIdx);
    recent.coarseGap = second - coarseD;
    recent.coarseV = v;
    return coarseD;
}

// The same search on the packed lattices. Each stage finds the smallest
// distance over every lattice row that may hold it, and the first point in
// scan order at that distance: the point a strict scan would keep.
NYX_INLINE Hit search_packed(double u, double v, Recent &recent) {
    const vd4 vu = splat(u), vv = splat(v);
    const vd4 lanes = {0, 1, 2, 3};

    // Coarse stage.
    double coarseD;
    if (recent.coarse >= 0 &&
        recent.coarseGap > 2 * std::fabs(v - recent.coarseV) + 2 * gridSlack) {
        coarseD = dist(cU[recent.coarse], cV[recent.coarse], u, v);
    } else {
        coarseD = coarse_in_full(u, v, recent);
    }
    if (!(coarseD < 99999)) {
        // Nothing within the initial distance: the later stages search around
        // the default point, off the lattices.
        recent = kNoRecent;
        Hit h;
        search_plain(u, v, &h.X, &h.Y, &h.d);
        return h;
    }
    const int cc = recent.coarse % kCoarsePitch;
    int bx = cc * 50, by = recent.coarse / kCoarsePitch * 50;
    double best = coarseD;

    // Middle stage: the 5-unit lattice rows of the window around the coarse
    // point. The coarse point itself keeps its place on a tie.
    {
        const int ym0 = (by - 50 > 0 ? by - 50 : 0) / 5;
        const int ym1 = ((by + 50 < kGY ? by + 50 : kGY) + 4) / 5;
        const int xm0 = (bx - 50 > 0 ? bx - 50 : 0) / 5;
        const int width = ((bx + 50 < kGX ? bx + 50 : kGX) + 4) / 5 - xm0;
        const RowRanges &rr = mRange[cc];
        double mlimit = best;
        if (recent.midY >= ym0 && recent.midY < ym1 && recent.midX >= xm0 &&
            recent.midX < xm0 + width) {
            const int k = recent.midY * kMidPitch + recent.midX;
            const double d = dist(mU[k], mV[k], u, v);
            mlimit = d < mlimit ? d : mlimit;
        }
        // Every row is read as 20 columns; those beyond the window never count.
        vl4 beyond[5];
        for (int q = 0; q < 5; ++q)
            beyond[q] = lanes + 4.0 * q >= static_cast<double>(width);
        unsigned scan = 0;
        for (int r = 0; r < ym1 - ym0; r += 4) {
            scan |= mask4(row_bounds(rr, ym0 + r, vu, vv) <= mlimit) << r;
        }
        scan &= (1u << (ym1 - ym0)) - 1;
        Nearest mn = no_nearest();
        for (; scan != 0; scan &= scan - 1) {
            const int row = (ym0 + __builtin_ctz(scan)) * kMidPitch + xm0;
            const double *pu = &mU[row];
            const double *pv = &mV[row];
            for (int q = 0; q < 5; ++q) {
                const vd4 d = dist4(pu + 4 * q, pv + 4 * q, vu, vv);
                mn.add(beyond[q] ? splat(kInf) : d, lanes + (row + 4 * q));
            }
        }
        double midD = kInf, midIdx = 0;
        settle(mn, midD, midIdx);
        if (midD < best) {
            best = midD;
            const int k = static_cast<int>(midIdx);
            bx = k % kMidPitch * 5;
            by = k / kMidPitch * 5;
        }
        recent.midX = bx / 5;
        recent.midY = by / 5;
    }

    // Fine stage: every point of the 10 x 10 window, column by column from
    // the grids (a column's rows are contiguous there). Three loads of four
    // rows cover a column without reading past it; each load position keeps
    // its own nearest point, fed in scan order as X advances.
    {
        const int y0 = by - 5 > 0 ? by - 5 : 0;
        const int y1 = by + 5 < kGY ? by + 5 : kGY;
        const int x0 = bx - 5 > 0 ? bx - 5 : 0;
        const int x1 = bx + 5 < kGX ? bx + 5 : kGX;
        const int ny = y1 - y0;  // 5, 8 or 10
        const int o1 = ny > 8 ? 4 : ny - 4, o2 = ny - 4;
        Nearest f0 = no_nearest(), f1 = no_nearest(), f2 = no_nearest();
        const vd4 i0 = lanes * 16.0, i1 = (lanes + o1) * 16.0, i2 = (lanes + o2) * 16.0;
        vd4 xo = splat(0);
        for (int X = x0; X < x1; ++X, xo += 1.0) {
            const double *gu = &gXYU[X * kGY + y0];
            const double *gv = &gXYV[X * kGY + y0];
            f0.add(dist4(gu, gv, vu, vv), i0 + xo);
            f1.add(dist4(gu + o1, gv + o1, vu, vv), i1 + xo);
            f2.add(dist4(gu + o2, gv + o2, vu, vv), i2 + xo);
        }
        double fineD = kInf, fineIdx = 0;
        settle(nearer(nearer(f0, f1), f2), fineD, fineIdx);
        if (fineD < best) {
            const int k = static_cast<int>(fineIdx);
            bx = x0 + k % 16;
            by = y0 + k / 16;
            best = fineD;
        }
    }
    return Hit{bx, by, best};
}

// One row of the camera-to-screen table (AVX2 where the processor has it and
// the build dispatches; the results are the same either way).
NYX_CLONES double search_table_row(int i, int n) {
    const double u = Us[i];
    double *ox = &UVX[i * kPitch];
    double *oy = &UVY[i * kPitch];
    Recent recent = kNoRecent;
    Hit h{0, 0, 0.0};
    for (int j = 0; j < n; ++j) {
        h = search_packed(u, Vs[j], recent);
        ox[j] = h.X - 30;
        oy[j] = h.Y - 30;
    }
    return h.d;
}

// Table rows handed out one at a time to whichever thread is free.
std::atomic<int> nextRow;
// Grid columns handed out kChunk at a time.
std::atomic<int> nextChunk;
constexpr int kChunk = 32;
double lastDistance;

void search_rows(int m, int n) {
    for (;;) {
        const int i = nextRow.fetch_add(1, std::memory_order_relaxed);
        if (i >= m)
            return;
        double d = 0;
        if (gridUsable) {
            d = search_table_row(i, n);
        } else {
            Hit h{0, 0, 0.0};
            for (int j = 0; j < n; ++j) {
                search_plain(Us[i], Vs[j], &h.X, &h.Y, &h.d);
                UVX[i * kPitch + j] = h.X - 30;
                UVY[i * kPitch + j] = h.Y - 30;
            }
            d = h.d;
        }
        if (i == m - 1 && n > 0)
            lastDistance = d;
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
    // Columns handed out in small chunks, so that a thread the system holds
    // back leaves its share to the other.
    nextChunk.store(0);
    run_two([](int part) {
        GridScan seen{false, 0.0};
        for (;;) {
            const int x0 = nextChunk.fetch_add(kChunk, std::memory_order_relaxed);
            if (x0 >= kGX)
                break;
            const int x1 = x0 + kChunk < kGX ? x0 + kChunk : kGX;
            forward_columns(x0, x1, gYU, gXU, gXYU);
            forward_columns(x0, x1, gYV, gXV, gXYV);
            const GridScan g = scan_grid(x0 * kGY, x1 * kGY);
            seen.nan = seen.nan || g.nan;
            seen.reach = g.reach > seen.reach ? g.reach : seen.reach;
        }
        gridScan[part] = seen;
    });
    console("14\n");

    pack_lattices(STEP_U * 800.0 + STEP_V * 800.0);
    const int m = clamp_int(TableM, 0, NYX_TABLE_ROWS);
    const int n = clamp_int(TableN, 0, kPitch);
    nextRow.store(0);
    lastDistance = minD;
    run_two([m, n](int) { search_rows(m, n); });
    if (m > 0 && n > 0)
        minD = lastDistance;
}

}  // namespace nyx
