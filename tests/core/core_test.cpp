// Behaviour of the coordinate core: features, decoders, record, fits, model,
// background block, and robustness against garbage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "NyxCalLib.h"

extern "C" int nyx_c_caller_open_block(unsigned char *data);

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

void initial_features() {
    HWFT_HwType = 1;
    HWFT_QuickOpen = 0;
    HWFT_FBD = 0;
    HWFT_LD = 0;
    HWFT_SBD_R = 4;
    HWFT_maxU = 1013;
    TableM = 250;
    TableN = 250;
    STEP_U = 4;
    STEP_V = 3;
}

// The table's geometry: TableM, TableN, STEP_U, STEP_V.
using Geometry = std::array<int, 4>;
Geometry geometry() {
    return {TableM, TableN, STEP_U, STEP_V};
}

// A spot record as the camera unit sends it.
void make_record(double u, double v, int N, unsigned char *rec) {
    const unsigned uw = static_cast<unsigned>(u * 32) ^ SPOT_MASK_U;
    const unsigned vw = static_cast<unsigned>(v * 16) ^ SPOT_MASK_V;
    std::memset(rec, 0x55, NYX_SPOT_SIZE);
    rec[0] = uw >> 8;
    rec[1] = uw & 0xFF;
    rec[2] = vw >> 8;
    rec[3] = vw & 0xFF;
    rec[8] = static_cast<unsigned char>(N);
}

// Model whose camera sees the nominal screen unchanged (u = x, v = y).
void identity_model(int nx, int ny, int w, int h) {
    int refX[8], refY[8];
    Calib_Init(nx, ny, 5, w, h, 65, refX, refY);
    double ul[49] = {}, vl[49] = {};
    for (int r = 0; r < RefNy; ++r) {
        for (int c = 0; c < RefNx; ++c) {
            ul[r * RefNx + c] = Xs[c];
            vl[r * RefNx + c] = Ys[r];
        }
    }
    Calib_InitUV(ul, vl);
}

// Running in a scratch directory, so that TAB_Def.dat can be laid out.
class InScratchDir : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(old_, sizeof old_), nullptr);
        char tmpl[] = "/tmp/nyxcal-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        std::remove("TAB_Def.dat");
        ASSERT_EQ(chdir(old_), 0);
        rmdir(dir_.c_str());
    }
    static void write_table(const char *text) {
        std::FILE *f = std::fopen("TAB_Def.dat", "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    }
    char old_[4096];
    std::string dir_;
};

// ---- Hardware features and TAB_Def.dat ------------------------------------------------

TEST(Features, Type65SetsItsGeometryOthersChangeNothing) {
    initial_features();
    CaptureStdout();
    EXPECT_EQ(HW_Features(66), 0);
    EXPECT_EQ(GetCapturedStdout(), "Unknown hardware type! - Zentrik IWB feature check\n");
    EXPECT_EQ(geometry(), (Geometry{250, 250, 4, 3}));
    EXPECT_EQ(HWFT_QuickOpen, 0);

    EXPECT_EQ(HW_Features(65), 1);
    EXPECT_EQ(geometry(), (Geometry{338, 600, 3, 1}));
    EXPECT_EQ(HWFT_SBD_R, 4);
    EXPECT_EQ(HWFT_maxU, 1013);
    EXPECT_EQ(HWFT_QuickOpen, 1);
    EXPECT_EQ(HWFT_HwType, 1);
}

using TableFile = InScratchDir;

TEST_F(TableFile, OverridesTheGeometryValueByValue) {
    initial_features();
    ReadTable();  // no file: nothing changes
    EXPECT_EQ(geometry(), (Geometry{250, 250, 4, 3}));

    const struct {
        const char *text;
        Geometry want;
    } cases[] = {{"338 600 3 1\n", {338, 600, 3, 1}},
                 {"300", {300, 250, 4, 3}},
                 {"  +320\n\t240 x 7", {320, 240, 4, 3}},
                 {"rubbish", {250, 250, 4, 3}}};
    for (const auto &c : cases) {
        initial_features();
        write_table(c.text);
        ReadTable();
        EXPECT_EQ(geometry(), c.want) << c.text;
    }
}

TEST_F(TableFile, RefusesGeometryThatReadsOutsideTheTable) {
    const char *bad[] = {"801 600 3 1", "0 600 3 1",   "338 801 3 1", "338 0 3 1",
                         "338 600 1 1", "338 600 3 0", "-5",          "99999999999999 1 2 3"};
    for (const char *text : bad) {
        HW_Features(65);
        write_table(text);
        CaptureStdout();
        ReadTable();
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find("TAB_Def.dat ignored"), std::string::npos) << text;
        EXPECT_EQ(geometry(), (Geometry{338, 600, 3, 1})) << text;
    }
    // The largest geometry that fits is accepted.
    write_table("800 800 2 1");
    ReadTable();
    EXPECT_EQ(geometry(), (Geometry{800, 800, 2, 1}));
}

