#include "inksim/pen_player.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "ink_time.h"

namespace inksim {

std::vector<PenAt> play_pen(Simulator &sim, const std::vector<Step> &steps, int rate,
                            const std::atomic<bool> &stop) {
    std::vector<PenAt> track;
    auto set = [&](std::optional<std::pair<double, double>> pos) {
        sim.set_pen(pos);
        track.push_back(
            {ink::time::now_us(), pos ? pos->first : 0, pos ? pos->second : 0, pos.has_value()});
    };
    struct sched_param sp {};
    sp.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    auto frames_of = [rate](long ms) {
        return std::llround(static_cast<double>(ms) * rate / 1000.0);
    };
    // Returns once frame f is the next one the unit streams.
    auto at_frame = [&](long long f) {
        while (!stop && sim.frames() < f)
            ink::time::sleep_us(300);
    };
    bool down = false;
    double x = 0, y = 0;
    long long f = sim.frames();
    for (const auto &s : steps) {
        if (stop)
            break;
        switch (s.kind) {
            case StepKind::Down:
                at_frame(f);
                x = s.x;
                y = s.y;
                down = true;
                set(std::make_pair(x, y));
                break;
            case StepKind::Move: {
                long long n = std::max(1LL, frames_of(s.ms));
                for (long long j = 1; j <= n && !stop; ++j) {
                    at_frame(f + j - 1);
                    double t = static_cast<double>(j) / static_cast<double>(n);
                    if (down)
                        set(std::make_pair(x + (s.x - x) * t, y + (s.y - y) * t));
                }
                f += n;
                x = s.x;
                y = s.y;
                break;
            }
            case StepKind::Hold:
                f += frames_of(s.ms);
                break;
            case StepKind::Lift:
                at_frame(f);
                down = false;
                set(std::nullopt);
                break;
            default:  // faults have no place here
                break;
        }
    }
    at_frame(f);
    set(std::nullopt);
    return track;
}

const PenAt *pen_at(const std::vector<PenAt> &track, long long t) {
    auto it = std::upper_bound(track.begin(), track.end(), t,
                               [](long long v, const PenAt &p) { return v < p.t_us; });
    if (it == track.begin())
        return nullptr;
    --it;
    return it->down ? &*it : nullptr;
}

}  // namespace inksim
