// The pen on GNOME's and KDE Plasma's compositors (label desktops, run by
// tools/kernel-lab.sh desktops): mutter and KWin on their DRM backends, on a
// virtual GPU of two outputs (Virtual-1 1280x800, Virtual-2 1024x768), with
// libinput, XWayland and Mesa's software renderer, on the seat the lab's own
// login manager (inklabseat) gives them. For `all` and for each monitor
// chosen, a tap, a drag, the three-tap right click and the far corner land
// each on its own pixel, read back by a Wayland client (inkwaylog, fullscreen
// on both outputs) and by an X client (a window over the whole X screen).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdarg>
#include <regex>
#include <sstream>

// The test framework first: Xlib's macros (None, Bool) would rename its names.
#include "lab.h"
#include "landing.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "inksim/hid_gadget.h"
#include "inksim/simulator.h"
#include "x/xsession.h"

using namespace lab;

namespace {

const char kUser[] = "inklab";

// The system bus of the guest: anyone may own and call anything.
const char kSystemBus[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="*"/>
    <allow receive_type="*"/>
  </policy>
</busconfig>
)";

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

// A connection to the X display as the session's user: XWayland takes the
// user's connections (the server reads who connects when it connects).
Display *open_display(const std::string &display, uid_t uid) {
    if (seteuid(uid) != 0)
        return nullptr;
    Display *d = XOpenDisplay(display.c_str());
    if (seteuid(0) != 0)
        std::abort();
    return d;
}

// What an X window over the whole X screen gets of the pointer: core events,
// whose positions are whole pixels.
class XLog {
  public:
    bool open(const std::string &display, uid_t uid) {
        d_ = open_display(display, uid);
        if (!d_)
            return false;
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.background_pixel = WhitePixel(d_, DefaultScreen(d_));
        a.event_mask =
            ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask;
        w_ = XCreateWindow(d_, DefaultRootWindow(d_), 0, 0, DisplayWidth(d_, DefaultScreen(d_)),
                           DisplayHeight(d_, DefaultScreen(d_)), 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
        XMapRaised(d_, w_);
        XSync(d_, False);
        return wait_until([&] { return pump(), mapped_; }, 20s);
    }
    ~XLog() {
        if (d_)
            XCloseDisplay(d_);
    }
    size_t size() { return pump(), ev_.size(); }
    std::vector<Ev> since(size_t from) {
        pump();
        return {ev_.begin() + std::min(from, ev_.size()), ev_.end()};
    }

  private:
    void pump() {
        while (XPending(d_)) {
            XEvent e;
            XNextEvent(d_, &e);
            if (e.type == MapNotify)
                mapped_ = true;
            else if (e.type == MotionNotify)
                ev_.push_back({"move", double(e.xmotion.x_root), double(e.xmotion.y_root), "X"});
            else if (e.type == ButtonPress || e.type == ButtonRelease)
                ev_.push_back(
                    {std::string(e.type == ButtonPress ? "press" : "release") +
                         (e.xbutton.button == 1   ? ""
                          : e.xbutton.button == 3 ? "2"
                                                  : "?" + std::to_string(e.xbutton.button)),
                     double(e.xbutton.x_root), double(e.xbutton.y_root), "X"});
        }
    }
    Display *d_ = nullptr;
    Window w_ = 0;
    bool mapped_ = false;
    std::vector<Ev> ev_;
};

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        LAB_SKIP_OUTSIDE();
        if (!exists("/dev/dri/card0"))
            GTEST_SKIP() << "no GPU: the desktops stage (tools/kernel-lab.sh desktops)";
        dir_ = case_dir();
        ASSERT_NO_FATAL_FAILURE(start_session());
    }
    void TearDown() override {
        pipe_.reset();
        xlog_.reset();
        for (auto *p : {&pointer_, &client_})
            if (p->pid() > 0) {
                p->signal(SIGTERM);
                p->wait(10s);
            }
        for (auto *p : {&desktop_, &session_bus_, &seat_, &system_bus_})
            if (p->pid() > 0)
                p->stop_group();
    }

