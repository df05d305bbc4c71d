// The full demo's report: the pointer records inkpointer logged, the real
// pointer against the pen, and the picture of both paths.
#pragma once

#include <string>
#include <vector>

#include "canvas.h"
#include "inksim/pen_path.h"
#include "inksim/pen_player.h"
#include "x/pointer_sampler.h"

// One pointer record as inkpointer logged it: "<time us> b0 b1 b2 b3" (hex).
// A record without a position (0, 0) leaves the pointer where it was.
std::vector<inktest::PointerSample> read_records(const std::string &path);

// Distances of the held pointer's samples from where the pen was delay_us
// earlier.
std::vector<double> timed_error(const std::vector<inksim::PenAt> &track,
                                const std::vector<inktest::PointerSample> &samples,
                                long long delay_us);

// An SVG picture of w x h: the pen's strokes, the pointer records and the
// sampled X pointer while the left button was held, the presses and the
// right clicks the canvas received.
void write_svg(const std::string &path, int w, int h, const std::vector<inksim::Stroke> &pen,
               const std::vector<inktest::PointerSample> &records,
               const std::vector<inktest::PointerSample> &samples,
               const std::vector<Canvas::Mark> &presses, const std::vector<Canvas::Mark> &rights);