TEST_F(TableFile, CalibInitAppliesTheFileAfterTheHardwareType) {
    write_table("300 500 3 1");
    int refX[8], refY[8];
    testing::internal::CaptureStdout();
    Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(geometry(), (Geometry{300, 500, 3, 1}));
}

// ---- Spot decoding ----------------------------------------------------------------------

TEST(SpotDecoding, RawAcceptsTheStrictCameraRange) {
    unsigned char rec[NYX_SPOT_SIZE];
    make_record(100.5, 200.25, 0, rec);
    SPOT = SPOT_TYPE{9, 1, 2, 0};
    EXPECT_EQ(DecData_Raw(rec), 1);  // N takes no part in the decision
    EXPECT_EQ(SPOT.N, 0);
    EXPECT_EQ(SPOT.x, 100.5);
    EXPECT_EQ(SPOT.y, 200.25);

    const struct {
        double u, v;
        int ok;
    } cases[] = {{1023, 400, 0}, {1022.96875, 400, 1}, {500, 800, 0}, {500, 799.9375, 1},
                 {10, 400, 0},   {10.03125, 400, 1},   {500, 10, 0},  {500, 10.0625, 1},
                 {1, 400, 0},    {500, 5, 0}};
    for (const auto &c : cases) {
        make_record(c.u, c.v, 3, rec);
        SPOT = SPOT_TYPE{0, -1, -1, 0};
        EXPECT_EQ(DecData_Raw(rec), c.ok) << c.u << "," << c.v;
        EXPECT_EQ(SPOT.N, 3);
        EXPECT_EQ(SPOT.x, c.ok ? c.u : -1);
        EXPECT_EQ(SPOT.y, c.ok ? c.v : -1);
    }
}

TEST(SpotDecoding, RunChecksStateCameraRangeAndScreenBounds) {
    identity_model(4, 3, 1024, 768);
    unsigned char rec[NYX_SPOT_SIZE];

    make_record(500, 300, 0, rec);
    SPOT = SPOT_TYPE{7, 1, 2, 0};
    EXPECT_EQ(DecData_Run(rec), 0);
    EXPECT_EQ(SPOT.N, 0);
    EXPECT_EQ(SPOT.x, 1);
    EXPECT_EQ(SPOT.y, 2);

    for (double u : {1.0, 1023.0}) {
        make_record(u, 300, 2, rec);
        SPOT = SPOT_TYPE{7, 1, 2, 0};
        EXPECT_EQ(DecData_Run(rec), 0) << u;
        EXPECT_EQ(SPOT.x, 1);
    }
    make_record(500, 800, 2, rec);
    EXPECT_EQ(DecData_Run(rec), 0);

    // No lower bound on v, and 10 is no bound while running.
    make_record(10, 5, 2, rec);
    EXPECT_EQ(DecData_Run(rec), 1);
    EXPECT_EQ(SPOT.N, 2);
    EXPECT_NEAR(SPOT.x, 10, 1e-9);
    EXPECT_NEAR(SPOT.y, 5, 1e-9);

    make_record(600.25, 333.5625, 1, rec);
    EXPECT_EQ(DecData_Run(rec), 1);
    EXPECT_NEAR(SPOT.x, 600.25, 1e-9);
    EXPECT_NEAR(SPOT.y, 333.5625, 1e-9);
}

TEST(SpotDecoding, RunRejectsPointsOnTheAcceptanceBounds) {
    identity_model(4, 3, 1024, 768);
    EXPECT_EQ(scrL, -5);
    EXPECT_EQ(scrR, 1029);
    // A table cell whose corner maps exactly onto the right bound.
    const int i = 100, j = 50;  // u = 300, v = 50
    UVX[i * 800 + j] = 1029;
    unsigned char rec[NYX_SPOT_SIZE];
    make_record(300, 50, 4, rec);
    SPOT.N = 4;
    EXPECT_EQ(DecData_Run(rec), 0);
    EXPECT_EQ(SPOT.N, 0);
    EXPECT_EQ(SPOT.x, 1029);  // the converted value stays
    UVX[i * 800 + j] = -5;
    EXPECT_EQ(DecData_Run(rec), 0);
    EXPECT_EQ(SPOT.x, -5);
    UVX[i * 800 + j] = -4.999;
    EXPECT_EQ(DecData_Run(rec), 1);
    EXPECT_EQ(SPOT.N, 4);
}

