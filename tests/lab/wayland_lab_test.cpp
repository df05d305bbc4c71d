// The pen on a real Wayland compositor: sway (wlroots) with its headless and
// libinput backends, the pixman renderer, seatd, two outputs side by side
// (HEADLESS-1 1280x800 at 0,0, HEADLESS-2 1024x768 at 1280,0) and XWayland,
// where inkpointer reads the monitor layout from (the tray writes the user's
// choice of monitor, inkpointer reads it with RandR). inkwaylog covers both
// outputs with fullscreen windows and logs where the pen's events land, in
// layout coordinates.
//
// INK_LAB_POINTER_ARGS adds arguments to inkpointer's (e.g. "--device
// tablet"), to measure its device classes against the same checks.
#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "lab.h"
#include "landing.h"

using namespace lab;

namespace {

const char kUser[] = "inklab";

const char kSwayConf[] = R"(output HEADLESS-1 mode 1280x800 position 0 0
output HEADLESS-2 mode 1024x768 position 1280 0
default_border none
default_floating_border none
gaps inner 0
gaps outer 0
focus_follows_mouse no
xwayland enable
)";

// One of sway's two outputs, whole ("X Y W H").
bool is_output(const std::string &area) {
    return area == "0 0 1280 800" || area == "1280 0 1024 768";
}

class Sway : public ::testing::Test {
  protected:
    void SetUp() override {
        LAB_SKIP_OUTSIDE();
        dir_ = case_dir();
        auto t = std::chrono::steady_clock::now();
        ASSERT_NO_FATAL_FAILURE(start_sway()) << sh("tail -n 5 " + dir_ + "/sway.log");
        std::printf("sway with two headless outputs and XWayland in %.0f s, DISPLAY %s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count(),
                    display_.c_str());
    }
    void TearDown() override {
        pipe_.reset();
        for (auto *p : {&pointer_, &client_, &sway_, &seatd_})
            if (p->pid() > 0) {
                p->signal(SIGTERM);
                p->wait(10s);
            }
    }

