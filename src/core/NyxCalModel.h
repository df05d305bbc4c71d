// The calibration model's table builder (internal to the core).
#pragma once

namespace nyx {

// Prints one console line of the core on standard output.
void console(const char *line);

// Fills Us and Vs from the table geometry.
void fill_axes();

// Builds the row and column curves, the forward grids and the camera-to-screen
// table from Xs, Ys, UUl, VVl, printing the progress lines "11" to "14". The
// result is bit for bit that of evaluating BW1DFIT, xy2u, xy2v and uv2xy point
// by point in the documented loop order.
void build_model();

// The inverse search of uv2xy, point by point in the documented order: grid
// indices of the best point and its distance.
void search_plain(double u, double v, int *X, int *Y, double *d);

}  // namespace nyx