TEST(SpotDecoding, TransBInterpolatesInsideAndHoldsToTheFilledTable) {
    HW_Features(65);
    scrRx = 1.5;
    scrRy = 2.0;
    // A table that is not linear, so that the corners used show.
    for (int i = 0; i < 800; ++i) {
        for (int j = 0; j < 800; ++j) {
            const bool filled = i < TableM && j < TableN;
            const double nan = std::numeric_limits<double>::quiet_NaN();
            UVX[i * 800 + j] = filled ? i * 1.25 + j * j * 0.001 : nan;
            UVY[i * 800 + j] = filled ? j * 0.75 + i * i * 0.002 : nan;
        }
    }
    // On a table point: the point itself, scaled.
    SPOT.x = 3.0 * 40;
    SPOT.y = 1.0 * 70;
    TransB();
    EXPECT_DOUBLE_EQ(SPOT.x, UVX[40 * 800 + 70] * 1.5);
    EXPECT_DOUBLE_EQ(SPOT.y, UVY[40 * 800 + 70] * 2.0);

    // Inside a cell: first order over three corners.
    SPOT.x = 3.0 * 40 + 1.5;
    SPOT.y = 70.25;
    TransB();
    const double T = UVX[40 * 800 + 70];
    const double x = T + (UVX[41 * 800 + 70] - T) * 1.5 / 3 + (UVX[40 * 800 + 71] - T) * 0.25 / 1;
    EXPECT_DOUBLE_EQ(SPOT.x, x * 1.5);

    // Beyond the last filled row and column: the last filled cell, extended.
    for (double u : {1011.0, 1012.5, 1022.9}) {
        for (double v : {598.5, 599.0, 650.0, 799.9}) {
            SPOT.x = u;
            SPOT.y = v;
            TransB();
            EXPECT_TRUE(std::isfinite(SPOT.x)) << u << "," << v;
            EXPECT_TRUE(std::isfinite(SPOT.y)) << u << "," << v;
            const double du = u - 3.0 * 336, dv = v - 598;
            const double T0 = UVX[336 * 800 + 598];
            const double ex =
                T0 + (UVX[337 * 800 + 598] - T0) * du / 3 + (UVX[336 * 800 + 599] - T0) * dv / 1;
            EXPECT_DOUBLE_EQ(SPOT.x, ex * 1.5);
        }
    }
}

// ---- Calibration record -------------------------------------------------------------------

TEST(CalibrationRecord, DecodesTheGridAndItsValues) {
    unsigned char B[256];
    std::memset(B, 0x6F, sizeof B);
    B[0] = 3;
    B[1] = 5;
    B[2] = 13;
    for (int k = 0; k < 24; ++k) {
        B[3 + 2 * k] = static_cast<unsigned char>((6532 + 65 * k) & 0xFF);
        B[4 + 2 * k] = static_cast<unsigned char>((6532 + 65 * k) >> 8);
    }
    double ul[49] = {}, vl[49] = {};
    ul[12] = vl[12] = -1;
    CaptureStdout();
    EXPECT_EQ(DecCAL(B, ul, vl), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(RefNx, 4);
    EXPECT_EQ(RefNy, 3);
    EXPECT_EQ(sideSpace, 5);
    EXPECT_DOUBLE_EQ(ul[0], 6532 / 65.0);
    EXPECT_DOUBLE_EQ(ul[11], (6532 + 65 * 11) / 65.0);
    EXPECT_DOUBLE_EQ(vl[0], (6532 + 65 * 12) / 65.0);
    EXPECT_EQ(ul[12], -1);  // only n values
    EXPECT_EQ(out.substr(0, out.find('\n') + 1),
              "RefNxB=4, RefNyB=3, sideSpace=5, dispT=1.300000\n");
    EXPECT_NE(out.find("\n100.49 101.49 "), std::string::npos);
}

TEST(CalibrationRecord, InvalidRecordsFallBackToTheDefaultGrid) {
    const struct {
        unsigned char b0, b1, b2;
    } bad[] = {{2, 5, 10}, {7, 5, 11}, {8, 5, 10},     {3, 5, 7},
               {0, 0, 0},  {4, 0, 10}, {255, 255, 255}};
    for (const auto &b : bad) {
        unsigned char B[256];
        std::memset(B, 0x11, sizeof B);
        B[0] = b.b0;
        B[1] = b.b1;
        B[2] = b.b2;
        double ul[49], vl[49];
        for (int k = 0; k < 49; ++k)
            ul[k] = vl[k] = 42;
        RefNx = RefNy = sideSpace = 9;
        CaptureStdout();
        EXPECT_EQ(DecCAL(B, ul, vl), 0) << int(b.b0) << " " << int(b.b2);
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find("refN error!\n"), std::string::npos);
        EXPECT_EQ(RefNx, 4);
        EXPECT_EQ(RefNy, 3);
        EXPECT_EQ(sideSpace, 5);
        EXPECT_EQ(ul[0], 42);
        EXPECT_EQ(vl[48], 42);
    }
}