    // The user, the system bus with the login manager, the user's session
    // bus, the session's cgroup.
    void start_session() {
        int st = 0;
        const std::string out = sh(std::string("u=") + kUser + R"(; p=/sbin/fmousefifo
            id -u $u >/dev/null 2>&1 || useradd -M -d /nonexistent -s /bin/sh $u >/dev/null
            uid=$(id -u $u); r=/run/user/$uid
            rm -rf $r /run/dbus && mkdir -p -m 700 $r $r/home && mkdir -p /run/dbus &&
            chown -R $u: $r && chgrp $u /dev/uinput && chmod 660 /dev/uinput &&
            chmod 666 /dev/dri/* && mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix &&
            { [ -p $p ] || { rm -f $p && mkfifo $p; }; } && chmod 666 $p &&
            mkdir -p /sys/fs/cgroup/user.slice/user-$uid.slice/session-c1.scope &&
            printf '%s %s' $uid $r)",
                                   &st);
        ASSERT_EQ(st, 0) << out;
        std::istringstream(out) >> uid_ >> runtime_;
        inktest::write_file(dir_ + "/system-bus.conf", kSystemBus);
        system_bus_ = Process::start(
            {"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_ + "/system-bus.conf"},
            dir_ + "/system-bus.log", "", Process::Group::Own);
        ASSERT_TRUE(wait_until([] { return exists("/run/dbus/system_bus_socket"); }, 20s))
            << system_bus_.output();
        seat_ = Process::start({inktest::bin_dir() + "/inklabseat", kUser}, dir_ + "/seat.log", "",
                               Process::Group::Own);
        ASSERT_TRUE(seat_.wait_output("ready\n", 20s)) << seat_.output();
        session_bus_ = as_user({"/usr/bin/dbus-daemon", "--nofork", "--session",
                                "--address=unix:path=" + runtime_ + "/bus"},
                               dir_ + "/session-bus.log");
        ASSERT_TRUE(wait_until([&] { return exists(runtime_ + "/bus"); }, 20s))
            << session_bus_.output();
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("WAYLAND_DISPLAY", "wayland-0", 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime_ + "/bus").c_str(), 1);
    }

    // argv as the session's user, in the session's environment; with `scope`,
    // in the session's cgroup, where the session library finds its session.
    Process as_user(std::vector<std::string> argv, const std::string &out,
                    const std::vector<std::string> &env = {}, bool scope = false) {
        std::vector<std::string> pre = {"/usr/bin/setpriv",
                                        "--reuid",
                                        kUser,
                                        "--regid",
                                        kUser,
                                        "--init-groups",
                                        "/usr/bin/env",
                                        "HOME=" + runtime_ + "/home",
                                        "XDG_RUNTIME_DIR=" + runtime_,
                                        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus",
                                        "XDG_SESSION_TYPE=wayland",
                                        "XDG_SESSION_ID=c1",
                                        "XDG_SEAT=seat0"};
        pre.insert(pre.end(), env.begin(), env.end());
        if (scope)
            pre.insert(pre.begin(), {"/bin/sh", "-c",
                                     "echo $$ >/sys/fs/cgroup/user.slice/user-" + uid_ +
                                         ".slice/session-c1.scope/cgroup.procs && exec \"$@\"",
                                     "sh"});
        argv.insert(argv.begin(), pre.begin(), pre.end());
        return Process::start(argv, out, "", Process::Group::Own);
    }

    // A program of the session's user to its end: its exit status, output
    // in *out.
    int run(const std::vector<std::string> &argv, std::string *out,
            const std::vector<std::string> &env = {}) {
        const std::string log = dir_ + "/run-" + std::to_string(++runs_) + ".out";
        Process p = as_user(argv, log, env);
        auto st = p.wait(60s);
        *out = p.output();
        return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
    }
    // A method call on the session bus (gdbus): its exit status, the reply
    // in *out.
    int bus_call(const std::string &dest, const std::string &path, const std::string &method,
                 const std::vector<std::string> &args, std::string *out) {
        std::vector<std::string> argv = {
            "/usr/bin/gdbus", "call", "--session", "-d", dest, "-o", path, "-m", method};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, out);
    }

    // The compositor on the DRM device with Mesa's software renderer; then
    // its Wayland socket and its XWayland.
    void start_desktop(const std::vector<std::string> &argv, std::vector<std::string> env) {
        const auto t = std::chrono::steady_clock::now();
        // llvmpipe's code kept to 128-bit vectors, and the stage's guest CPU
        // to SSE: mutter and gnome-shell crashed in llvmpipe's threads with
        // wider vectors, and once more with AVX at 128 bits, under QEMU's
        // emulation.
        env.insert(env.end(),
                   {"GBM_ALWAYS_SOFTWARE=1", "LIBGL_ALWAYS_SOFTWARE=1",
                    "MESA_LOADER_DRIVER_OVERRIDE=kms_swrast", "LP_NATIVE_VECTOR_WIDTH=128"});
        desktop_ = as_user(argv, dir_ + "/desktop.log", env, true);
        const auto tail = [&] {
            return sh("tail -n 30 " + dir_ + "/desktop.log") + seat_.output();
        };
        ASSERT_TRUE(
            wait_until([&] { return exists(runtime_ + "/wayland-0") || !desktop_.running(); },
                       240s) &&
            desktop_.running())
            << "the Wayland socket\n"
            << tail();
        ASSERT_TRUE(wait_until([&] { return x_ready() || !desktop_.running(); }, 300s) &&
                    desktop_.running())
            << "XWayland answers\n"
            << tail()
            << sh("ls -la /tmp/.X11-unix " + runtime_ + "; cat " + runtime_ + "/x-display");
        std::printf("%s: Wayland and XWayland (%s) in %.0f s\n", argv[0].c_str(), display_.c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
    }
    // GNOME's compositor alone.
    void start_mutter() {
        start_desktop({"/usr/bin/mutter", "--wayland", "--display-server"},
                      {"MUTTER_DEBUG_FORCE_KMS_MODE=simple", "GSETTINGS_BACKEND=keyfile"});
    }
    // GNOME's shell; without `overview`, in a session mode of the user's
    // without the overview it otherwise opens at start (where windows are
    // thumbnails that get no pointer). The shell reads its modes from the
    // system's data directories only.
    void start_gnome_shell(bool overview) {
        std::vector<std::string> argv = {"/usr/bin/gnome-shell", "--wayland", "--display-server"};
        std::vector<std::string> env = {"MUTTER_DEBUG_FORCE_KMS_MODE=simple",
                                        "GSETTINGS_BACKEND=keyfile"};
        if (!overview) {
            const std::string data = runtime_ + "/lab-data";
            sh("mkdir -p " + data +
               "/gnome-shell/modes && echo '{\"parentMode\": \"user\", "
               "\"isPrimary\": true, \"hasOverview\": false, \"showWelcomeDialog\": false}' >" +
               data + "/gnome-shell/modes/lab.json && chmod -R a+rX " + data);
            argv.push_back("--mode=lab");
            env.push_back("XDG_DATA_DIRS=" + data + ":/usr/local/share:/usr/share");
        }
        start_desktop(argv, env);
    }
    // KDE Plasma's, run from a copy: the packaged program carries a file
    // capability that an exec may be refused for. The program it starts once
    // XWayland is up says where XWayland is.
    void start_kwin() {
        sh("cp /usr/bin/kwin_wayland /tmp/kwin_wayland && chmod 755 /tmp/kwin_wayland");
        start_desktop(
            {"/tmp/kwin_wayland", "--drm", "--xwayland", "--no-lockscreen", "--no-global-shortcuts",
             "--", "/bin/sh -c 'echo \"$DISPLAY $XAUTHORITY\" >" + runtime_ + "/x-display'"},
            {"KWIN_COMPOSE=Q"});
    }
    // XWayland's display and its authority file (none: KWin's XWayland takes
    // the user's connections without one), once a client gets in: as a
    // program the compositor started wrote them into x-display, else
    // mutter's.
    bool x_ready() {
        std::istringstream given(read_file(runtime_ + "/x-display").value_or(""));
        std::string auth;
        if (given >> display_)
            given >> auth;
        else {
            display_ =
                sh("ls /tmp/.X11-unix 2>/dev/null | sed -n 's/^X/:/p' | head -n 1 | tr -d '\\n'");
            auth = sh("ls -t " + runtime_ +
                      "/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1 | tr -d '\\n'");
            if (auth.empty())
                return false;
        }
        if (display_.empty())
            return false;
        xauth_ = auth;
        setenv("XAUTHORITY", auth.c_str(), 1);
        Display *d = open_display(display_, std::stoi(uid_));
        if (!d)
            return false;
        XCloseDisplay(d);
        return true;
    }

    // inkwaylog, fullscreen on both outputs; outputs_ as it lists them.
    void client(const std::string &name) {
        client_ = Process();
        client_ = as_user({inktest::bin_dir() + "/inkwaylog"}, dir_ + "/" + name + ".client",
                          {"WAYLAND_DISPLAY=wayland-0"});
        ASSERT_TRUE(client_.wait_output("ready\n", 60s)) << "the client maps its windows\n"
                                                         << client_.output();
        outputs_.clear();
        std::istringstream log(client_.output());
        for (std::string l; std::getline(log, l);) {
            std::istringstream f(l);
            std::string w, name;
            Rect r;
            if (f >> w >> name >> r.x >> r.y >> r.w >> r.h && w == "output")
                outputs_.push_back(r);
        }
        ASSERT_EQ(outputs_.size(), 2u) << client_.output();
    }

    // Both outputs as the machine shows them, kept with the stage's logs
    // (shots/NAME-HEAD.ppm): the lab's wiring takes them through QEMU's
    // monitor when a case asks.
    void screenshot(const std::string &name) {
        const std::string shot = std::string("/run/lab-io/logs/shots/") +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 "-" + name;
        inktest::write_file(shot + ".req", "");
        EXPECT_TRUE(wait_until([&] { return exists(shot + ".done"); }, 60s)) << shot;
    }

    // The taken devices' lines of the login manager's log.
    size_t taken(const std::string &node) {
        struct stat st {};
        if (node.empty() || stat(node.c_str(), &st) != 0)
            return 0;
        return inktest::count_of(seat_.output(), "took " + std::to_string(major(st.st_rdev)) + ":" +
                                                     std::to_string(minor(st.st_rdev)) + " ");
    }

    // inkpointer with the monitor choice `choice`, once the compositor has
    // opened its device; area_ is the rectangle it took.
    void pointer(const std::string &choice, const std::string &name) {
        pipe_.reset();
        if (pointer_.pid() > 0) {
            pointer_.signal(SIGTERM);
            pointer_.wait(10s);
            wait_until([&] { return pen_node().empty(); }, 10s);
        }
        const std::string cfg = dir_ + "/" + name + ".config";
        sh("mkdir -p " + cfg + "/vexor-driver && chmod -R a+rwX " + cfg);
        inktest::write_file(cfg + "/vexor-driver/screen", choice + "\n");
        pointer_ = as_user({"/usr/bin/inkpointer", "--backend", "uinput", "--vxd-debug"},
                           dir_ + "/" + name + ".pointer",
                           {"XDG_CONFIG_HOME=" + cfg, "DISPLAY=" + display_,
                            xauth_.empty() ? "XAUTHORITY=/nonexistent" : "XAUTHORITY=" + xauth_});
        ASSERT_TRUE(pointer_.wait_output("pointer area", 60s)) << pointer_.output();
        std::string node;
        ASSERT_TRUE(wait_until([&] { return taken(node = pen_node()) > 0; }, 60s))
            << "the compositor opens the pen's device " << node << "\n"
            << seat_.output();
        std::smatch m;
        const std::string out = pointer_.output();
        ASSERT_TRUE(std::regex_search(
            out, m, std::regex("pointer area (\\d+),(\\d+) (\\d+)x(\\d+) of the (\\d+)x(\\d+) ")));
        area_ = {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
        pipe_ = std::make_unique<PointerPipe>();
        ASSERT_TRUE(pipe_->open());
        pause_ms(1000);
    }

    // A tap, a drag, the three-tap right click and the far corner on the area
    // inkpointer took, read back through `mark` and `since` (a client's log):
    // targets in the area's pixels, landings in the layout's.
    template <typename Mark, typename Since>
    void gestures(const std::string &who, Mark mark, Since since) {
        SCOPED_TRACE(who + " on " + std::to_string(area_.x) + "," + std::to_string(area_.y) + " " +
                     std::to_string(area_.w) + "x" + std::to_string(area_.h));
        const int ax = area_.x, ay = area_.y;
        // The gestures are laid out for 1024x768 and shrink with a smaller
        // area (an output at 2x).
        const double k = std::min({1.0, area_.w / 1024.0, area_.h / 768.0});
        const auto P = [k](int v) { return int(v * k); };
        const auto settle = [&](size_t from, const std::string &kind,
                                std::chrono::seconds t = 15s) {
            wait_until([&] { return find(since(from), kind) != nullptr; }, t);
            pause_ms(700);
            return since(from);
        };
        // A tap at x, y landing there, its press the only one.
        const auto tap = [&](int x, int y, std::chrono::seconds t = 15s) {
            const size_t from = mark();
            pipe_->stroke({{x, y}});
            auto e = settle(from, "release", t);
            EXPECT_TRUE(near(find(e, "press"), ax + x, ay + y) &&
                        near(find(e, "release", true), ax + x, ay + y) && count(e, "press") == 1)
                << "tap at " << x << "," << y << ": " << dump(e);
        };
        // The first tap: on the Wayland client, the first after the device
        // appeared. Under emulation mutter may take seconds to pass it on.
        const auto t0 = std::chrono::steady_clock::now();
        tap(P(100), P(100), 60s);
        std::printf("%s on %d,%d: the first tap's release after %.1f s\n", who.c_str(), ax, ay,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        pause_ms(2000);
        tap(P(400), P(300));

        pause_ms(500);
        size_t from = mark();
        pipe_->stroke({{P(200), P(200)}, {P(500), P(350)}, {P(800), P(500)}});
        auto e = settle(from, "release");
        const bool mid = std::any_of(e.begin(), e.end(), [&](const Ev &x) {
            return x.kind == "move" && near(&x, ax + P(500), ay + P(350));
        });
        EXPECT_TRUE(near(find(e, "press"), ax + P(200), ay + P(200)) &&
                    near(find(e, "release", true), ax + P(800), ay + P(500)) && mid)
            << "drag " << P(200) << "," << P(200) << " to " << P(800) << "," << P(500) << ": "
            << dump(e);

        pause_ms(500);
        from = mark();
        pipe_->right_click(P(600), P(400));
        e = settle(from, "release2");
        EXPECT_TRUE(right_click_at(e, ax + P(600), ay + P(400)))
            << "right click after a tap at " << P(600) << "," << P(400) << ": " << dump(e);

        // The far corner: the last pixel of the area that an output shows
        // (with `all`, the right output's bottom right).
        int cx = area_.w - 1, cy = area_.h - 1;
        for (const Rect &o : outputs_)
            if (ax + cx >= o.x && ax + cx < o.x + o.w)
                cy = std::min(cy, o.y + o.h - 1 - ay);
        pause_ms(500);
        from = mark();
        pipe_->stroke({{cx, cy}});
        e = settle(from, "release");
        EXPECT_TRUE(near(find(e, "press"), ax + cx, ay + cy) &&
                    near(find(e, "release", true), ax + cx, ay + cy))
            << "tap at the far corner " << cx << "," << cy << ": " << dump(e);
        EXPECT_TRUE(std::none_of(e.begin(), e.end(), [](const Ev &x) { return has(x.kind, "?"); }))
            << dump(e);
    }

    // One monitor choice: the gestures seen by the Wayland client, then by
    // the X client; the area inkpointer took, as "X Y W H".
    std::string pass(const std::string &choice, const std::string &name) {
        SCOPED_TRACE(choice);
        client(name);
        if (!HasFatalFailure())
            pointer(choice, name);
        if (HasFatalFailure())
            return "";
        // A seat without a pointer device offers its clients no pointer
        // (mutter): the client's pointer comes with the pen's device, and
        // pointer events before it reach no client.
        const auto t = std::chrono::steady_clock::now();
        EXPECT_TRUE(client_.wait_output("seat pointer", 60s)) << client_.output();
        std::printf("%s: the client's pointer %.1f s after the device was taken and 1 s\n",
                    name.c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
        screenshot(name);
        gestures(
            "Wayland client", [&] { return inktest::count_of(client_.output(), "\n"); },
            [&](size_t from) { return waylog_events(client_.output(), from); });
        client_.signal(SIGTERM);
        client_.wait(10s);
        xlog_ = std::make_unique<XLog>();
        EXPECT_TRUE(xlog_->open(display_, std::stoi(uid_))) << display_;
        // Mapped for X, the window is on screen once the compositor has
        // drawn it: until the pen hovering over it reaches it.
        int hover = 0;
        EXPECT_TRUE(wait_until(
            [&] {
                pipe_->rec(50 + hover++ % 2, 50, false);
                pause_ms(200);
                return xlog_->size() > 0;
            },
            60s))
            << "the X window gets the pointer";
        pipe_->end();
        pause_ms(500);
        gestures(
            "X client", [&] { return xlog_->size(); },
            [&](size_t from) { return xlog_->since(from); });
        xlog_.reset();
        char a[64];
        std::snprintf(a, sizeof a, "%d %d %d %d", area_.x, area_.y, area_.w, area_.h);
        return a;
    }
    bool whole_output(const std::string &a) {
        return std::any_of(outputs_.begin(), outputs_.end(), [&](const Rect &o) {
            return a == std::to_string(o.x) + " " + std::to_string(o.y) + " " +
                            std::to_string(o.w) + " " + std::to_string(o.h);
        });
    }

    // For `all` and each monitor; each monitor choice takes one whole
    // output, the two different ones.
    void every_choice() {
        pass("all", "all");
        const std::string m0 = pass("monitor 0", "monitor-0");
        const std::string m1 = pass("monitor 1", "monitor-1");
        EXPECT_TRUE(whole_output(m0) && whole_output(m1) && m0 != m1) << m0 << " / " << m1;
    }

    // The second output at 2x: the pen on it alone and over the whole
    // layout. `layout` is its size in the layout, `window` the size of a
    // fullscreen window on it: both its logical size where the layout
    // counts logical pixels (KWin), its physical and logical sizes where
    // the layout counts physical ones (mutter's default).
    void second_output_at_2x(const std::string &layout, const std::string &window) {
        pass("monitor 1", "monitor-1-2x");
        const auto right = std::max_element(outputs_.begin(), outputs_.end(),
                                            [](const Rect &a, const Rect &b) { return a.x < b.x; });
        EXPECT_TRUE(right != outputs_.end() &&
                    std::to_string(right->w) + "x" + std::to_string(right->h) == layout)
            << client_.output();
        EXPECT_TRUE(has(client_.output(), "window Virtual-2 " + window + "\n")) << client_.output();
        pass("all", "all-2x");
    }

    std::string dir_, runtime_, uid_, display_, xauth_;
    Process system_bus_, seat_, session_bus_, desktop_, client_, pointer_;
    std::unique_ptr<PointerPipe> pipe_;
    std::unique_ptr<XLog> xlog_;
    std::vector<Rect> outputs_;
    Rect area_;
    int runs_ = 0;
};

}  // namespace

// GNOME's compositor.
TEST_F(Desktop, MutterPutsThePenOnItsPixel) {
    ASSERT_NO_FATAL_FAILURE(start_mutter());
    every_choice();
}

// GNOME's shell.
TEST_F(Desktop, GnomeShellPutsThePenOnItsPixel) {
    ASSERT_NO_FATAL_FAILURE(start_gnome_shell(false));
    every_choice();
}

// mutter offers 2x only where 800x480 logical pixels remain: the second
// output at 1920x1080 and 2x, set through the display configuration
// interface that GNOME's settings use.
TEST_F(Desktop, MutterWithItsSecondOutputAt2x) {
    ASSERT_NO_FATAL_FAILURE(start_mutter());
    const std::string config = "org.gnome.Mutter.DisplayConfig",
                      path = "/org/gnome/Mutter/DisplayConfig";
    std::string state, out;
    ASSERT_EQ(bus_call(config, path, config + ".GetCurrentState", {}, &state), 0) << state;
    std::smatch serial, m1, m2;
    ASSERT_TRUE(std::regex_search(state, serial, std::regex("^\\(uint32 (\\d+),")) &&
                std::regex_search(state, m1, std::regex("'(1280x800@[0-9.]+)'")) &&
                std::regex_search(state, m2, std::regex("'(1920x1080@[0-9.]+)'")))
        << state.substr(0, 3000);
    ASSERT_EQ(bus_call(config, path, config + ".ApplyMonitorsConfig",
                       {serial[1], "1",
                        "[(0, 0, 1.0, uint32 0, true, [('Virtual-1', '" + m1[1].str() +
                            "', @a{sv} {})]), (1280, 0, 2.0, uint32 0, false, [('Virtual-2', '" +
                            m2[1].str() + "', @a{sv} {})])]",
                        "@a{sv} {}"},
                       &out),
              0)
        << out;
    pause_ms(3000);
    second_output_at_2x("1920x1080", "960 540");
}

// KDE Plasma's compositor.
TEST_F(Desktop, KwinPutsThePenOnItsPixel) {
    ASSERT_NO_FATAL_FAILURE(start_kwin());
    every_choice();
}

// KWin takes the outputs' settings at start from the display settings'
// file of this set of outputs (named by the MD5 of their names, for outputs
// without EDID): the second output at 2x. Rotation 1 is upright: without it
// KWin turned both outputs.
TEST_F(Desktop, KwinWithItsSecondOutputAt2x) {
    int st = 0;
    const std::string out = sh(
        "d=" + runtime_ +
            "/home/.local/share/kscreen && mkdir -p $d && "
            "f=$d/$(printf Virtual-1Virtual-2 | md5sum | cut -c1-32) && "
            "echo '[{\"id\": \"Virtual-1\", \"enabled\": true, \"primary\": true, "
            "\"pos\": {\"x\": 0, \"y\": 0}, \"scale\": 1, \"rotation\": 1}, "
            "{\"id\": \"Virtual-2\", \"enabled\": true, "
            "\"pos\": {\"x\": 1280, \"y\": 0}, \"scale\": 2, \"rotation\": 1}]' >$f && chown -R " +
            std::string(kUser) + ": " + runtime_ + "/home",
        &st);
    ASSERT_EQ(st, 0) << out;
    ASSERT_NO_FATAL_FAILURE(start_kwin());
    second_output_at_2x("512x384", "512 384");
}

// The whole suite on these desktops: the real inkd, inkrelay and inktray as
// the session's user, the tray program on XWayland's display, the virtual
// unit behind a USB HID gadget (the kernel's hiddev node, as the gadget stage
// has it). Neither compositor alone has a tray or a notification server, so
// inkctl steers the tray; gnome-shell serves notifications.
namespace {

int ignore_x_error(Display *, XErrorEvent *) {
    return 0;
}

// The mapped windows titled `title` anywhere under w (a window manager's
// frame holds a client), each with its place on the root as X reports it.
std::vector<std::pair<Window, Rect>> titled(Display *d, Window w, const std::string &title) {
    std::vector<std::pair<Window, Rect>> out;
    Window root, parent, *kids = nullptr, child;
    unsigned n = 0;
    if (!XQueryTree(d, w, &root, &parent, &kids, &n))
        return out;
    for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        char *name = nullptr;
        if (!XGetWindowAttributes(d, kids[i], &a) || a.map_state != IsViewable)
            continue;
        if (XFetchName(d, kids[i], &name) && name) {
            Rect r{0, 0, a.width, a.height};
            if (title == name && XTranslateCoordinates(d, kids[i], root, 0, 0, &r.x, &r.y, &child))
                out.emplace_back(kids[i], r);
            XFree(name);
        }
        auto sub = titled(d, kids[i], title);
        out.insert(out.end(), sub.begin(), sub.end());
    }
    if (kids)
        XFree(kids);
    return out;
}

std::string text(const Rect &r) {
    return std::to_string(r.w) + "x" + std::to_string(r.h) + "+" + std::to_string(r.x) + "+" +
           std::to_string(r.y);
}

class Suite : public Desktop {
  protected:
    // The case's figures go straight into the exchange directory, so that a
    // guest that runs out of time still leaves them. Its logs stay in the
    // guest until the end, as every case's do: through the directory's 9p
    // share, each line of the daemon's debug output would wait on QEMU's
    // main loop, which the display and the screenshots keep busy.
    void SetUp() override {
        LAB_SKIP_OUTSIDE();
        if (!exists("/dev/dri/card0"))
            GTEST_SKIP() << "no GPU: the desktops stage (tools/kernel-lab.sh desktops)";
        dir_ = case_dir();
        progress_ = std::string("/run/lab-io/logs/") +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        sh("rm -rf " + progress_ + " && mkdir -p " + progress_);
        progress_ += "/progress.txt";
        ASSERT_NO_FATAL_FAILURE(start_session());
    }
    // A figure of the case, on its output and in its progress file.
    void note(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        char b[512];
        va_list a;
        va_start(a, format);
        std::vsnprintf(b, sizeof b, format, a);
        va_end(a);
        std::printf("%s\n", b);
        std::fflush(stdout);
        inktest::write_file(progress_, read_file(progress_).value_or("") + b + "\n");
    }
    // The unit unplugged while the relay still reads it, then the suite;
    // each step noted, for a teardown that hangs.
    void TearDown() override {
        note("teardown: the unit");
        if (sim_)
            sim_->stop();
        sim_.reset();
        note("teardown: the suite");
        if (inkd_.pid() > 0)
            inkd_.stop_group();
        if (dpy_)
            XCloseDisplay(dpy_);
        note("teardown: the desktop");
        // The fake tray program back in its place, for the stage's other cases.
        sh("[ -e /usr/bin/inktray.fake ] && cp /usr/bin/inktray.fake /usr/bin/inktray");
        Desktop::TearDown();
    }

    // The real tray program in the fake one's place, the unit's hiddev node
    // open to the session's user (no login manager gives it an ACL here),
    // with `unit` the virtual unit, then inkd as the session's user on
    // XWayland's display.
    void start_suite(bool unit) {
        int st = 0;
        const std::string out =
            sh("[ -e /usr/bin/inktray.fake ] || cp /usr/bin/inktray /usr/bin/inktray.fake; "
               "install -m 755 " +
                   inktest::bin_dir() +
                   "/inktray /usr/bin/inktray && rm -f /tmp/.inkd.pid && "
                   "echo 'KERNEL==\"hiddev*\", MODE=\"0666\"' >/etc/udev/rules.d/99-lab.rules && "
                   "udevadm control --reload",
               &st);
        ASSERT_EQ(st, 0) << out;
        if (unit) {
            inksim::Scenario sc;
            std::string err;
            ASSERT_TRUE(inksim::parse_scenario("param 10 2\nparam 11 1\nparam 12 255\n", &sc, &err))
                << err;
            sim_ = std::make_unique<inksim::Simulator>(sc);
            sim_->set_port(std::make_unique<inksim::GadgetPort>());
            ASSERT_TRUE(sim_->start(&err)) << err;
        }
        XSetErrorHandler(ignore_x_error);
        dpy_ = open_display(display_, std::stoi(uid_));
        ASSERT_TRUE(dpy_) << display_;
        // inkpointer, started at login, reads the pointer pipe the daemon
        // opens before it brings the unit up.
        pointer_ = as_user({"/usr/bin/inkpointer", "--backend", "uinput", "--vxd-debug"},
                           dir_ + "/pointer.out", user_env());
        ASSERT_TRUE(pointer_.wait_output("pointer area", 60s)) << pointer_.output();
        t0_ = std::chrono::steady_clock::now();
        inkd_ = as_user({"/usr/bin/inkd", "--vxd-debug"}, dir_ + "/inkd.out", user_env());
    }
    std::vector<std::string> user_env() {
        return {"DISPLAY=" + display_,
                xauth_.empty() ? "XAUTHORITY=/nonexistent" : "XAUTHORITY=" + xauth_,
                "XDG_CONFIG_HOME=" + runtime_ + "/home/.config"};
    }
    double since_start() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    }
    int run(const std::vector<std::string> &argv, std::string *out) {
        return Desktop::run(argv, out, user_env());
    }
    std::string tail() {
        return sh("grep -v '^FMOUSE MSG: \\(read\\|write\\)' " + dir_ + "/inkd.out | tail -n 40");
    }

    // inkctl picks monitor 1 and starts a calibration: its window covers
    // that monitor and nothing else, and the pen the unit sees on each
    // target completes it.
    void calibrate_on_monitor_1() {
        ASSERT_NO_FATAL_FAILURE(start_suite(true));
        ASSERT_TRUE(inkd_.wait_output("dispatch connected\n", 300s)) << tail();
        note("inkd, inkrelay and inktray connected to the unit in %.0f s", since_start());
        std::string out;
        ASSERT_EQ(run({inktest::bin_dir() + "/inkctl", "screen", "1"}, &out), 0) << out;
        ASSERT_EQ(run({inktest::bin_dir() + "/inkctl", "screen"}, &out), 0) << out;
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(out, m, std::regex("\n1 \\S+ (\\d+)x(\\d+)\\+(\\d+)\\+(\\d+) \\*")))
            << out;
        const Rect mon{std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[1]), std::stoi(m[2])};
        // One whole output of the layout the lab's GPU gives.
        EXPECT_TRUE(text(mon) == "1280x800+0+0" || text(mon) == "1024x768+1280+0") << out;
        pause_ms(2000);  // the tray takes the choice up at its next tick
        ASSERT_EQ(run({inktest::bin_dir() + "/inkctl", "calibrate"}, &out), 0) << out;

        std::vector<std::pair<Window, Rect>> win, dialog;
        // Both as the window manager places them (a window is mapped at 0,0
        // first, then moved): the window exactly over monitor 1, the start
        // dialog on it.
        const auto on_mon = [&](const Rect &r) {
            return r.x >= mon.x && r.y >= mon.y && r.x + r.w <= mon.x + mon.w &&
                   r.y + r.h <= mon.y + mon.h;
        };
        const bool placed = wait_until(
            [&] {
                win = titled(dpy_, DefaultRootWindow(dpy_), "Calibrate");
                dialog = titled(dpy_, DefaultRootWindow(dpy_), "Vexor Driver");
                return win.size() == 1 && text(win[0].second) == text(mon) && dialog.size() == 1 &&
                       on_mon(dialog[0].second);
            },
            60s);
        pause_ms(5000);  // the compositor paints them, in software
        screenshot("calibration");
        ASSERT_TRUE(win.size() == 1 && dialog.size() == 1) << tail();
        note("calibration window %s (monitor 1 %s), start dialog %s", text(win[0].second).c_str(),
             text(mon).c_str(), text(dialog[0].second).c_str());
        EXPECT_TRUE(placed) << "the calibration window is " << text(win[0].second)
                            << ", the start dialog " << text(dialog[0].second) << ", monitor 1 is "
                            << text(mon);

        // OK on the start dialog, then the pen on each target the tray shows
        // (its positions are in the monitor's pixels) until the next comes.
        const auto t = std::chrono::steady_clock::now();
        inktest::press_key(dpy_, XK_Return, dialog[0].first);
        // The tray's lines of each target, "dot x: X" then "dot y: Y"; the
        // daemon's own lines come between them on the same output.
        const std::regex dot("FMOUSE MSG: dot ([xy]): (-?\\d+)\n");
        const auto dots = [&] {
            const std::string o = inkd_.output();
            std::vector<int> xy;
            for (std::sregex_iterator it(o.begin(), o.end(), dot), end; it != end; ++it)
                if (((*it)[1] == "y") == (xy.size() % 2 == 1))
                    xy.push_back(std::stoi((*it)[2]));
            std::vector<std::pair<int, int>> v;
            for (size_t i = 0; i + 1 < xy.size(); i += 2)
                v.emplace_back(xy[i], xy[i + 1]);
            return v;
        };
        for (size_t k = 0; k < 12; ++k) {
            ASSERT_TRUE(wait_until([&] { return dots().size() > k; }, 90s))
                << "target " << k << "\n"
                << tail();
            const auto [x, y] = dots()[k];
            note("target %zu at %d,%d after %.0f s", k, x, y, since_start());
            if (k == 0) {
                // The green target stands in the window (over monitor 1) at
                // that point: the window's own pixels, as a compositing
                // window manager keeps them off the root's.
                int gx = -1, gy = -1;
                wait_until([&] { return green_in(win[0].first, &gx, &gy); }, 60s);
                screenshot("target");
                EXPECT_TRUE(std::abs(gx - x) <= 2 && std::abs(gy - y) <= 2)
                    << "first target at " << x << "," << y << " of monitor 1, green at " << gx
                    << "," << gy;
            }
            sim_->set_pen(std::make_pair(double(x), double(y)));
            const bool next = wait_until(
                [&] {
                    return dots().size() > k + 1 ||
                           inktest::count_of(inkd_.output(), "For saving: ") > 0;
                },
                90s);
            sim_->set_pen(std::nullopt);
            ASSERT_TRUE(next) << "target " << k << " at " << x << "," << y << "\n" << tail();
        }
        ASSERT_TRUE(wait_until(
            [&] { return inktest::count_of(inkd_.output(), "dispatch connected\n") >= 2; }, 120s))
            << tail();
        EXPECT_TRUE(wait_until(
            [&] { return titled(dpy_, DefaultRootWindow(dpy_), "Calibrate").empty(); }, 20s));
        EXPECT_TRUE(has(inkd_.output(), "For saving: ")) << tail();
        note("calibration of 12 targets completed in %.0f s",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
        note("%s",
             sh("grep -h 'no system tray\\|notice\\|notification' " + dir_ + "/inkd.out").c_str());
    }

    // The centre of the target's green pixels in window w.
    bool green_in(Window w, int *x, int *y) {
        XWindowAttributes a;
        XImage *img = XGetWindowAttributes(dpy_, w, &a)
                          ? XGetImage(dpy_, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap)
                          : nullptr;
        if (!img)
            return false;
        long sx = 0, sy = 0, n = 0;
        for (int py = 0; py < a.height; ++py)
            for (int px = 0; px < a.width; ++px)
                if ((XGetPixel(img, px, py) & 0xFFFFFF) == 0x00947E)
                    sx += px, sy += py, ++n;
        XDestroyImage(img);
        if (n)
            *x = int(sx / n), *y = int(sy / n);
        return n > 0;
    }

    Process inkd_;
    std::string progress_;
    std::unique_ptr<inksim::Simulator> sim_;
    Display *dpy_ = nullptr;
    std::chrono::steady_clock::time_point t0_;
};

}  // namespace

TEST_F(Suite, MutterCalibratesOnMonitor1) {
    ASSERT_NO_FATAL_FAILURE(start_mutter());
    calibrate_on_monitor_1();
}

TEST_F(Suite, KwinCalibratesOnMonitor1) {
    ASSERT_NO_FATAL_FAILURE(start_kwin());
    calibrate_on_monitor_1();
}

// gnome-shell has no system tray: the tray program's notice goes to the
// shell's notification server, which answers the Notify call with the
// notice's id (a bus monitor sees both).
TEST_F(Suite, GnomeShellShowsTheNoTrayNotice) {
    ASSERT_NO_FATAL_FAILURE(start_gnome_shell(true));
    Process monitor =
        as_user({"/usr/bin/dbus-monitor", "--session", "interface='org.freedesktop.Notifications'",
                 "type='method_return'", "type='error'"},
                dir_ + "/bus-monitor.log");
    pause_ms(3000);
    ASSERT_NO_FATAL_FAILURE(start_suite(false));
    ASSERT_TRUE(inkd_.wait_output("notice shown (", 300s)) << tail();
    note("the notice shown %.0f s after inkd started", since_start());
    // The shell keeps a banner up while the user is idle, and its own first
    // one (the screen lock's) stands in front of ours: the pen, hovering,
    // makes the user active, and the banners take their turns, each for a
    // few seconds.
    PointerPipe pen;
    ASSERT_TRUE(pen.open());
    for (int i = 0; i < 40; ++i) {
        pen.rec(600 + i % 2, 400, false);
        pause_ms(300);
        if (i % 8 == 7)
            screenshot("notice-" + std::to_string(i / 8));
    }
    pen.end();
    std::string owner;
    ASSERT_EQ(
        bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus.GetNameOwner", {"org.freedesktop.Notifications"}, &owner),
        0)
        << owner;
    monitor.signal(SIGTERM);
    monitor.wait(10s);
    const std::string bus = monitor.output();
    std::smatch call, ret, id;
    ASSERT_TRUE(std::regex_search(bus, call,
                                  std::regex("serial=(\\d+) path=/org/freedesktop/"
                                             "Notifications; interface=org.freedesktop."
                                             "Notifications; member=Notify")))
        << bus.substr(0, 4000);
    ASSERT_TRUE(std::regex_search(
        bus, ret,
        std::regex("method return time=\\S+ sender=(\\S+) -> destination=\\S+ serial=\\d+ "
                   "reply_serial=" +
                   call[1].str() + "\n +uint32 (\\d+)")))
        << bus.substr(0, 4000);
    const std::string said = inkd_.output();
    ASSERT_TRUE(std::regex_search(said, id, std::regex("notice shown \\((\\d+)\\)")));
    EXPECT_EQ(ret[2].str(), id[1].str());
    // The answer came from the shell's notification service (which it
    // starts, and which hands the notice to the shell): the owner of the
    // name.
    EXPECT_TRUE(has(owner, "'" + ret[1].str() + "'")) << owner << " / " << ret[1];
    std::string pid;
    bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.GetConnectionUnixProcessID", {ret[1].str()}, &pid);
    std::smatch p;
    ASSERT_TRUE(std::regex_search(pid, p, std::regex("uint32 (\\d+)"))) << pid;
    const std::string server = sh("tr '\\0' ' ' </proc/" + p[1].str() + "/cmdline");
    EXPECT_TRUE(has(server, "org.gnome.Shell.Notifications")) << server;
    note("Notify call serial %s answered by %s (%s) with id %s", call[1].str().c_str(),
         ret[1].str().c_str(), server.c_str(), ret[2].str().c_str());
}
