// The full demo's steps: the display, the suite, the calibration through the
// tray, the pen, the report.
#include "demo.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "ink_paths.h"
#include "ink_time.h"
#include "report.h"
#include "support/sandbox.h"

std::atomic<bool> g_stop{false};

namespace {

constexpr std::uint32_t kGreen = 0x00947E;  // the calibration target's core
const std::string kCalibTitle = "Calibrate";
const std::string kDialogTitle = "Vexor Driver";

// Sleeps ms, or less when asked to stop; false then.
bool nap(long ms) {
    for (long t = 0; t < ms && !g_stop; t += 10)
        ink::time::sleep_ms(std::min(10L, ms - t));
    return !g_stop;
}

template <class F>
bool wait_for(F cond, long ms) {
    long long end = ink::time::now_us() + ms * 1000LL;
    while (!g_stop) {
        if (cond())
            return true;
        if (ink::time::now_us() >= end)
            return false;
        ink::time::sleep_ms(20);
    }
    return false;
}

std::string read_text(const std::string &path) {
    return inktest::read_file(path).value_or("");
}

// A program of the suite, in a process group of its own so that the programs
// it starts in turn (relay, tray) end with it.
bool start_group(inktest::Process *p, const std::vector<std::string> &argv,
                 const std::string &out) {
    try {
        *p = inktest::Process::start(argv, out, "", inktest::Process::Group::Own);
    } catch (const std::runtime_error &) {
        return false;
    }
    return true;
}

// The process groups started (daemon, pointer consumer, X server), for the
// last resort below; the start script reads the same from the "pgids" file.
pid_t g_groups[3] = {0, 0, 0};

// A lost X connection ends the process inside Xlib: end the programs started
// first (the virtual unit's mount goes with the process).
int on_x_io_error(Display *) {
    std::fprintf(stderr, "inkfulldemo: the X display went away\n");
    for (pid_t g : g_groups)
        if (g > 0)
            kill(-g, SIGTERM);
    return 0;
}

int ignore_x_errors(Display *, XErrorEvent *) {
    return 0;
}

}  // namespace

Demo::Demo(const Options &o) : opt_(o), t0_(ink::time::now_us()) {}

void Demo::step(const std::string &what) {
    std::printf("  %5.1fs  %s\n", (ink::time::now_us() - t0_) / 1e6, what.c_str());
    std::fflush(stdout);
}

bool Demo::fail(const std::string &why) {
    if (g_stop) {
        std::fprintf(stderr, "inkfulldemo: interrupted\n");
    } else {
        std::fprintf(stderr, "inkfulldemo: %s\n", why.c_str());
        std::string log = read_text(inkd_out_);
        size_t from = log.size() > 3000 ? log.size() - 3000 : 0;
        std::fprintf(stderr, "--- last lines of %s ---\n%s\n", inkd_out_.c_str(),
                     log.substr(from).c_str());
    }
    return false;
}

size_t Demo::inkd_count(const std::string &what) {
    return inktest::count_of(read_text(inkd_out_), what);
}