TEST(CalibrationRecord, EncodesLayoutAndFiller) {
    double ul[49], vl[49];
    for (int k = 0; k < 49; ++k) {
        ul[k] = 100.5 + k;
        vl[k] = 50.25 + k;
    }
    unsigned char EU[256];
    CalcEU(7, 7, 5, ul, vl, EU);
    EXPECT_EQ(EU[0], 7);
    EXPECT_EQ(EU[1], 5);
    EXPECT_EQ(EU[2], 10);
    EXPECT_EQ(EU[3], 0x84);  // 100.5 -> 6532
    EXPECT_EQ(EU[4], 0x19);
    EXPECT_NE(EU[198], 0x6F);
    for (int k = 199; k < 256; ++k)
        EXPECT_EQ(EU[k], 0x6F) << k;

    CalcEU(4, 3, 5, ul, vl, EU);
    EXPECT_EQ(EU[2], 13);
    for (int k = 3 + 4 * 12; k < 256; ++k)
        EXPECT_EQ(EU[k], 0x6F) << k;
}

TEST(CalibrationRecord, RoundTripsEveryGridWithinOneStep) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> val(0, 1008);
    for (int ny = 3; ny <= 7; ++ny) {
        for (int nx = 3; nx <= 7; ++nx) {
            double ul[49], vl[49], u2[49], v2[49];
            for (int k = 0; k < 49; ++k) {
                ul[k] = val(rng);
                vl[k] = val(rng);
            }
            unsigned char EU[256];
            CalcEU(nx, ny, 6, ul, vl, EU);
            CaptureStdout();
            ASSERT_EQ(DecCAL(EU, u2, v2), 1) << nx << "x" << ny;
            GetCapturedStdout();
            EXPECT_EQ(RefNx, nx);
            EXPECT_EQ(RefNy, ny);
            EXPECT_EQ(sideSpace, 6);
            for (int k = 0; k < nx * ny; ++k) {
                EXPECT_LE(ul[k] - u2[k], 1 / 65.0);
                EXPECT_GE(ul[k] - u2[k], 0);
                EXPECT_LE(vl[k] - v2[k], 1 / 65.0);
                EXPECT_GE(vl[k] - v2[k], 0);
            }
        }
    }
}

TEST(CalibrationRecord, ValuesOutsideTheFieldAreClamped) {
    double ul[49] = {}, vl[49] = {};
    ul[0] = 1100;                                      // beyond 65535 / 65
    ul[1] = -3;                                        // below zero
    ul[2] = std::numeric_limits<double>::quiet_NaN();  // not a value
    ul[3] = 65535 / 65.0;
    unsigned char EU[256];
    CalcEU(3, 3, 5, ul, vl, EU);
    EXPECT_EQ(EU[3], 0xFF);
    EXPECT_EQ(EU[4], 0xFF);
    EXPECT_EQ(EU[5], 0);
    EXPECT_EQ(EU[6], 0);
    EXPECT_EQ(EU[7], 0);
    EXPECT_EQ(EU[8], 0);
    EXPECT_EQ(EU[9], 0xFF);
    EXPECT_EQ(EU[10], 0xFF);
    // A grid the record cannot hold gets its header and no values.
    CalcEU(8, 8, 5, ul, vl, EU);
    for (int k = 3; k < 256; ++k)
        EXPECT_EQ(EU[k], 0x6F);
    CalcEU(4, 0, 5, ul, vl, EU);
    EXPECT_EQ(EU[2], 0);
}

// ---- Curve fitting ------------------------------------------------------------------------

