// Plays a scenario's pen steps on a running simulator by hand (set_pen),
// along the unit's frame clock, the way the unit's own timeline would: a tap
// of 30 ms is three frames at 100 frames per second, whatever the load. The
// full demo does so once the unit is calibrated, and records where the pen
// was when, to compare the real pointer with.
#pragma once

#include <atomic>
#include <vector>

#include "inksim/simulator.h"

namespace inksim {

// Where the pen was from a moment on (down false: off the surface).
struct PenAt {
    long long t_us;
    double x, y;
    bool down;
};

// Plays the pen steps (faults are left out) at `rate` frames per second and
// returns the pen's track; ends early once `stop` is set. Raises the calling
// thread's priority where allowed: a frame missed turns a tap into a hold.
std::vector<PenAt> play_pen(Simulator &sim, const std::vector<Step> &steps, int rate,
                            const std::atomic<bool> &stop);

// The pen at time t, if it was down then.
const PenAt *pen_at(const std::vector<PenAt> &track, long long t);

}  // namespace inksim
