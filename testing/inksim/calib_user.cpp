#include <algorithm>

#include "NyxCalLib.h"
#include "inksim/calib_user.h"

namespace inksim {

namespace {
// Pen off the surface between the two touches of a hesitation.
constexpr int kHesitateLiftFrames = 5;
// A hesitating first touch lasts this many frames: one short of a sample.
constexpr int kHesitateTouchFrames = 2;
}  // namespace

std::vector<std::pair<int, int>> target_layout(const CalibUserConfig &cfg) {
    int rx[8] = {}, ry[8] = {};
    Calib_Init(cfg.ref_nx, cfg.ref_ny, cfg.side_space, cfg.screen_w, cfg.screen_h, cfg.hw_type, rx,
               ry);
    // The layout may clamp the grid.
    std::vector<std::pair<int, int>> t;
    for (int r = 0; r < RefNy; ++r)
        for (int c = 0; c < RefNx; ++c)
            t.emplace_back(rx[c], ry[r]);
    return t;
}

CalibUser::CalibUser(const CalibUserConfig &cfg) : cfg_(cfg), targets_(target_layout(cfg)) {}

void CalibUser::on_cancel(std::function<void()> f) {
    std::lock_guard<std::mutex> l(mu_);
    cancel_ = std::move(f);
}

bool CalibUser::hesitates_at(int k) const {
    return std::find(cfg_.hesitate_at.begin(), cfg_.hesitate_at.end(), k) != cfg_.hesitate_at.end();
}

void CalibUser::target_shown(int k) {
    std::function<void()> cancel;
    {
        std::lock_guard<std::mutex> l(mu_);
        shown_ = k;
        plan_.clear();
        retouch_ = false;
        if (k < 0 || k >= static_cast<int>(targets_.size()))
            return;
        if (k == cfg_.cancel_at) {
            cancel = cancel_;
        } else {
            int at = k == cfg_.repeat_at && k > 0 ? k - 1 : k;
            double x = targets_[at].first, y = targets_[at].second;
            if (hesitates_at(k) && k > 0) {
                // Still resting on the previous target when this one shows,
                // then a touch too short to count.
                double px = targets_[k - 1].first, py = targets_[k - 1].second;
                plan_.push_back({cfg_.reaction_frames, true, px, py});
                plan_.push_back({kHesitateLiftFrames, false, 0, 0});
                plan_.push_back({kHesitateTouchFrames, true, x, y});
                plan_.push_back({kHesitateLiftFrames, false, 0, 0});
            } else {
                plan_.push_back({cfg_.reaction_frames, false, 0, 0});
            }
            // Someone who will hesitate at the next target keeps the pen down.
            bool keep = hesitates_at(k + 1);
            plan_.push_back({keep ? -1 : cfg_.hold_frames, true, x, y});
            if (!keep && cfg_.retouch_frames > 0) {
                plan_.push_back({cfg_.retouch_frames, false, 0, 0});
                retouch_ = true;
                touch_ = {cfg_.hold_frames, true, x, y};
            } else if (!keep) {
                plan_.push_back({-1, false, 0, 0});
            }
        }
    }
    if (cancel)
        cancel();
}

bool CalibUser::pen(double *x, double *y) {
    std::lock_guard<std::mutex> l(mu_);
    while (!plan_.empty() && plan_.front().frames == 0)
        plan_.pop_front();
    if (plan_.empty() && retouch_) {
        plan_.push_back(touch_);
        plan_.push_back({cfg_.retouch_frames, false, 0, 0});
    }
    if (plan_.empty())
        return false;
    Segment &s = plan_.front();
    if (s.frames > 0)
        --s.frames;
    *x = s.x;
    *y = s.y;
    return s.down;
}

void CalibUser::finished() {
    std::lock_guard<std::mutex> l(mu_);
    plan_.clear();
    retouch_ = false;
}

int CalibUser::shown() {
    std::lock_guard<std::mutex> l(mu_);
    return shown_;
}

}  // namespace inksim