TEST(CurveFitting, PassesThroughEveryNodeForEveryCount) {
    const double X[8] = {-20, 51.2, 130, 358.4, 400, 665.6, 800.5, 972.8};
    const double Y[8] = {3, -1, 7.5, 2, 100, -40, 8, 0.125};
    for (int n = 2; n <= 8; ++n) {
        for (int k = 0; k < n; ++k) {
            EXPECT_NEAR(BW1DFIT(X, Y, n, X[k]), Y[k], 1e-9) << "n " << n << " k " << k;
        }
    }
    EXPECT_EQ(BW1DFIT(X, Y, 2, X[1]), Y[1]);
}

TEST(CurveFitting, ReproducesQuadraticsInsideAndOutside) {
    const double X[8] = {0, 100, 180, 300, 420, 600, 750, 1000};
    auto q = [](double t) { return 3.5 - 0.25 * t + 0.0007 * t * t; };
    double Y[8];
    for (int k = 0; k < 8; ++k)
        Y[k] = q(X[k]);
    for (double t = -60; t <= 1060; t += 7.25) {
        EXPECT_NEAR(BWFIT3P(X, Y, 2, t), q(t), 1e-9) << t;
        for (int n = 3; n <= 8; ++n)
            EXPECT_NEAR(BW1DFIT(X, Y, n, t), q(t), 1e-9) << n << " " << t;
    }
}

TEST(CurveFitting, BlendsTheTwoParabolasOfAnInnerInterval) {
    const double X[4] = {0, 10, 20, 30};
    const double Y[4] = {0, 10, 0, 10};  // neither parabola fits all four
    const double t = 14;
    const double P1 = BWFIT3P(X, Y, 0, t), P2 = BWFIT3P(X, Y, 1, t);
    EXPECT_NE(P1, P2);
    EXPECT_EQ(BW1DFIT(X, Y, 4, t), P1 * (20 - t) / 10 + P2 * (t - 10) / 10);
    EXPECT_EQ(BW1DFIT(X, Y, 4, 10), BWFIT3P(X, Y, 0, 10));
    EXPECT_EQ(BW1DFIT(X, Y, 4, -5), BWFIT3P(X, Y, 0, -5));
    EXPECT_EQ(BW1DFIT(X, Y, 4, 20), BWFIT3P(X, Y, 1, 20));
    EXPECT_EQ(BW1DFIT(X, Y, 4, 99), BWFIT3P(X, Y, 1, 99));
}

TEST(CurveFitting, TensorFitReproducesABiquadratic) {
    const double X[5] = {0, 200, 450, 700, 1000};
    const double Y[4] = {10, 300, 500, 760};
    auto f = [](double a, double b) { return 1 + 0.3 * a - 0.2 * b + 0.0004 * a * b; };
    double Z[20];
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 5; ++i)
            Z[j * 5 + i] = f(X[i], Y[j]);
    for (double a : {-30.0, 5.0, 333.0, 1050.0})
        for (double b : {-30.0, 400.0, 797.0})
            EXPECT_NEAR(BW2DFIT(X, Y, Z, 5, 4, a, b), f(a, b), 1e-8);
}

TEST(CurveFitting, DegenerateInputStaysFinite) {
    const double X[4] = {5, 5, 5, 5};
    const double Y[4] = {1, 2, 3, 4};
    EXPECT_EQ(BW1DFIT(X, Y, 0, 3), 0);
    EXPECT_EQ(BW1DFIT(X, Y, 1, 3), 1);
    EXPECT_TRUE(std::isfinite(BW1DFIT(X, Y, 2, 3)));
    EXPECT_TRUE(std::isfinite(BW1DFIT(X, Y, 3, 3)));
    EXPECT_TRUE(std::isfinite(BW1DFIT(X, Y, 4, 7)));
    EXPECT_TRUE(std::isfinite(BWFIT3P(X, Y, 0, 3)));
    const double Xd[4] = {0, 10, 3, 30};  // not increasing
    EXPECT_TRUE(std::isfinite(BW1DFIT(Xd, Y, 4, 5)));
    double Z[144] = {};
    EXPECT_EQ(BW2DFIT(X, Y, Z, 12, 12, 1, 1), 0);
}

// ---- Calibration model ------------------------------------------------------------------

