#include <climits>
#include <cmath>

#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/simulator.h"

namespace inksim {

Simulator::Simulator(const Scenario &sc)
    : UnitHost(sc.unit, sc.unit.rate), sc_(sc), camera_(sc.unit.camera, sc.unit.seed) {}

Simulator::~Simulator() {
    stop();
}

void Simulator::on_start() {
    run_steps_at_frame();
}

void Simulator::hear_again(long long now) {
    if (deaf_until_ != 0 && now >= deaf_until_) {
        deaf_until_ = 0;
        port_->set_output_stalled(false);
    }
}

void Simulator::on_frame(long long now) {
    hear_again(now);
    PenSample pen;
    double ux = 0, uy = 0;
    if (user_ && user_->pen(&ux, &uy)) {
        pen.on = true;
        camera_.sense(ux, uy, &pen.u, &pen.v);
    } else if (user_) {
        // The calibrating user has the pen; it is off the surface.
    } else if (manual_) {
        pen.on = true;
        camera_.sense(manual_->first, manual_->second, &pen.u, &pen.v);
    } else if (pen_on_) {
        double x = pen_x_, y = pen_y_;
        if (in_timed_ && sc_.steps[step_].kind == StepKind::Move && step_end_ > move_start_) {
            double t = static_cast<double>(frame_ - move_start_) /
                       static_cast<double>(step_end_ - move_start_);
            x = from_x_ + t * (sc_.steps[step_].x - from_x_);
            y = from_y_ + t * (sc_.steps[step_].y - from_y_);
        }
        pen.on = true;
        camera_.sense(x, y, &pen.u, &pen.v);
    }
    fw_.frame(pen, now);
    // The frame goes out before the steps that follow it take effect
    // (an unplug right after it must not swallow it).
    deliver(now);
    ++frame_;
    run_steps_at_frame();
}

void Simulator::on_idle(long long now) {
    hear_again(now);
    if (!unplugged_)
        return;
    ++frame_;
    run_steps_at_frame();
}

void Simulator::run_steps_at_frame() {
    while (step_ < sc_.steps.size()) {
        const Step &s = sc_.steps[step_];
        if (in_timed_) {
            if (frame_ < step_end_)
                return;
            if (s.kind == StepKind::Move) {
                pen_x_ = s.x;
                pen_y_ = s.y;
            }
            in_timed_ = false;
            ++step_;
            continue;
        }
        if (held_)
            return;
        if (s.kind == StepKind::Hold || s.kind == StepKind::Move) {
            long long frames = std::llround(static_cast<double>(s.ms) * sc_.unit.rate / 1000.0);
            if (frames > 0) {
                in_timed_ = true;
                move_start_ = frame_;
                step_end_ = frame_ + frames;
                from_x_ = pen_x_;
                from_y_ = pen_y_;
                return;
            }
            if (s.kind == StepKind::Move) {
                pen_x_ = s.x;
                pen_y_ = s.y;
            }
            ++step_;
            continue;
        }
        apply(s);
        ++step_;
    }
}

void Simulator::apply(const Step &s) {
    long long now = ink::time::now_us();
    switch (s.kind) {
        case StepKind::Down:
            pen_on_ = true;
            pen_x_ = s.x;
            pen_y_ = s.y;
            break;
        case StepKind::Lift:
            pen_on_ = false;
            break;
        case StepKind::Unplug:
            // As unplug(): the node goes, and the unit loses its power.
            port_->set_plugged(false);
            fw_.power_off();
            unplugged_ = true;
            break;
        case StepKind::Plug:
            port_->set_plugged(true);
            unplugged_ = false;
            break;
        case StepKind::Silence:
            fw_.set_silence_until(s.ms == 0 ? LLONG_MAX : now + ink::time::budget_us(s.ms * 1000));
            break;
        case StepKind::Garbage:
            fw_.add_garbage(static_cast<size_t>(s.n), now);
            break;
        case StepKind::Refuse:
            fw_.refuse_next(s.arg);
            break;
        case StepKind::BadRecord:
            fw_.corrupt_record();
            break;
        case StepKind::Slow:
            fw_.set_slow_us(ink::time::pause_us(s.ms * 1000));
            break;
        case StepKind::TypeFail:
            fw_.fail_type_once();
            break;
        case StepKind::Deaf:
            port_->set_output_stalled(true);
            deaf_until_ = s.ms == 0 ? LLONG_MAX : now + ink::time::budget_us(s.ms * 1000);
            break;
        case StepKind::Light:
            fw_.set_stray_light(s.n != 0);
            break;
        case StepKind::Hold:
        case StepKind::Move:
            break;
    }
}

void Simulator::on_output(long long now, const Report &r) {
    reports_.push_back({now, r});
}

bool Simulator::finished() {
    std::lock_guard<std::mutex> l(mu_);
    return step_ >= sc_.steps.size();
}

void Simulator::hold_steps(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    held_ = on;
}

void Simulator::unplug() {
    std::lock_guard<std::mutex> l(mu_);
    port_->set_plugged(false);
    fw_.power_off();
    unplugged_ = true;
}

void Simulator::plug() {
    std::lock_guard<std::mutex> l(mu_);
    port_->set_plugged(true);
    unplugged_ = false;
}

void Simulator::set_output_stalled(bool on) {
    // Not under the lock: a unit taking reports again hands over the waiting
    // ones, and taking them takes the lock.
    port_->set_output_stalled(on);
}

void Simulator::inject_report(const Report &r) {
    std::lock_guard<std::mutex> l(mu_);
    push(r);
}

void Simulator::send_bytes(const std::vector<uint8_t> &b) {
    std::lock_guard<std::mutex> l(mu_);
    long long now = ink::time::now_us();
    fw_.queue_bytes(b.data(), b.size(), now);
    deliver(now);
}

void Simulator::set_pen(std::optional<std::pair<double, double>> pos) {
    std::lock_guard<std::mutex> l(mu_);
    manual_ = pos;
}

void Simulator::set_user(std::shared_ptr<CalibUser> user) {
    std::lock_guard<std::mutex> l(mu_);
    user_ = std::move(user);
    if (user_ && user_->config().stray_light)
        fw_.set_stray_light(true);
}

void Simulator::with_firmware(const std::function<void(Firmware &)> &f) {
    std::lock_guard<std::mutex> l(mu_);
    f(fw_);
    deliver(ink::time::now_us());
}

std::vector<FrameRecord> Simulator::frames_sent() {
    std::lock_guard<std::mutex> l(mu_);
    return fw_.frames_sent();
}

std::vector<OutputReport> Simulator::reports() {
    std::lock_guard<std::mutex> l(mu_);
    return reports_;
}

long long Simulator::frames() {
    std::lock_guard<std::mutex> l(mu_);
    return frame_;
}

}  // namespace inksim
