// The check a calibration's samples pass before they replace the unit's record.
#include <gtest/gtest.h>

#include "fmouse_calib.h"

namespace {

// A 4 x 3 grid of well separated camera points.
void grid(double *u, double *v) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            u[r * 4 + c] = 200 + 200 * c;
            v[r * 4 + c] = 120 + 180 * r;
        }
}

TEST(CalibSamples, AGridThatFitsTheRecordIsUsable) {
    double u[12], v[12];
    grid(u, v);
    EXPECT_TRUE(fmouse_calib_samples_usable(4, 3, u, v));
    // The largest value the 16-bit field holds, 65535 / 65 pixels.
    u[11] = 65535.0 / 65.0;
    EXPECT_TRUE(fmouse_calib_samples_usable(4, 3, u, v));
}

TEST(CalibSamples, ValuesOutsideTheSixteenBitFieldAreRefused) {
    double u[12], v[12];
    grid(u, v);
    u[11] = 65535.0 / 65.0 + 0.01;
    EXPECT_FALSE(fmouse_calib_samples_usable(4, 3, u, v));
    grid(u, v);
    v[0] = -0.5;
    EXPECT_FALSE(fmouse_calib_samples_usable(4, 3, u, v));
    grid(u, v);
    v[5] = __builtin_nan("");
    EXPECT_FALSE(fmouse_calib_samples_usable(4, 3, u, v)) << "not a number";
}

TEST(CalibSamples, CoincidingPointsAndBadGridsAreRefused) {
    double u[12], v[12];
    grid(u, v);
    u[6] = u[5] + 0.3;
    v[6] = v[5] - 0.3;
    EXPECT_FALSE(fmouse_calib_samples_usable(4, 3, u, v)) << "two targets at one camera position";
    grid(u, v);
    EXPECT_FALSE(fmouse_calib_samples_usable(2, 3, u, v));
    EXPECT_FALSE(fmouse_calib_samples_usable(4, 8, u, v));
}

}  // namespace