bool Demo::open_display() {
    XSetErrorHandler(ignore_x_errors);
    XSetIOErrorHandler(on_x_io_error);
    const char *env = std::getenv("DISPLAY");
    if (opt_.monitors == 1 && !opt_.xvfb && env != nullptr && *env != '\0') {
        dpy_ = XOpenDisplay(env);
        int ev, err, major, minor;
        if (dpy_ != nullptr && XTestQueryExtension(dpy_, &ev, &err, &major, &minor)) {
            display_ = env;
            step("on the display " + display_);
        } else {
            if (dpy_ != nullptr)
                XCloseDisplay(dpy_);
            dpy_ = nullptr;
            step(std::string("the display ") + env + " cannot be used; starting Xvfb");
        }
    }
    if (dpy_ == nullptr) {
        if (!inktest::xvfb_installed())
            return fail("no usable X display and no Xvfb (apt-get install xvfb)");
        xserver_ = std::make_unique<inktest::XServer>(inktest::XServer::Group::Own);
        if (opt_.monitors == 2) {
            if (!inktest::xephyr_installed())
                return fail("two monitors need Xephyr (apt-get install xserver-xephyr)");
            if (!xserver_->start_heads({{1280, 800, 0, 0}, {1024, 768, 1280, 0}}))
                return fail("Xephyr with two monitors did not start");
        } else if (!xserver_->start(1024, 768)) {
            return fail("Xvfb did not start");
        }
        display_ = xserver_->display_name();
        dpy_ = XOpenDisplay(display_.c_str());
        if (dpy_ == nullptr)
            return fail("cannot open the display of the private X server");
        step(opt_.monitors == 2 ? "on a private X server with two monitors, display " + display_ +
                                      ": a laptop panel 1280x800 (primary) and a projector "
                                      "1024x768 right of it"
                                : "on a private Xvfb, display " + display_);
    }
    // The camera sees the projector: the second monitor, unless the user's
    // choice is the whole desktop.
    proj_ = {0, 0, DisplayWidth(dpy_, 0), DisplayHeight(dpy_, 0)};
    if (opt_.monitors == 2 && opt_.choice != "all")
        proj_ = {1280, 0, 1024, 768};
    setenv("DISPLAY", display_.c_str(), 1);
    desk_ = std::make_unique<inktest::Desk>(dpy_);
    Atom tray = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_S0", False);
    if (XGetSelectionOwner(dpy_, tray) == None) {
        host_ = std::make_unique<inktest::TrayHost>();
        if (!host_->start(display_))
            return fail("cannot serve as the system tray");
        step("no system tray on the display: serving a minimal one (the bar at the top)");
    }
    return true;
}

// The whole desktop, all monitors, as a PNG file in the output directory.
void Demo::screenshot(const std::string &name) {
    std::string shot = "import -display '" + display_ + "' -window root '" + opt_.out + "/" + name +
                       "' >/dev/null 2>&1";
    if (std::system(shot.c_str()) != 0)
        std::fprintf(stderr, "inkfulldemo: the screenshot failed (imagemagick's import)\n");
}

bool Demo::start_suite(const inksim::Scenario &sc) {
    std::string bin = std::string(ink::path::kRoot) + "/usr/bin/";
    if (!start_group(&pointer_,
                     {bin + "inkpointer", "--backend", "xtest", "--log", opt_.out + "/pointer.log"},
                     opt_.out + "/inkpointer.out"))
        return fail("cannot start inkpointer");
    sim_ = std::make_unique<inksim::Simulator>(sc);
    std::string err;
    if (!sim_->start(&err))
        return fail("the virtual camera unit did not start: " + err);
    step("virtual camera unit attached at " + std::string(ink::path::kDeviceNode));
    if (!start_group(&inkd_, {bin + "inkd", "--vxd-debug"}, inkd_out_))
        return fail("cannot start inkd");
    g_groups[0] = inkd_.pid();
    g_groups[1] = pointer_.pid();
    g_groups[2] = xserver_ ? xserver_->process_group() : 0;
    std::ofstream pg(opt_.out + "/pgids");
    for (pid_t g : g_groups)
        if (g > 0)
            pg << g << "\n";
    step("inkd and inkpointer (XTest backend) started");
    if (!wait_for([&] { return inkd_count("FMOUSE MSG: dispatch connected\n") >= 1; }, 60000))
        return fail("the daemon did not connect to the unit");
    step("unit connected; the tray shows it");
    return true;
}

