// The pen's path in a scenario, and how far a pointer position lies from it:
// the figures of the demos' reports.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "inksim/scenario.h"

namespace inksim {

// The points of one contact of the pen, in screen pixels: a single point for
// a tap, the corners of a stroke otherwise.
using Stroke = std::vector<std::pair<double, double>>;

// The pen's strokes in these steps, in order (faults and pauses left out).
std::vector<Stroke> pen_strokes(const std::vector<Step> &steps);
// Distance of (px, py) from the segment (x0, y0)-(x1, y1).
double dist_to_segment(double px, double py, double x0, double y0, double x1, double y1);
// Distance of (x, y) from the nearest point of any stroke.
double dist_to_pen(const std::vector<Stroke> &pen, double x, double y);
// "mean M px, 95th percentile P px, max X px" of these distances, "no
// samples" without any.
std::string distance_stats(std::vector<double> v);
// Opens an SVG picture of w x h pixels at path, on a white ground, with the
// pen's strokes drawn in (a ring for a tap, a broad translucent line for a
// stroke): the demos draw the pointer over it, then end it with "</svg>".
// nullptr, with the reason printed, when the file cannot be written.
FILE *svg_open_with_pen(const std::string &path, int w, int h, const std::vector<Stroke> &pen);

}  // namespace inksim