    // sway as a user of its own (it refuses to run as root), on a seat that
    // seatd gives it.
    void start_sway() {
        // Its runtime directory; the user at the seat gets /dev/uinput, as the
        // package's udev rule does through logind (which does not run here),
        // and the pointer pipe.
        int st = 0;
        runtime_ = sh(std::string("u=") + kUser + R"(; p=/sbin/fmousefifo
            id -u $u >/dev/null || useradd -M -d /nonexistent -s /bin/sh $u >/dev/null
            r=/run/user/$(id -u $u); rm -rf $r /run/seatd.sock && mkdir -p -m 700 $r &&
            chown $u: $r && chgrp $u /dev/uinput && chmod 660 /dev/uinput &&
            { [ -p $p ] || { rm -f $p && mkfifo $p; }; } && chmod 666 $p && printf %s $r)",
                      &st);
        ASSERT_EQ(st, 0) << runtime_;
        seatd_ = Process::start({"/usr/sbin/seatd", "-u", kUser, "-g", kUser, "-l", "info"},
                                dir_ + "/seatd.log");
        ASSERT_TRUE(wait_until([] { return exists("/run/seatd.sock"); }, 20s));
        inktest::write_file(dir_ + "/sway.cfg", kSwayConf);
        sway_ = as_user(
            {"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime_, "LIBSEAT_BACKEND=seatd",
             "WLR_BACKENDS=headless,libinput", "WLR_RENDERER=pixman", "WLR_HEADLESS_OUTPUTS=2",
             "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c", dir_ + "/sway.cfg"},
            dir_ + "/sway.log");
        ASSERT_TRUE(wait_until(
            [&] {
                setenv("SWAYSOCK",
                       sh("echo " + runtime_ + "/sway-ipc.*.sock | tr -d '\\n'").c_str(), 1);
                return swaymsg("-t get_version", &st), st == 0;
            },
            60s));
        // The second output is made where the headless backend starts with one.
        if (inktest::count_of(swaymsg("-t get_outputs"), "\"name\": \"HEADLESS-") < 2) {
            swaymsg("create_output");
            swaymsg("output HEADLESS-2 mode 1024x768 position 1280 0");
        }
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("WAYLAND_DISPLAY", "wayland-1", 1);
        ASSERT_TRUE(wait_until([&] { return exists(runtime_ + "/wayland-1"); }, 10s));
        // XWayland's display, from sway's own environment.
        swaymsg("exec 'echo $DISPLAY >" + runtime_ + "/display'");
        ASSERT_TRUE(wait_until(
            [&] {
                return !(display_ = sh("cat " + runtime_ + "/display | tr -d '\\n'")).empty() &&
                       display_[0] == ':';
            },
            10s));
    }
    std::string swaymsg(const std::string &args, int *st = nullptr) {
        return sh("timeout 10 swaymsg " + args, st);
    }
    Process as_user(std::vector<std::string> argv, const std::string &out) {
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid", kUser, "--regid", kUser, "--init-groups"});
        return Process::start(argv, out);
    }

    // inkwaylog, fullscreen on both outputs.
    void client(const std::string &name, std::vector<std::string> args = {}) {
        client_ = Process();
        args.insert(args.begin(), inktest::bin_dir() + "/inkwaylog");
        client_ = Process::start(args, dir_ + "/" + name + ".client");
        ASSERT_TRUE(client_.wait_output("ready\n", 30s)) << "the client maps its windows\n"
                                                         << client_.output();
    }
    size_t lines() { return inktest::count_of(client_.output(), "\n"); }
    // The client's events from line `from` on.
    std::vector<Ev> events(size_t from) { return waylog_events(client_.output(), from); }
    // Waits for an event of kind k from line `from` on, then a little longer
    // for any extra one.
    std::vector<Ev> settle(size_t from, const std::string &k) {
        wait_until([&] { return find(events(from), k) != nullptr; }, 10s);
        pause_ms(500);
        return events(from);
    }

    // inkpointer with the monitor choice `choice` (empty: none), once sway has
    // its device; area_ is the rectangle it took.
    void pointer(const std::string &name, const std::string &choice) {
        pipe_.reset();
        if (pointer_.pid() > 0) {
            pointer_.signal(SIGTERM);
            pointer_.wait(10s);
            wait_until([&] { return !has(swaymsg("-t get_inputs"), "Vexor Pen"); }, 10s);
        }
        const std::string cfg = dir_ + "/" + name + ".config";
        if (!choice.empty()) {
            sh("mkdir -p " + cfg + "/vexor-driver");
            inktest::write_file(cfg + "/vexor-driver/screen", choice + "\n");
        }
        std::vector<std::string> argv = {"/usr/bin/env",        "XDG_CONFIG_HOME=" + cfg,
                                         "DISPLAY=" + display_, "/usr/bin/inkpointer",
                                         "--backend",           "uinput"};
        std::istringstream extra(
            std::getenv("INK_LAB_POINTER_ARGS") ? std::getenv("INK_LAB_POINTER_ARGS") : "");
        for (std::string a; extra >> a;)
            argv.push_back(a);
        argv.push_back("--vxd-debug");
        // As the user of the session: XWayland takes that user's connections only.
        pointer_ = as_user(argv, dir_ + "/" + name + ".pointer");
        ASSERT_TRUE(pointer_.wait_output("pointer area", 60s)) << "inkpointer's device on sway\n"
                                                               << pointer_.output();
        ASSERT_TRUE(wait_until([&] { return has(swaymsg("-t get_inputs"), "Vexor Pen"); }, 30s));
        // "pointer area X,Y WxH of the SWxSH screen"
        std::smatch m;
        const std::string out = pointer_.output();
        ASSERT_TRUE(std::regex_search(out, m,
                                      std::regex("pointer area (\\d+),(\\d+) (\\d+)x(\\d+) "
                                                 "of the (\\d+)x(\\d+) ")));
        ax_ = std::stoi(m[1]);
        ay_ = std::stoi(m[2]);
        area_ = m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4);
        screen_w_ = std::stoi(m[5]);
        screen_h_ = std::stoi(m[6]);
        pipe_ = std::make_unique<PointerPipe>();
        ASSERT_TRUE(pipe_->open());
    }

    // The cases on the area inkpointer took: targets in the area's pixels,
    // landings expected in the layout's.
    void cases(const std::string &name, const std::string &choice) {
        ASSERT_NO_FATAL_FAILURE(pointer(name, choice));
        SCOPED_TRACE(name + " on " + area_);
        const size_t from_all = lines();
        const int ax = ax_, ay = ay_;
        // The output the area's left edge is on, as the client lists them.
        std::string out_expected;
        std::istringstream log(client_.output());
        for (std::string w, name; log >> w;)
            if (int x; w == "output" && log >> name >> x && x == ax)
                out_expected = name;

        // The first tap after the device appeared, then one after a pause of 2 s.
        for (auto [x, y] : {std::pair{400, 300}, {300, 600}}) {
            const size_t from = lines();
            pipe_->stroke({{x, y}});
            auto e = settle(from, "release");
            const Ev *p = find(e, "press");
            EXPECT_TRUE(near(p, ax + x, ay + y) && p->out == out_expected &&
                        count(e, "press") == 1 && find(e, "release", true))
                << "tap at " << x << "," << y << " on " << out_expected << ": " << dump(e);
            pause_ms(2000);
        }

        // A drag of three sparse records: the press at its start, the middle
        // point where it was written, the release at its end.
        size_t from = lines();
        pipe_->stroke({{200, 200}, {500, 350}, {800, 500}});
        auto e = settle(from, "release");
        bool mid = false;
        size_t moves = 0;
        double px = -1, py = -1;
        for (const auto &x : e) {
            mid = mid || (x.kind == "move" && near(&x, ax + 500, ay + 350));
            moves += x.kind == "move" && (x.x != px || x.y != py);
            px = x.x;
            py = x.y;
        }
        EXPECT_TRUE(near(find(e, "press"), ax + 200, ay + 200) &&
                    near(find(e, "release", true), ax + 800, ay + 500) && mid && moves <= 3)
            << "drag 200,200 to 800,500: " << dump(e);

        // The three-tap right click: the last tap, then the right button at
        // (0, 0) and the closing record; it lands where the pen tapped.
        pause_ms(500);
        from = lines();
        pipe_->right_click(600, 400);
        e = settle(from, "release2");
        EXPECT_TRUE(right_click_at(e, ax + 600, ay + 400))
            << "right click after a tap at 600,400: " << dump(e);

        // Nothing invented over the whole run: four primary presses, one
        // secondary, no button the pen has not got, proximity in and out at
        // most once per closing record (five) and paired.
        e = events(from_all);
        const size_t in = count(e, "in");
        EXPECT_TRUE(count(e, "press") == 4 && count(e, "press2") == 1 && in <= 5 &&
                    in == count(e, "out") &&
                    std::none_of(e.begin(), e.end(), [](const Ev &x) { return has(x.kind, "?"); }))
            << "no invented presses or proximity changes: " << dump(e);
    }

    std::string dir_, runtime_, display_;
    Process seatd_, sway_, client_, pointer_;
    std::unique_ptr<PointerPipe> pipe_;
    std::string area_;  // "X Y W H"
    int ax_ = 0, ay_ = 0, screen_w_ = 0, screen_h_ = 0;
};

}  // namespace