bool Demo::calibrate() {
    // The tray's menu: Calibrate (Normal) is the item below the first.
    std::optional<inktest::Point> icon;
    if (!wait_for([&] { return (icon = desk_->tray_icon(ink::path::kTrayProgram)).has_value(); },
                  15000)) {
        if (host_ && host_->wait_icon(std::chrono::milliseconds(100)))
            icon = inktest::Point{host_->icon_x(), host_->icon_y()};
        else
            return fail("the tray icon did not appear");
    }
    step("tray icon at " + std::to_string(icon->x) + "," + std::to_string(icon->y));
    if (host_)
        XRaiseWindow(dpy_, host_->panel());
    for (int attempt = 0; attempt < 3; ++attempt) {
        desk_->click(icon->x, icon->y);
        if (wait_for([&] { return desk_->popup_shown(); }, 3000))
            break;
    }
    if (!desk_->popup_shown())
        return fail("the tray menu did not open");
    step("tray menu open: Calibrate (Normal)");
    desk_->move(2, desk_->height() - 60);
    nap(300);
    desk_->key(XK_Down);
    nap(200);
    desk_->key(XK_Return);
    if (!wait_for([&] { return desk_->find(kCalibTitle).size() == 1; }, 10000) ||
        !wait_for([&] { return desk_->find(kDialogTitle).size() == 1; }, 10000))
        return fail("the calibration window did not open");
    nap(1000);
    step("calibration window open; OK in the start dialog");
    desk_->key(XK_Return, desk_->find(kDialogTitle)[0]);

    std::vector<inktest::Point> done;
    for (int k = 0; !g_stop; ++k) {
        inktest::Point p;
        bool shown = wait_for(
            [&] {
                if (inkd_count("targets done") > 0)
                    return true;
                p = desk_->find_colour(kGreen);
                return p.x >= 0 && (done.empty() || std::abs(p.x - done.back().x) > 20 ||
                                    std::abs(p.y - done.back().y) > 20);
            },
            30000);
        if (!shown)
            return fail("target " + std::to_string(k + 1) + " did not appear");
        if (inkd_count("targets done") > 0)
            break;
        if (k == 6 && opt_.monitors == 2)
            screenshot("calibration.png");  // six targets done, the seventh shown
        nap(250);                           // a person's reaction
        sim_->set_pen(std::make_pair(double(p.x - proj_.x), double(p.y - proj_.y)));
        size_t dots = inkd_count("FMOUSE MSG: dot x:");
        if (!wait_for(
                [&] {
                    return inkd_count("FMOUSE MSG: dot x:") > dots ||
                           inkd_count("targets done") > 0;
                },
                30000))
            return fail("the daemon took no samples at target " + std::to_string(k + 1));
        sim_->set_pen(std::nullopt);
        done.push_back(p);
        step("target " + std::to_string(k + 1) + " touched at " + std::to_string(p.x) + "," +
             std::to_string(p.y));
    }
    if (!wait_for([&] { return desk_->find(kCalibTitle).empty(); }, 15000))
        return fail("the calibration window did not close");
    if (!wait_for([&] { return inkd_count("FMOUSE MSG: dispatch connected\n") >= 2; }, 60000))
        return fail("the new calibration was not stored");
    step("calibrated with " + std::to_string(done.size()) +
         " targets; new record stored, unit running");
    return true;
}

void Demo::report(const std::vector<inksim::Stroke> &pen, const std::vector<inksim::PenAt> &track,
                  const std::vector<inktest::PointerSample> &records,
                  const std::vector<inktest::PointerSample> &samples) {
    std::vector<double> err;
    for (const auto &s : samples)
        if (s.left)
            err.push_back(inksim::dist_to_pen(pen, s.x, s.y));
    std::vector<double> rec_err;
    for (const auto &s : records)
        if (s.left)
            rec_err.push_back(inksim::dist_to_pen(pen, s.x, s.y));
    std::ostringstream r;
    char line[256];
    r << "== Report\n";
    std::snprintf(line, sizeof line, "  frames streamed by the unit:   %lld\n", sim_->frames());
    r << line;
    std::snprintf(line, sizeof line, "  pointer records (inkpointer):  %zu\n", records.size());
    r << line;
    std::snprintf(line, sizeof line,
                  "  clicks on the desktop:         %d left presses, %d releases\n",
                  canvas_->left_presses(), canvas_->left_releases());
    r << line;
    std::snprintf(line, sizeof line, "  right clicks on the desktop:   %d\n",
                  canvas_->right_presses());
    r << line;
    if (!err.empty()) {
        r << "  X pointer against the pen while the left button was held (" << err.size()
          << " samples of the real pointer):\n";
        r << "    distance from the pen's path:     " << inksim::distance_stats(err) << "\n";
        r << "    distance from the pen at the time: "
          << inksim::distance_stats(timed_error(track, samples, 0)) << "\n";
        // The pipeline's delay: the shift that brings the pointer nearest the pen.
        long long best_d = 0;
        double best = 1e18;
        for (long long d = 0; d <= 200000; d += 2000) {
            auto e = timed_error(track, samples, d);
            double sum = 0;
            for (double v : e)
                sum += v;
            if (!e.empty() && sum / static_cast<double>(e.size()) < best) {
                best = sum / static_cast<double>(e.size());
                best_d = d;
            }
        }
        r << "    the same, " << best_d / 1000 << " ms later (the pointer's delay): "
          << inksim::distance_stats(timed_error(track, samples, best_d)) << "\n";
        r << "  pointer records with the left button held (" << rec_err.size() << "):\n"
          << "    distance from the pen's path:     " << inksim::distance_stats(rec_err) << "\n";
    } else {
        r << "  the X pointer was never seen with its left button held\n";
    }
    r << "  pictures: " << opt_.out << "/paths.svg (pen against pointer), " << opt_.out
      << "/desktop.png (the desktop at the end)\n";
    std::printf("\n%s", r.str().c_str());
    std::ofstream(opt_.out + "/report.txt") << r.str();
}

