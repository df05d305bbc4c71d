// The scripted virtual unit: a scenario's unit with its camera, its timeline
// of pen steps and faults, a calibrating user or a pen set by hand. Tests
// start it in their own process; the inksim program runs one at the device
// node.
//
//   inksim::Scenario sc;
//   std::string err;
//   if (!inksim::load_scenario(path, &sc, &err)) ...
//   inksim::Simulator sim(sc);
//   if (!sim.start(&err)) ...       // the node appears; the clock runs
//   sim.set_pen(std::make_pair(300.0, 200.0));
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "inksim/calib_user.h"
#include "inksim/camera.h"
#include "inksim/scenario.h"
#include "inksim/unit_host.h"

namespace inksim {

struct OutputReport {
    long long t_us;
    Report values;
};

class Simulator : public UnitHost {
  public:
    explicit Simulator(const Scenario &sc);
    ~Simulator() override;
    // True once the scenario's timeline has run out.
    bool finished();

    // Test controls; all take the simulator's lock.
    void unplug();
    void plug();
    void inject_report(const Report &r);
    // The unit stops taking output reports (true), or takes them again.
    void set_output_stalled(bool on);
    void send_bytes(const std::vector<uint8_t> &b);
    void set_pen(std::optional<std::pair<double, double>> pos);
    // Hands the pen to a calibrating user (nullptr takes it back); a user
    // who leaves stray light on turns it on now.
    void set_user(std::shared_ptr<CalibUser> user);
    // Holds the scenario before its next step (true; a timed step under way
    // runs to its end), frames going out with the pen as it is, or lets it
    // go on (false). Held from the start, the scenario waits for a bring-up
    // of whatever length.
    void hold_steps(bool on);
    void with_firmware(const std::function<void(Firmware &)> &f);
    std::vector<FrameRecord> frames_sent();
    std::vector<OutputReport> reports();
    long long frames();

  private:
    void on_start() override;
    void on_frame(long long now) override;
    void on_idle(long long now) override;
    void on_output(long long now, const Report &r) override;
    void run_steps_at_frame();
    void hear_again(long long now);
    void apply(const Step &s);

    Scenario sc_;
    CameraModel camera_;
    std::vector<OutputReport> reports_;
    // Timeline: it advances one frame per frame the unit streams, and one per
    // tick of the clock while the unit is unplugged (nobody can run it then,
    // and a pause after an unplug is time with the cable out).
    size_t step_ = 0;
    long long frame_ = 0;
    long long step_end_ = 0;  // frame at which the current timed step ends
    bool in_timed_ = false;
    bool pen_on_ = false;
    bool unplugged_ = false;
    bool held_ = false;
    long long deaf_until_ = 0;  // 0: taking output reports
    double pen_x_ = 0, pen_y_ = 0, from_x_ = 0, from_y_ = 0;
    long long move_start_ = 0;
    std::optional<std::pair<double, double>> manual_;
    std::shared_ptr<CalibUser> user_;
};

}  // namespace inksim