// No choice: the output that is not the primary, with a client that speaks
// the tablet protocol.
TEST_F(Sway, DefaultChoiceTakesTheOtherOutput) {
    ASSERT_NO_FATAL_FAILURE(client("tablet"));
    cases("default", "");
    EXPECT_TRUE(has(pointer_.output(), "the monitor that is not the primary") && is_output(area_))
        << area_ << "\n"
        << pointer_.output();
}

// XWayland names its RandR monitors XWAYLAND0 and XWAYLAND1, in an order that
// differs between releases: each choice takes one whole output, the two
// choices different ones.
TEST_F(Sway, EachMonitorChoiceTakesOneOutput) {
    ASSERT_NO_FATAL_FAILURE(client("tablet"));
    cases("output-1", "monitor 0");
    const std::string first = area_;
    EXPECT_TRUE(std::regex_search(pointer_.output(),
                                  std::regex("pointer area .*monitor 0 \\(.*\\), as chosen")) &&
                is_output(area_))
        << pointer_.output();
    cases("output-2", "monitor 1");
    EXPECT_TRUE(std::regex_search(pointer_.output(),
                                  std::regex("pointer area .*monitor 1 \\(.*\\), as chosen")) &&
                is_output(area_) && area_ != first)
        << pointer_.output();
}

