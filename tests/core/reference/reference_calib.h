// A plain transcription of the model build, one loop nest per step, used as
// the yardstick that the core's fast build must reproduce bit for bit.
#pragma once

namespace reftest {

// Steps 2 to 11 of the model build (axes, regrouping, curves, forward grids,
// camera-to-screen table) on the core's tables, from the grid that Calib_Init
// laid out. Prints nothing.
void reference_InitUV(const double *Ul, const double *Vl);

// Size of one snapshot of the tables the build writes.
constexpr int kSnapshotDoubles = 2 * 8 * 1084 + 2 * 8 * 828 + 2 * 1084 * 828 + 2 * 800 * 800 + 1;

// Copies the built tables into dst (kSnapshotDoubles) and compares two
// snapshots bit for bit; returns the first differing index or -1.
void snapshot(double *dst);
long first_difference(const double *a, const double *b);

}  // namespace reftest