TEST(CalibModel, LaysOutTheReferenceGrid) {
    int refX[8] = {}, refY[8] = {};
    CaptureStdout();
    Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY);
    EXPECT_EQ(GetCapturedStdout(), "scrX=1024 scrY=768, sideSpace=5\n");
    const int ex[] = {51, 358, 665, 973}, ey[] = {51, 384, 717};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(refX[c], ex[c]);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(refY[r], ey[r]);
    const double exs[] = {51.2, 358.4, 665.6, 972.8}, eys[] = {51.2, 384, 716.8};
    for (int c = 0; c < 4; ++c)
        EXPECT_DOUBLE_EQ(Xs[c], exs[c]);
    for (int r = 0; r < 3; ++r)
        EXPECT_DOUBLE_EQ(Ys[r], eys[r]);
    EXPECT_EQ(scrL, -5);
    EXPECT_EQ(scrR, 1029);
    EXPECT_EQ(scrT, -4);
    EXPECT_EQ(scrB, 772);
    EXPECT_EQ(scrRx, 1);
    EXPECT_EQ(scrRy, 1);

    Calib_Init(7, 7, 5, 1920, 1080, 65, refX, refY);
    EXPECT_EQ(refX[0], 54);
    EXPECT_EQ(refX[1], 356);
    EXPECT_EQ(refX[6], 1866);
    EXPECT_EQ(refY[0], 30);
    EXPECT_EQ(refY[1], 200);
    EXPECT_EQ(refY[6], 1050);
    EXPECT_EQ(scrL, -9);
    EXPECT_EQ(scrR, 1929);
    EXPECT_EQ(scrT, -6);
    EXPECT_EQ(scrB, 1086);
}

TEST(CalibModel, LimitsTheGrid) {
    int refX[8], refY[8];
    CaptureStdout();
    Calib_Init(9, 9, 5, 1024, 768, 65, refX, refY);
    EXPECT_EQ(RefNx, 7);
    EXPECT_EQ(RefNy, 7);
    Calib_Init(5, 6, 5, 1024, 768, 65, refX, refY);
    EXPECT_EQ(RefNx, 5);
    EXPECT_EQ(RefNy, 5);
    // Sizes the layout cannot divide by are held at the smallest usable ones.
    Calib_Init(1, 0, 0, 0, -5, 65, refX, refY);
    GetCapturedStdout();
    EXPECT_EQ(RefNx, 2);
    EXPECT_EQ(RefNy, 2);
    EXPECT_EQ(sideSpace, 1);
    EXPECT_GT(scrRx, 0);
    EXPECT_TRUE(std::isfinite(Xs[0]) && std::isfinite(Xs[1]));
}

TEST(CalibModel, IdentityModelMapsSpotsToThemselves) {
    CaptureStdout();
    identity_model(5, 4, 1024, 768);
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("11\n12\n13\n14\n"), std::string::npos);
    for (int X = 0; X < 1084; X += 37) {
        for (int Y = 0; Y < 828; Y += 29) {
            EXPECT_NEAR(gXYU[X * 828 + Y], X - 30, 1e-9);
            EXPECT_NEAR(gXYV[X * 828 + Y], Y - 30, 1e-9);
        }
    }
    for (int i = 0; i < TableM; ++i) {
        for (int j = 0; j < TableN; ++j) {
            ASSERT_EQ(UVX[i * 800 + j], Us[i]) << i << "," << j;
            ASSERT_EQ(UVY[i * 800 + j], Vs[j]) << i << "," << j;
        }
    }
    for (double u : {2.0, 100.03125, 517.5, 1009.96875}) {
        for (double v : {0.0625, 333.3125, 597.9375}) {
            SPOT.x = u;
            SPOT.y = v;
            TransB();
            EXPECT_NEAR(SPOT.x, u, 1e-9);
            EXPECT_NEAR(SPOT.y, v, 1e-9);
        }
    }
    // Screen pixels follow the screen scale.
    CaptureStdout();
    int refX[8], refY[8];
    Calib_Init(5, 4, 5, 2048, 1536, 65, refX, refY);
    GetCapturedStdout();
    SPOT.x = 517.5;
    SPOT.y = 333.3125;
    TransB();
    EXPECT_NEAR(SPOT.x, 1035, 1e-9);
    EXPECT_NEAR(SPOT.y, 666.625, 1e-9);
}