// A client that does not speak the tablet protocol gets the pen as a pointer.
TEST_F(Sway, PointerOnlyClient) {
    ASSERT_NO_FATAL_FAILURE(client("pointer-only", {"--no-tablet"}));
    cases("pointer-only", "monitor 0");
}

// libinput's view of the device: positions as written, no proximity changes
// of its own.
TEST_F(Sway, LibinputReadsThePointsAsWritten) {
    ASSERT_NO_FATAL_FAILURE(pointer("libinput", "monitor 0"));
    auto li = Process::start({"/usr/bin/libinput", "debug-events", "--device", pen_node()},
                             dir_ + "/libinput.out");
    ASSERT_TRUE(li.wait_output("DEVICE_ADDED", 20s)) << li.output();
    pause_ms(1000);
    pipe_->stroke({{100, 100}, {700, 500}, {1000, 700}});
    pause_ms(2000);
    pipe_->stroke({{300, 400}});
    pause_ms(1000);
    li.signal(SIGTERM);
    li.wait(10s);
    // Positions in layout pixels: an absolute pointer's come in percent of its
    // range (the X screen), a tablet tool's in mm, scaled by the first point
    // (a stroke's first point is never smoothed). Each lands inside its pixel,
    // a quarter into it.
    std::vector<std::pair<double, double>> pts;
    double kx = 0, ky = 0;
    size_t proximity = 0;
    std::istringstream in(li.output());
    const std::regex xy("(-?[0-9.]+)/ *(-?[0-9.]+)");
    for (std::string l; std::getline(in, l);) {
        const bool ptr = has(l, "POINTER_MOTION_ABSOLUTE");
        proximity += has(l, "PROXIMITY");
        if (!ptr && !std::regex_search(l, std::regex("TABLET_TOOL_(AXIS|PROXIMITY|TIP)")))
            continue;
        l = std::regex_replace(std::regex_replace(l, std::regex("\\([^)]*\\)"), ""),
                               std::regex("\\*"), "");
        std::smatch m;
        if (!std::regex_search(l, m, xy))
            continue;
        const double a = std::stod(m[1]), b = std::stod(m[2]);
        if (ptr) {
            kx = 100.0 / screen_w_;
            ky = 100.0 / screen_h_;
        } else if (kx == 0) {
            kx = a / (ax_ + 100.25);
            ky = b / (ay_ + 100.25);
        }
        pts.push_back({a / kx, b / ky});
    }
    for (auto [x, y] : {std::pair{100, 100}, {700, 500}, {1000, 700}, {300, 400}})
        EXPECT_TRUE(std::any_of(pts.begin(), pts.end(),
                                [&, x = x, y = y](auto p) {
                                    const double dx = p.first - ax_ - x, dy = p.second - ay_ - y;
                                    return dx >= 0 && dx < 1 && dy >= 0 && dy < 1;
                                }))
            << "point " << x << "," << y << " not read back\n"
            << li.output().substr(0, 3000);
    // Two strokes, each in and out.
    EXPECT_LE(proximity, 4u) << li.output().substr(0, 3000);
}
