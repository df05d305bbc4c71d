// Building blocks of the core's interpolation, shared by the per-point
// operations (BWFIT3P, BW1DFIT, xy2u, ...) and the table builder.
//
// A fit is split into a plan, which depends only on the node abscissae and the
// abscissa t, and its application to the node values. Applying a plan performs
// exactly the floating-point operations of the direct formula, in the same
// order, so a plan computed once and applied to many value sets gives the same
// bits as evaluating the formula each time.
#pragma once

#include <cmath>

namespace nyx {

// Weights of the parabola through nodes k, k+1, k+2 at t (Lagrange form).
struct Fit3 {
    double w0, w1, w2;
};

inline Fit3 fit3_weights(const double *X, int k, double t) {
    const double X0 = X[k], X1 = X[k + 1], X2 = X[k + 2];
    if (X0 == X1 || X0 == X2 || X1 == X2) {
        // Coincident nodes have no parabola; take the first node's value.
        return Fit3{1.0, 0.0, 0.0};
    }
    Fit3 w;
    w.w0 = ((t - X1) * (t - X2) / (X0 - X1)) / (X0 - X2);
    w.w1 = ((t - X0) * (t - X2) / (X1 - X0)) / (X1 - X2);
    w.w2 = ((t - X0) * (t - X1) / (X2 - X0)) / (X2 - X1);
    return w;
}

inline double fit3_apply(const double *Y, int k, const Fit3 &w) {
    return Y[k] * w.w0 + Y[k + 1] * w.w1 + Y[k + 2] * w.w2;
}

enum class FitKind : unsigned char { Zero, First, Line, Single, Blend };

// How the blended piecewise-parabolic interpolant of n nodes is evaluated at t.
struct FitPlan {
    FitKind kind;
    int k;       // first node of the (first) parabola
    Fit3 p1;     // the parabola, or the left one of a blend
    Fit3 p2;     // the right parabola of a blend
    double a;    // Line: t - X0.       Blend: X[k] - t
    double b;    // Blend: t - X[k-1]
    double den;  // Line: X1 - X0.      Blend: X[k] - X[k-1]
};

inline FitPlan fit_plan(const double *X, int n, double t) {
    FitPlan p{};
    if (n < 1) {
        p.kind = FitKind::Zero;
        return p;
    }
    if (n == 1) {
        p.kind = FitKind::First;
        return p;
    }
    if (n == 2) {
        p.den = X[1] - X[0];
        if (p.den == 0) {
            p.kind = FitKind::First;
            return p;
        }
        p.kind = FitKind::Line;
        p.a = t - X[0];
        return p;
    }
    p.kind = FitKind::Single;
    if (n == 3 || t <= X[1]) {
        p.k = 0;
    } else if (t >= X[n - 2]) {
        p.k = n - 3;
    } else {
        int k = 1;
        while (k < n - 1 && !(X[k] >= t))
            ++k;
        if (k < 2 || k > n - 2) {
            // Only reachable with nodes that are not increasing (or a NaN t).
            p.k = n - 3;
            p.p1 = fit3_weights(X, p.k, t);
            return p;
        }
        p.den = X[k] - X[k - 1];
        p.k = k - 2;
        p.p1 = fit3_weights(X, k - 2, t);
        if (p.den == 0)
            return p;
        p.kind = FitKind::Blend;
        p.p2 = fit3_weights(X, k - 1, t);
        p.a = X[k] - t;
        p.b = t - X[k - 1];
        return p;
    }
    p.p1 = fit3_weights(X, p.k, t);
    return p;
}

inline double fit_apply(const FitPlan &p, const double *Y) {
    switch (p.kind) {
        case FitKind::Zero:
            return 0.0;
        case FitKind::First:
            return Y[0];
        case FitKind::Line:
            return Y[0] + (Y[1] - Y[0]) * p.a / p.den;
        case FitKind::Single:
            return fit3_apply(Y, p.k, p.p1);
        case FitKind::Blend: {
            const double P1 = fit3_apply(Y, p.k, p.p1);
            const double P2 = fit3_apply(Y, p.k + 1, p.p2);
            return P1 * p.a / p.den + P2 * p.b / p.den;
        }
    }
    return 0.0;
}

// Grid index (0 .. size-1) of the grid line at or toward zero from a nominal
// coordinate; points outside the grid (and NaN) are held at its edge.
inline int grid_index(double nominal, int size) {
    const double t = std::trunc(nominal) + 30.0;
    if (!(t >= 0.0))
        return 0;
    if (t > size - 1)
        return size - 1;
    return static_cast<int>(t);
}

// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
inline int trunc_to_int(double v) {
    if (!(v == v))
        return 0;
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(v);
}

}  // namespace nyx
