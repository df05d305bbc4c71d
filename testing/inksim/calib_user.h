// A person calibrating the unit. When a target appears, the user lifts the pen
// if it is still down, moves to the target and holds it there for a while,
// then lifts, and may touch it again if it stays. The targets stand where the
// tray program draws them: the core's grid layout for the screen size and the
// mode's grid. The pen is seen through the simulator's camera model, noise
// included.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace inksim {

struct CalibUserConfig {
    int screen_w = 1024, screen_h = 768;
    int ref_nx = 4, ref_ny = 3, side_space = 5;  // the mode's grid
    int hw_type = 65;
    int reaction_frames = 20;  // from seeing a target to touching it
    int hold_frames = 30;      // how long the pen rests on a target
    int cancel_at = -1;        // at this target the user presses Escape instead
    int repeat_at = -1;        // at this target the user touches the previous one again
    // At these targets the pen is still down from the previous target when
    // the target appears, and the first touch lasts only two frames.
    std::vector<int> hesitate_at;
    bool stray_light = false;  // a lamp left on: the camera sees stray light
    // A target still shown this many frames after the touch ended is touched
    // again, as a person does when the driver did not take the touch (0:
    // never; whoever sets it calls finished() once the dots are over).
    int retouch_frames = 0;
};

// Screen positions of the targets in the order they are shown (row by row).
std::vector<std::pair<int, int>> target_layout(const CalibUserConfig &cfg);

class CalibUser {
  public:
    explicit CalibUser(const CalibUserConfig &cfg);
    const CalibUserConfig &config() const { return cfg_; }
    const std::vector<std::pair<int, int>> &targets() const { return targets_; }
    // How the user presses Escape (the test's or the tray's cancel).
    void on_cancel(std::function<void()> f);
    // Target k (from 0) is now on the screen. Thread-safe.
    void target_shown(int k);
    // The last target seen, -1 before the first.
    int shown();
    // The calibration has ended: no more touches. Thread-safe.
    void finished();
    // The pen for the next streamed frame: true and the screen position while
    // it is down. The simulator calls it once per frame.
    bool pen(double *x, double *y);

  private:
    struct Segment {
        int frames;  // -1: until the next target
        bool down;
        double x, y;
    };
    bool hesitates_at(int k) const;
    CalibUserConfig cfg_;
    std::vector<std::pair<int, int>> targets_;
    std::mutex mu_;
    std::deque<Segment> plan_;
    bool retouch_ = false;  // touch_ again whenever the plan runs out
    Segment touch_{};
    int shown_ = -1;
    std::function<void()> cancel_;
};

}  // namespace inksim
