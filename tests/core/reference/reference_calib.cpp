#include "reference_calib.h"

#include <cmath>
#include <cstring>

#include "NyxCalLib.h"

namespace reftest {

namespace {

double fit3(const double *X, const double *Y, int k, double t) {
    double X0 = X[k], X1 = X[k + 1], X2 = X[k + 2];
    double w0 = ((t - X1) * (t - X2) / (X0 - X1)) / (X0 - X2);
    double w1 = ((t - X0) * (t - X2) / (X1 - X0)) / (X1 - X2);
    double w2 = ((t - X0) * (t - X1) / (X2 - X0)) / (X2 - X1);
    return Y[k] * w0 + Y[k + 1] * w1 + Y[k + 2] * w2;
}

double fit1d(const double *X, const double *Y, int n, double t) {
    if (n == 2)
        return Y[0] + (Y[1] - Y[0]) * (t - X[0]) / (X[1] - X[0]);
    if (n == 3)
        return fit3(X, Y, 0, t);
    if (t <= X[1])
        return fit3(X, Y, 0, t);
    if (t >= X[n - 2])
        return fit3(X, Y, n - 3, t);
    int k = 1;
    while (X[k] < t)
        k++;
    double P1 = fit3(X, Y, k - 2, t);
    double P2 = fit3(X, Y, k - 1, t);
    return P1 * (X[k] - t) / (X[k] - X[k - 1]) + P2 * (t - X[k - 1]) / (X[k] - X[k - 1]);
}

double xy2(double x, double y, const double *gY, const double *gX) {
    int Y = (int)y + 30;
    int X = (int)x + 30;
    double a[8], b[8];
    for (int c = 0; c < RefNx; c++)
        a[c] = gY[c * 828 + Y];
    double r1 = fit1d(Xs, a, RefNx, x);
    for (int r = 0; r < RefNy; r++)
        b[r] = gX[r * 1084 + X];
    double r2 = fit1d(Ys, b, RefNy, y);
    return (r1 + r2) / 2;
}

void search(double u, double v, double *x, double *y) {
    double d;
    int bx = 512, by = 384;
    minD = 99999;
    for (int Y = 0; Y <= 800; Y += 50)
        for (int X = 0; X <= 1050; X += 50) {
            d = fabs(gXYU[X * 828 + Y] - u) + fabs(gXYV[X * 828 + Y] - v);
            if (d < minD) {
                minD = d;
                bx = X;
                by = Y;
            }
        }
    int cx = bx, cy = by;
    for (int Y = (cy - 50 > 0 ? cy - 50 : 0); Y < (cy + 50 < 828 ? cy + 50 : 828); Y += 5)
        for (int X = (cx - 50 > 0 ? cx - 50 : 0); X < (cx + 50 < 1084 ? cx + 50 : 1084); X += 5) {
            d = fabs(gXYU[X * 828 + Y] - u) + fabs(gXYV[X * 828 + Y] - v);
            if (d < minD) {
                minD = d;
                bx = X;
                by = Y;
            }
        }
    cx = bx;
    cy = by;
    for (int Y = (cy - 5 > 0 ? cy - 5 : 0); Y < (cy + 5 < 828 ? cy + 5 : 828); Y++)
        for (int X = (cx - 5 > 0 ? cx - 5 : 0); X < (cx + 5 < 1084 ? cx + 5 : 1084); X++) {
            d = fabs(gXYU[X * 828 + Y] - u) + fabs(gXYV[X * 828 + Y] - v);
            if (d < minD) {
                minD = d;
                bx = X;
                by = Y;
            }
        }
    *x = bx - 30;
    *y = by - 30;
}

}  // namespace

void reference_InitUV(const double *Ul, const double *Vl) {
    for (int i = 0; i < TableM; i++)
        Us[i] = STEP_U * i;
    for (int j = 0; j < TableN; j++)
        Vs[j] = STEP_V * j;
    for (int r = 0; r < RefNy; r++)
        for (int c = 0; c < RefNx; c++) {
            UUl[c * 8 + r] = Ul[r * RefNx + c];
            VVl[c * 8 + r] = Vl[r * RefNx + c];
        }
    double a[8];
    for (int r = 0; r < RefNy; r++) {
        for (int c = 0; c < RefNx; c++)
            a[c] = UUl[c * 8 + r];
        for (int X = 0; X < 1084; X++)
            gXU[r * 1084 + X] = fit1d(Xs, a, RefNx, X - 30);
    }
    for (int r = 0; r < RefNy; r++) {
        for (int c = 0; c < RefNx; c++)
            a[c] = VVl[c * 8 + r];
        for (int X = 0; X < 1084; X++)
            gXV[r * 1084 + X] = fit1d(Xs, a, RefNx, X - 30);
    }
    for (int c = 0; c < RefNx; c++)
        for (int Y = 0; Y < 828; Y++)
            gYU[c * 828 + Y] = fit1d(Ys, &UUl[c * 8], RefNy, Y - 30);
    for (int c = 0; c < RefNx; c++)
        for (int Y = 0; Y < 828; Y++)
            gYV[c * 828 + Y] = fit1d(Ys, &VVl[c * 8], RefNy, Y - 30);
    for (int Y = 0; Y < 828; Y++)
        for (int X = 0; X < 1084; X++) {
            gXYU[X * 828 + Y] = xy2(X - 30, Y - 30, gYU, gXU);
            gXYV[X * 828 + Y] = xy2(X - 30, Y - 30, gYV, gXV);
        }
    for (int i = 0; i < TableM; i++)
        for (int j = 0; j < TableN; j++) {
            double x, y;
            search(Us[i], Vs[j], &x, &y);
            UVX[i * 800 + j] = x;
            UVY[i * 800 + j] = y;
        }
}

void snapshot(double *dst) {
    double *p = dst;
    auto put = [&p](const double *src, size_t n) {
        std::memcpy(p, src, n * sizeof(double));
        p += n;
    };
    put(gXU, 8 * 1084);
    put(gXV, 8 * 1084);
    put(gYU, 8 * 828);
    put(gYV, 8 * 828);
    put(gXYU, 1084 * 828);
    put(gXYV, 1084 * 828);
    put(UVX, 800 * 800);
    put(UVY, 800 * 800);
    put(&minD, 1);
}

long first_difference(const double *a, const double *b) {
    for (long k = 0; k < kSnapshotDoubles; ++k) {
        if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
            return k;
    }
    return -1;
}

}  // namespace reftest
