// The core's model build against the plain transcription, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "NyxCalLib.h"
#include "reference/reference_calib.h"

namespace {

struct Case {
    int nx, ny, space, w, h, hw;
    double bend;  // strength of the lens distortion of the synthetic camera
};

// A camera looking at the screen slightly rotated, with barrel distortion:
// reference values of the grid that Calib_Init laid out.
void synthetic_camera(double bend, unsigned seed, double *ul, double *vl) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-1.5, 1.5);
    for (int k = 0; k < 49; ++k)
        ul[k] = vl[k] = 0;
    for (int r = 0; r < RefNy; ++r) {
        for (int c = 0; c < RefNx; ++c) {
            const double x = (Xs[c] - 512) / 512, y = (Ys[r] - 384) / 384;
            const double k2 = 1 + bend * (x * x + y * y);
            ul[r * RefNx + c] = 505 + 430 * x * k2 + 18 * y + jitter(rng);
            vl[r * RefNx + c] = 300 + 250 * y * k2 - 12 * x + jitter(rng);
        }
    }
}

// The model Calib_InitUV builds from ul and vl, against the transcription's.
void expect_same_model(double *ul, double *vl) {
    std::vector<double> expect(reftest::kSnapshotDoubles), got(reftest::kSnapshotDoubles);
    reftest::reference_InitUV(ul, vl);
    reftest::snapshot(expect.data());
    // Spoil everything the build writes, so stale tables cannot pass.
    std::fill(gXU, gXU + RefNy * 1084, -7.0);
    std::fill(gXV, gXV + RefNy * 1084, -7.0);
    std::fill(gYU, gYU + RefNx * 828, -7.0);
    std::fill(gYV, gYV + RefNx * 828, -7.0);
    std::fill(gXYU, gXYU + 1084 * 828, -7.0);
    std::fill(gXYV, gXYV + 1084 * 828, -7.0);
    for (int i = 0; i < TableM; ++i) {
        std::fill(UVX + i * 800, UVX + i * 800 + TableN, -7.0);
        std::fill(UVY + i * 800, UVY + i * 800 + TableN, -7.0);
    }
    Calib_InitUV(ul, vl);
    reftest::snapshot(got.data());
    const long diff = reftest::first_difference(expect.data(), got.data());
    EXPECT_EQ(diff, -1) << "first difference at " << diff << " (" << (diff >= 0 ? expect[diff] : 0)
                        << " vs " << (diff >= 0 ? got[diff] : 0) << ")";
}

void expect_same_build(const Case &cs, unsigned seed) {
    int refX[8], refY[8];
    Calib_Init(cs.nx, cs.ny, cs.space, cs.w, cs.h, cs.hw, refX, refY);
    double ul[49], vl[49];
    synthetic_camera(cs.bend, seed, ul, vl);
    SCOPED_TRACE(testing::Message() << "grid " << cs.nx << "x" << cs.ny << " space " << cs.space
                                    << " screen " << cs.w << "x" << cs.h << " type " << cs.hw);
    expect_same_model(ul, vl);
}

TEST(ModelBuild, FastBuildEqualsTranscriptionForType65Grids) {
    const Case cases[] = {
        {7, 7, 5, 1024, 768, 65, 0.08},  {4, 3, 5, 1024, 768, 65, 0.05},
        {5, 4, 8, 1920, 1080, 65, 0.12}, {3, 3, 3, 1280, 1024, 65, -0.06},
        {6, 5, 10, 800, 600, 65, 0.02},  {2, 2, 4, 1024, 768, 65, 0.0},
    };
    unsigned seed = 1;
    for (const Case &cs : cases)
        expect_same_build(cs, seed++);
}

TEST(ModelBuild, FastBuildEqualsTranscriptionForOtherGeometries) {
    // An unknown hardware type keeps the geometry it finds: here the initial
    // one (250 x 250, steps 4 and 3).
    TableM = 250;
    TableN = 250;
    STEP_U = 4;
    STEP_V = 3;
    expect_same_build({7, 5, 5, 1024, 768, 66, 0.1}, 11);
    expect_same_build({4, 4, 6, 1366, 768, 65, 0.07}, 12);
    // A camera that sees only part of the lattice, and one so distorted that
    // the coarse stage lands far from the answer.
    expect_same_build({5, 5, 5, 1024, 768, 65, 0.6}, 13);
    expect_same_build({7, 7, 2, 1024, 768, 65, -0.3}, 14);
}

TEST(ModelBuild, ConstantCameraGivesTiesEverywhere) {
    // Every reference point at the same camera position: the grids are flat
    // up to rounding, so nearly every search is decided by ties and by the
    // last bits of the fits.
    int refX[8], refY[8];
    Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY);
    double ul[49], vl[49];
    for (int k = 0; k < 49; ++k) {
        ul[k] = 400;
        vl[k] = 300;
    }
    expect_same_model(ul, vl);
}

TEST(ModelBuild, FarCameraFallsBackToDefaultPoint) {
    // Reference values so far away that no grid point comes within 99999: the
    // search starts from the default point, off the lattices.
    int refX[8], refY[8];
    Calib_Init(3, 3, 5, 1024, 768, 65, refX, refY);
    double ul[49], vl[49];
    for (int k = 0; k < 49; ++k) {
        ul[k] = 5e5 + k;
        vl[k] = -4e5 - k;
    }
    expect_same_model(ul, vl);
}

}  // namespace