int Demo::run() {
    inkd_out_ = opt_.out + "/inkd.out";
    inksim::Scenario sc;
    std::string err;
    if (!inksim::load_scenario(opt_.scenario, &sc, &err)) {
        std::fprintf(stderr, "inkfulldemo: %s: %s\n", opt_.scenario.c_str(), err.c_str());
        return 2;
    }
    if (!open_display())
        return g_stop ? 130 : 1;
    // The pen's steps are played here once the unit is calibrated; the unit
    // itself starts calibrated for its camera, on a screen of the display's size.
    std::vector<inksim::Step> steps = sc.steps;
    sc.steps.clear();
    double fx = double(proj_.w) / sc.unit.camera.screen_w;
    double fy = double(proj_.h) / sc.unit.camera.screen_h;
    for (auto &s : steps) {
        s.x *= fx;
        s.y *= fy;
    }
    sc.unit.camera.screen_w = proj_.w;
    sc.unit.camera.screen_h = proj_.h;

    if (!start_suite(sc) || !calibrate())
        return g_stop ? 130 : 1;

    canvas_ = std::make_unique<Canvas>();
    if (!canvas_->start(display_, proj_, host_ ? host_->panel() : 0))
        return fail("cannot open the canvas window"), 1;
    sampler_ = std::make_unique<inktest::PointerSampler>();
    if (!sampler_->start(display_, proj_.x, proj_.y))
        return fail("cannot sample the pointer"), 1;
    nap(500);
    step("the pen writes \"Hi\", draws a star, taps, double-taps and right-clicks");
    auto track = inksim::play_pen(*sim_, steps, sc.unit.rate, g_stop);
    auto pen = inksim::pen_strokes(steps);
    nap(1000);
    sampler_->stop();
    if (g_stop)
        return fail(""), 130;
    step("scenario finished");

    screenshot("desktop.png");
    auto samples = sampler_->samples();
    auto records = read_records(opt_.out + "/pointer.log");
    write_svg(opt_.out + "/paths.svg", proj_.w, proj_.h, pen, records, samples,
              canvas_->left_presses_at(), canvas_->right_clicks());
    report(pen, track, records, samples);
    // Nothing reached the desktop: something in the chain is broken.
    bool moved = std::any_of(samples.begin(), samples.end(),
                             [](const inktest::PointerSample &x) { return x.left; });
    if (records.empty() || !moved || canvas_->left_presses() == 0) {
        std::fprintf(stderr, "inkfulldemo: the pen did not reach the X pointer; see %s\n",
                     opt_.out.c_str());
        return 1;
    }
    return 0;
}

void Demo::cleanup() {
    sampler_.reset();
    inkd_.stop_group();
    pointer_.stop_group();
    g_groups[0] = g_groups[1] = 0;
    if (sim_)
        sim_->stop();
    sim_.reset();
    canvas_.reset();
    host_.reset();
    if (dpy_ != nullptr)
        XCloseDisplay(dpy_);
    dpy_ = nullptr;
    xserver_.reset();
    g_groups[2] = 0;
    // Every group has ended: nothing left for the start script to end.
    std::remove((opt_.out + "/pgids").c_str());
}