TEST(CalibModel, InverseSearchFindsGridPointsAndKeepsTheFirstOfATie) {
    CaptureStdout();
    identity_model(7, 7, 1024, 768);
    GetCapturedStdout();
    for (int X : {0, 13, 512, 777, 1083}) {
        for (int Y : {0, 1, 400, 827}) {
            const double uv[2] = {gXYU[X * 828 + Y], gXYV[X * 828 + Y]};
            double xy[2];
            uv2xy(uv, xy);
            EXPECT_EQ(xy[0], X - 30);
            EXPECT_EQ(xy[1], Y - 30);
            EXPECT_EQ(minD, 0);
        }
    }
    // Two coarse points at the same distance: the first scanned (Y outer,
    // X inner) wins; then nothing nearer in the later stages.
    for (int k = 0; k < 1084 * 828; ++k)
        gXYU[k] = gXYV[k] = 1e6;
    gXYU[50 * 828 + 0] = 10;  // (X 50, Y 0)
    gXYV[50 * 828 + 0] = 0;
    gXYU[0 * 828 + 50] = 0;  // (X 0, Y 50), scanned later
    gXYV[0 * 828 + 50] = 10;
    const double uv[2] = {5, 5};
    double xy[2];
    uv2xy(uv, xy);
    EXPECT_EQ(xy[0], 20);
    EXPECT_EQ(xy[1], -30);
    EXPECT_EQ(minD, 10);
    // Nothing within 99999: the default point less the margin.
    for (int k = 0; k < 1084 * 828; ++k)
        gXYU[k] = gXYV[k] = 1e6;
    uv2xy(uv, xy);
    EXPECT_EQ(xy[0], 482);
    EXPECT_EQ(xy[1], 354);
    EXPECT_EQ(minD, 99999);
}

// ---- Background block ----------------------------------------------------------------------

struct Row {
    int L, H;
    bool operator==(const Row &o) const { return L == o.L && H == o.H; }
};
[[maybe_unused]] void PrintTo(const Row &r, std::ostream *os) {
    *os << "L " << r.L << " H " << r.H;
}

Row bd0_row(const unsigned char *d, int k) {
    const unsigned m = static_cast<unsigned>(k + BD0_MASK_OFFSET);
    const unsigned w = ((d[2 * k] << 8) | d[2 * k + 1]);
    const unsigned lh = (w - m * m * m) & 0xFFFF;
    return Row{static_cast<int>(lh >> 8), static_cast<int>(lh & 0xFF)};
}

void expect_block_frame(const unsigned char *d) {
    unsigned total = 0;
    for (int k = 0; k <= 318; ++k) {
        const Row r = bd0_row(d, k);
        const unsigned m = static_cast<unsigned>(k + BD0_MASK_OFFSET);
        total += r.L * 256u + m * m * m + r.H;
    }
    EXPECT_EQ(d[638], (total >> 8) & 0xFF);
    EXPECT_EQ(d[639], total & 0xFF);
    for (int k = 640; k < 646; ++k)
        EXPECT_EQ(d[k], 0x6F);
}

TEST(BackgroundBlock, OpenAndCloseCarryTheirCheckBytes) {
    HW_Features(65);
    unsigned char d[NYX_BD0_SIZE];
    EXPECT_EQ(OpenBD0(d), 646);
    for (int k = 0; k <= 310; ++k)
        EXPECT_EQ(bd0_row(d, k), (Row{0, 253})) << k;
    EXPECT_EQ(bd0_row(d, 311), (Row{10, 102}));
    EXPECT_EQ(bd0_row(d, 312), (Row{115, 212}));
    EXPECT_EQ(bd0_row(d, 318).H, 253);
    expect_block_frame(d);

    EXPECT_EQ(CloseBD0(d), 646);
    for (int k = 0; k <= 310; ++k)
        EXPECT_EQ(bd0_row(d, k).H, 0);
    EXPECT_EQ(bd0_row(d, 311), (Row{10, 11}));
    EXPECT_EQ(bd0_row(d, 312), (Row{115, 30}));
    expect_block_frame(d);
    EXPECT_EQ(nyx_c_caller_open_block(d), 646);
}

TEST(BackgroundBlock, OutlineOfAModelGivesItsRows) {
    int refX[8], refY[8];
    CaptureStdout();
    Calib_Init(5, 4, 5, 1024, 768, 65, refX, refY);
    double ul[49] = {}, vl[49] = {};
    for (int r = 0; r < RefNy; ++r) {
        for (int c = 0; c < RefNx; ++c) {
            ul[r * RefNx + c] = 100.5 + 0.8 * Xs[c];
            vl[r * RefNx + c] = 50.3 + 0.5 * Ys[r];
        }
    }
    Calib_InitUV(ul, vl);
    GetCapturedStdout();
    unsigned char d[NYX_BD0_SIZE];
    EXPECT_EQ(CalcBD0(d), 646);
    for (int k = 0; k <= 318; ++k) {
        if (k == 311 || k == 312)
            continue;
        EXPECT_EQ(bd0_row(d, k), (k >= 23 && k <= 218 ? Row{92 / 4, 927 / 4} : Row{253, 0})) << k;
    }
    expect_block_frame(d);

    // The same outline on another screen size is the same nominal outline.
    unsigned char d2[NYX_BD0_SIZE];
    CaptureStdout();
    Calib_Init(5, 4, 5, 1920, 1080, 65, refX, refY);
    GetCapturedStdout();
    CalcBD0(d2);
    EXPECT_EQ(std::memcmp(d, d2, sizeof d), 0);
}

