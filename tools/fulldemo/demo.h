// The full demo's driver: the whole suite on an X display, driven by a
// virtual user.
//
// The virtual camera unit runs in this process; the daemon, the relay, the
// real tray program and the pointer consumer (XTest backend) run as they
// would on a desktop, under the sandbox root of this build. The user opens
// the tray's menu, starts a calibration, touches each green target the
// calibration window shows, then plays the scenario's pen on a canvas window
// that paints what the desktop receives. Meanwhile the real X pointer is
// sampled; at the end the driver prints a short report and writes the pen's
// path against the pointer's path (SVG) and a screenshot of the desktop (PNG).
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "canvas.h"
#include "inksim/pen_path.h"
#include "inksim/pen_player.h"
#include "inksim/simulator.h"
#include "support/process.h"
#include "x/desk.h"
#include "x/pointer_sampler.h"
#include "x/xsession.h"

// Set on SIGINT, SIGTERM and SIGHUP: the demo ends early.
extern std::atomic<bool> g_stop;

struct Options {
    std::string scenario, out;
    bool xvfb = false;
    int monitors = 1;    // 2: a laptop panel (primary) and a projector beside it
    std::string choice;  // the user's monitor choice, written before the start
};

class Demo {
  public:
    explicit Demo(const Options &o);
    // The whole demo: 0 when the pen reached the desktop, 1 when it did not or
    // a step failed, 2 for a bad scenario, 130 when interrupted.
    int run();
    // Ends every program and server the demo started.
    void cleanup();

  private:
    void step(const std::string &what);
    bool fail(const std::string &why);
    size_t inkd_count(const std::string &what);
    bool open_display();
    void screenshot(const std::string &name);
    bool start_suite(const inksim::Scenario &sc);
    bool calibrate();
    void report(const std::vector<inksim::Stroke> &pen, const std::vector<inksim::PenAt> &track,
                const std::vector<inktest::PointerSample> &records,
                const std::vector<inktest::PointerSample> &samples);

    Options opt_;
    long long t0_;
    std::string display_, inkd_out_;
    std::unique_ptr<inktest::XServer> xserver_;
    std::unique_ptr<inktest::TrayHost> host_;
    Display *dpy_ = nullptr;
    std::unique_ptr<inktest::Desk> desk_;
    inktest::Rect proj_;  // the projected image: what the camera sees, in root coordinates
    std::unique_ptr<inksim::Simulator> sim_;
    inktest::Process inkd_, pointer_;
    std::unique_ptr<Canvas> canvas_;
    std::unique_ptr<inktest::PointerSampler> sampler_;
};
