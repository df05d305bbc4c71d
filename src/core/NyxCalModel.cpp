#include "NyxCalModel.h"

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
    console("11\n");
    double a[NYX_REF_MAX];
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c)
            a[c] = UUl[c * NYX_REF_MAX + r];
        for (int X = 0; X < kGX; ++X)
            gXU[r * kGX + X] = BW1DFIT(Xs, a, nx, X - 30);
    }
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c)
            a[c] = VVl[c * NYX_REF_MAX + r];
        for (int X = 0; X < kGX; ++X)
            gXV[r * kGX + X] = BW1DFIT(Xs, a, nx, X - 30);
    }
    console("12\n");
    for (int c = 0; c < nx; ++c) {
        for (int Y = 0; Y < kGY; ++Y)
            gYU[c * kGY + Y] = BW1DFIT(Ys, &UUl[c * NYX_REF_MAX], ny, Y - 30);
    }
    for (int c = 0; c < nx; ++c) {
        for (int Y = 0; Y < kGY; ++Y)
            gYV[c * kGY + Y] = BW1DFIT(Ys, &VVl[c * NYX_REF_MAX], ny, Y - 30);
    }
    console("13\n");
    for (int Y = 0; Y < kGY; ++Y) {
        for (int X = 0; X < kGX; ++X) {
            gXYU[X * kGY + Y] = xy2u(X - 30, Y - 30);
            gXYV[X * kGY + Y] = xy2v(X - 30, Y - 30);
        }
    }
    console("14\n");
    const int m = clamp_int(TableM, 0, NYX_TABLE_ROWS);
    const int n = clamp_int(TableN, 0, kPitch);
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j) {
            const double uv[2] = {Us[i], Vs[j]};
            double xy[2];
            uv2xy(uv, xy);
            UVX[i * kPitch + j] = xy[0];
            UVY[i * kPitch + j] = xy[1];
        }
    }
}

}  // namespace nyx