TEST(BackgroundBlock, EmptyModelOpensRowZeroOnly) {
    int refX[8], refY[8];
    CaptureStdout();
    Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY);
    GetCapturedStdout();
    std::memset(gXU, 0, sizeof gXU);
    std::memset(gXV, 0, sizeof gXV);
    std::memset(gYU, 0, sizeof gYU);
    std::memset(gYV, 0, sizeof gYV);
    unsigned char d[NYX_BD0_SIZE];
    CalcBD0(d);
    EXPECT_EQ(bd0_row(d, 0), (Row{0, 0}));
    for (int k = 1; k <= 310; ++k)
        EXPECT_EQ(bd0_row(d, k), (Row{253, 0})) << k;
}

// ---- Garbage in ------------------------------------------------------------------------------

TEST(Robustness, RandomRecordsSpotsAndModelsStayInsideTheTables) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    CaptureStdout();
    identity_model(6, 4, 1280, 800);
    for (int n = 0; n < 20000; ++n) {
        unsigned char rec[NYX_SPOT_SIZE];
        for (unsigned char &b : rec)
            b = static_cast<unsigned char>(byte(rng));
        const int run = DecData_Run(rec);
        if (run) {
            EXPECT_GT(SPOT.x, scrL);
            EXPECT_LT(SPOT.x, scrR);
        }
        DecData_Raw(rec);
    }
    const double odd[] = {-1e300,
                          -1,
                          0,
                          0.5,
                          1022.99,
                          5000,
                          1e300,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
    for (double u : odd) {
        for (double v : odd) {
            SPOT.x = u;
            SPOT.y = v;
            TransB();
            (void)xy2u(u, v);
            (void)xy2v1(u, v);
        }
    }
    // Random calibration records, each followed by a model build from them.
    for (int n = 0; n < 40; ++n) {
        unsigned char B[256];
        for (unsigned char &b : B)
            b = static_cast<unsigned char>(byte(rng));
        if (n % 2) {
            B[0] = static_cast<unsigned char>(3 + n % 5);
            B[2] = static_cast<unsigned char>(10 + n % 13);
        }
        double ul[49] = {}, vl[49] = {};
        if (DecCAL(B, ul, vl) && n < 6) {
            int refX[8], refY[8];
            Calib_Init(RefNx, RefNy, sideSpace, 1024, 768, 65, refX, refY);
            Calib_InitUV(ul, vl);
            unsigned char d[NYX_BD0_SIZE];
            EXPECT_EQ(CalcBD0(d), 646);
        }
    }
    GetCapturedStdout();
    // A model built from values no camera gives: huge, infinite, not a number.
    int refX[8], refY[8];
    CaptureStdout();
    Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY);
    double ul[49], vl[49];
    for (int k = 0; k < 49; ++k) {
        ul[k] = k % 3 ? 1e308 : -1e308;
        vl[k] = k % 5 ? std::numeric_limits<double>::quiet_NaN() : 1;
    }
    Calib_InitUV(ul, vl);
    GetCapturedStdout();
    unsigned char d[NYX_BD0_SIZE];
    EXPECT_EQ(CalcBD0(d), 646);
    unsigned char rec[NYX_SPOT_SIZE];
    make_record(500, 300, 1, rec);
    DecData_Run(rec);

    // A 2 x 2 grid without margin puts both columns on the same x: the fits
    // have coincident nodes and must still give a usable, finite model.
    CaptureStdout();
    Calib_Init(2, 2, 1, 1024, 768, 65, refX, refY);
    for (int k = 0; k < 4; ++k) {
        ul[k] = 100 + 300 * (k % 2);
        vl[k] = 100 + 200 * (k / 2);
    }
    Calib_InitUV(ul, vl);
    GetCapturedStdout();
    EXPECT_EQ(Xs[0], Xs[1]);
    for (int k = 0; k < 1084 * 828; k += 997) {
        ASSERT_TRUE(std::isfinite(gXYU[k]) && std::isfinite(gXYV[k])) << k;
    }
    EXPECT_EQ(CalcBD0(d), 646);
    DecData_Run(rec);
}

}  // namespace
