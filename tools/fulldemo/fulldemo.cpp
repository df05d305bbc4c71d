// inkfulldemo: the whole suite on an X display, driven by a virtual user.
//
// The virtual camera unit (inksim) runs in this process; the daemon, the
// relay, the real tray program and the pointer consumer (XTest backend) run as
// they would on a desktop, under the sandbox root of this build. The user
// opens the tray's menu, starts a calibration, touches each green target the
// calibration window shows, then writes and draws with the pen, taps and
// right-clicks on a canvas window that paints what the desktop receives.
// Meanwhile the real X pointer is sampled; at the end the driver prints a
// short report and writes the pen's path against the pointer's path (SVG) and
// a screenshot of the desktop (PNG).
//
//   inkfulldemo --scenario FILE --out DIR [--xvfb] [--monitors 1|2 [--choice LINE]]
//
// Uses $DISPLAY when it can be opened (and --xvfb is not given), otherwise
// starts a private Xvfb. --monitors 2: a private display of two monitors, a
// laptop panel (primary) and the projector right of it, which the camera
// sees; --choice writes the user's monitor choice first ("all": the whole
// desktop, the projector then showing all of it). Without a system tray on the display it serves as
// a minimal one. Ends on its own; SIGINT or SIGTERM end it early, and every process it started ends
// with it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/simulator.h"
#include "x/xsession.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

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
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// ----------------------------------------------------------- processes ---

// A program of the suite, in a process group of its own so that the programs
// it starts in turn (relay, tray) end with it.
class Child {
  public:
    bool start(const std::vector<std::string> &argv, const std::string &out) {
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            setpgid(0, 0);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char *> args;
            for (const auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
        return true;
    }
    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0 || exited_)
            return false;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_)
            exited_ = true;
        return !exited_;
    }
    // SIGTERM to the group, a few seconds' grace, then SIGKILL to what is left.
    void stop() {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGTERM);
        long long end = ink::time::now_us() + 5000000;
        while (running() && ink::time::now_us() < end)
            ink::time::sleep_ms(20);
        if (running()) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        // The group outlives its leader while a program it started still runs.
        end = ink::time::now_us() + 2000000;
        while (kill(-pid_, 0) == 0 && ink::time::now_us() < end)
            ink::time::sleep_ms(20);
        kill(-pid_, SIGKILL);
        pid_ = -1;
    }
    ~Child() { stop(); }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// ------------------------------------------------------------- display ---

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

struct Point {
    int x = -1, y = -1;
};

constexpr std::uint32_t kGreen = 0x00947E;  // the calibration target's core
const std::string kCalibTitle = "Calibrate";
const std::string kDialogTitle = "Vexor Driver";

class Desk {
  public:
    explicit Desk(Display *d) : d_(d), w_(DisplayWidth(d, 0)), h_(DisplayHeight(d, 0)) {}
    int width() const { return w_; }
    int height() const { return h_; }

    // Viewable windows named title anywhere in the tree (a window manager
    // may have reparented them).
    std::vector<Window> find(const std::string &title) {
        std::vector<Window> out;
        XSync(d_, False);
        walk(DefaultRootWindow(d_), [&](Window w) {
            char *name = nullptr;
            if (XFetchName(d_, w, &name) && name != nullptr) {
                if (title == name && viewable(w))
                    out.push_back(w);
                XFree(name);
            }
        });
        return out;
    }
    // Popup menus: override-redirect top-level windows smaller than the screen.
    bool popup_shown() {
        Window r, p, *c = nullptr;
        unsigned n = 0;
        bool found = false;
        if (!XQueryTree(d_, DefaultRootWindow(d_), &r, &p, &c, &n))
            return false;
        for (unsigned i = 0; i < n; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(d_, c[i], &a) && a.map_state == IsViewable &&
                a.override_redirect && a.width > 40 && a.height > 20 && a.width < w_)
                found = true;
        }
        if (c)
            XFree(c);
        return found;
    }
    // The tray program's status icon: an embedded window of that program.
    std::optional<Point> tray_icon() {
        std::optional<Point> out;
        Atom xembed = XInternAtom(d_, "_XEMBED_INFO", False);
        Atom wm_pid = XInternAtom(d_, "_NET_WM_PID", False);
        walk(DefaultRootWindow(d_), [&](Window w) {
            if (out || !has_property(w, xembed) || !viewable(w))
                return;
            long pid = cardinal(w, wm_pid);
            if (pid <= 0 || exe_of(pid) != ink::path::kTrayProgram)
                return;
            Rect g = geometry(w);
            out = Point{g.x + g.w / 2, g.y + g.h / 2};
        });
        return out;
    }

    void key(unsigned long keysym, Window focus = 0) {
        if (focus != 0)
            XSetInputFocus(d_, focus, RevertToParent, CurrentTime);
        KeyCode kc = XKeysymToKeycode(d_, keysym);
        XSync(d_, False);
        XTestFakeKeyEvent(d_, kc, True, CurrentTime);
        XTestFakeKeyEvent(d_, kc, False, CurrentTime);
        XSync(d_, False);
    }
    void move(int x, int y) {
        // A display of Xinerama heads keeps fake motion on the pointer's head:
        // the user's hand crosses to the other head first.
        XWarpPointer(d_, None, DefaultRootWindow(d_), 0, 0, 0, 0, x, y);
        XTestFakeMotionEvent(d_, 0, x, y, CurrentTime);
        XSync(d_, False);
    }
    void click(int x, int y) {
        move(x, y);
        XTestFakeButtonEvent(d_, 1, True, CurrentTime);
        XTestFakeButtonEvent(d_, 1, False, CurrentTime);
        XSync(d_, False);
    }

    // Centre of the green target on the screen, if one is shown.
    Point find_green() {
        Point p;
        inktest::colour_centre(d_, kGreen, &p.x, &p.y);
        return p;
    }

  private:
    template <class F>
    void walk(Window w, const F &f) {
        f(w);
        Window r, p, *c = nullptr;
        unsigned n = 0;
        if (!XQueryTree(d_, w, &r, &p, &c, &n))
            return;
        std::vector<Window> kids(c, c + n);
        if (c)
            XFree(c);
        for (Window k : kids)
            walk(k, f);
    }
    bool viewable(Window w) {
        XWindowAttributes a;
        return XGetWindowAttributes(d_, w, &a) && a.map_state == IsViewable;
    }
    bool has_property(Window w, Atom a) {
        int n = 0;
        Atom *props = XListProperties(d_, w, &n);
        bool found = props != nullptr && std::find(props, props + n, a) != props + n;
        if (props)
            XFree(props);
        return found;
    }
    long cardinal(Window w, Atom a) {
        Atom type;
        int format;
        unsigned long n = 0, after;
        unsigned char *data = nullptr;
        long v = -1;
        if (XGetWindowProperty(d_, w, a, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after,
                               &data) == Success &&
            data != nullptr && n == 1 && format == 32)
            v = *reinterpret_cast<long *>(data);
        if (data)
            XFree(data);
        return v;
    }
    static std::string exe_of(long pid) {
        char buf[4096];
        std::string link = "/proc/" + std::to_string(pid) + "/exe";
        ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    Rect geometry(Window w) {
        XWindowAttributes a;
        Rect g;
        if (!XGetWindowAttributes(d_, w, &a))
            return g;
        Window child;
        XTranslateCoordinates(d_, w, DefaultRootWindow(d_), 0, 0, &g.x, &g.y, &child);
        g.w = a.width;
        g.h = a.height;
        return g;
    }

    Display *d_;
    int w_, h_;
};

// A private X server: an Xvfb, or for several monitors an Xephyr with
// Xinerama heads shown in a host Xvfb. It runs in a process group of its own,
// so that Ctrl+C in the terminal does not take it away under the driver, which
// ends it itself on the way out.
class Xvfb {
  public:
    struct Head {
        int w, h, x, y;
    };
    bool start(int w, int h) {
        std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "x24";
        name_ = spawn("/usr/bin/Xvfb", {"-screen", "0", geometry, "-nolisten", "tcp", "-noreset"},
                      "", &pid_);
        return !name_.empty();
    }
    bool start_heads(const std::vector<Head> &heads) {
        int w = 0, h = 0;
        std::vector<std::string> args = {"+xinerama", "-ac", "-nolisten", "tcp", "-noreset"};
        for (const auto &hd : heads) {
            w = std::max(w, hd.x + hd.w);
            h = std::max(h, hd.y + hd.h);
            args.push_back("-screen");
            args.push_back(std::to_string(hd.w) + "x" + std::to_string(hd.h) + "+" +
                           std::to_string(hd.x) + "+" + std::to_string(hd.y));
        }
        if (!start(w, h))
            return false;
        std::string host = name_;
        name_ = spawn("/usr/bin/Xephyr", args, host, &nested_);
        return !name_.empty();
    }
    const std::string &display() const { return name_; }
    pid_t pid() const { return pid_; }  // the process group of both
    ~Xvfb() {
        end(nested_);
        end(pid_);
    }

  private:
    // The first server gets a process group of its own, the nested one joins it.
    std::string spawn(const char *program, const std::vector<std::string> &args,
                      const std::string &host, pid_t *pid) {
        std::string name = inktest::spawn_x_server(program, args, host, pid, pid_ > 0 ? pid_ : 0);
        if (!name.empty())
            setenv("NO_AT_BRIDGE", "1", 1);
        return name;
    }
    static void end(pid_t pid) {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        long long end = ink::time::now_us() + 3000000;
        while (waitpid(pid, nullptr, WNOHANG) != pid) {
            if (ink::time::now_us() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                break;
            }
            ink::time::sleep_ms(20);
        }
    }

    pid_t pid_ = -1, nested_ = -1;
    std::string name_;
};

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

// ------------------------------------------------------------- canvas ---

// A window over the whole screen that paints what reaches the desktop: lines
// while the left button is held, a dot for every press, a ring for every right
// click. It counts the presses and releases it receives.
class Canvas {
  public:
    struct Mark {
        int x, y;
    };
    // Covers the rectangle (x, y, w, h) of the root: the projected image.
    bool start(const std::string &display, Rect r, Window keep_above = 0) {
        d_ = XOpenDisplay(display.c_str());
        if (d_ == nullptr)
            return false;
        int w = r.w, h = r.h;
        h_ = h;
        XSetWindowAttributes a;
        a.background_pixel = 0xF7F5EE;
        a.override_redirect = True;
        a.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask;
        win_ = XCreateWindow(d_, DefaultRootWindow(d_), r.x, r.y, static_cast<unsigned>(w),
                             static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWBackPixel | CWOverrideRedirect | CWEventMask, &a);
        XStoreName(d_, win_, "inkfulldemo canvas");
        ink_ = XCreateGC(d_, win_, 0, nullptr);
        XSetForeground(d_, ink_, 0x1A237E);
        XSetLineAttributes(d_, ink_, 3, LineSolid, CapRound, JoinRound);
        red_ = XCreateGC(d_, win_, 0, nullptr);
        XSetForeground(d_, red_, 0xC62828);
        XSetLineAttributes(d_, red_, 3, LineSolid, CapRound, JoinRound);
        XMapRaised(d_, win_);
        if (keep_above != 0)
            XRaiseWindow(d_, keep_above);
        XSync(d_, False);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~Canvas() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (d_ != nullptr)
            XCloseDisplay(d_);
    }
    int left_presses() const { return left_presses_; }
    int left_releases() const { return left_releases_; }
    int right_presses() const { return right_presses_; }
    std::vector<Mark> right_clicks() {
        std::lock_guard<std::mutex> l(mu_);
        return rights_;
    }
    std::vector<Mark> left_presses_at() {
        std::lock_guard<std::mutex> l(mu_);
        return dots_;
    }

  private:
    void paint_all() {
        XDrawString(d_, win_, ink_, 12, h_ - 12, kLabel, std::strlen(kLabel));
        for (auto &s : segs_)
            XDrawLine(d_, win_, ink_, s[0], s[1], s[2], s[3]);
        for (auto &m : dots_)
            XFillArc(d_, win_, ink_, m.x - 4, m.y - 4, 8, 8, 0, 360 * 64);
        for (auto &m : rights_)
            ring(m);
    }
    void ring(const Mark &m) {
        XDrawArc(d_, win_, red_, m.x - 16, m.y - 16, 32, 32, 0, 360 * 64);
        XDrawString(d_, win_, red_, m.x + 20, m.y + 4, "right click", 11);
    }
    void run() {
        int lx = 0, ly = 0;
        bool down = false;
        while (!stop_) {
            while (XPending(d_) > 0) {
                XEvent e;
                XNextEvent(d_, &e);
                std::lock_guard<std::mutex> l(mu_);
                if (e.type == Expose && e.xexpose.count == 0) {
                    paint_all();
                } else if (e.type == ButtonPress && e.xbutton.button == 1) {
                    ++left_presses_;
                    down = true;
                    lx = e.xbutton.x;
                    ly = e.xbutton.y;
                    dots_.push_back({lx, ly});
                    XFillArc(d_, win_, ink_, lx - 4, ly - 4, 8, 8, 0, 360 * 64);
                } else if (e.type == ButtonRelease && e.xbutton.button == 1) {
                    ++left_releases_;
                    down = false;
                } else if (e.type == ButtonPress && e.xbutton.button == 3) {
                    ++right_presses_;
                    rights_.push_back({e.xbutton.x, e.xbutton.y});
                    ring(rights_.back());
                } else if (e.type == MotionNotify && down) {
                    segs_.push_back({lx, ly, e.xmotion.x, e.xmotion.y});
                    XDrawLine(d_, win_, ink_, lx, ly, e.xmotion.x, e.xmotion.y);
                    lx = e.xmotion.x;
                    ly = e.xmotion.y;
                }
            }
            XFlush(d_);
            struct pollfd p {
                ConnectionNumber(d_), POLLIN, 0
            };
            ::poll(&p, 1, 20);
        }
    }

    static constexpr const char *kLabel =
        "inkfulldemo: what the desktop received from the pen (lines: left button held, "
        "rings: right clicks)";
    Display *d_ = nullptr;
    Window win_ = 0;
    int h_ = 0;
    GC ink_{}, red_{};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> left_presses_{0}, left_releases_{0}, right_presses_{0};
    std::mutex mu_;
    std::vector<std::array<int, 4>> segs_;
    std::vector<Mark> dots_, rights_;
};

// ------------------------------------------------------ pointer sampler ---

struct Sample {
    long long t_us;
    int x, y;
    bool left, right;
};

// One pointer record as inkpointer logged it: "<time us> b0 b1 b2 b3" (hex).
// A record without a position (0, 0) leaves the pointer where it was.
std::vector<Sample> read_records(const std::string &path) {
    std::vector<Sample> out;
    std::ifstream f(path);
    std::string line;
    int x = 0, y = 0;
    while (std::getline(f, line)) {
        long long t;
        unsigned b[4];
        if (std::sscanf(line.c_str(), "%lld %x %x %x %x", &t, &b[0], &b[1], &b[2], &b[3]) != 5)
            continue;
        int rx = static_cast<int>(((b[1] >> 4) << 8) | b[2]);
        int ry = static_cast<int>(((b[1] & 0x0F) << 8) | b[3]);
        if (rx != 0 || ry != 0) {
            x = rx;
            y = ry;
        }
        out.push_back({t, x, y, (b[0] & 0x04) != 0, (b[0] & 0x01) != 0});
    }
    return out;
}

// Reads the real X pointer's position and buttons every few milliseconds.
class Sampler {
  public:
    // Positions relative to (ox, oy), the projected image's origin.
    bool start(const std::string &display, int ox, int oy) {
        d_ = XOpenDisplay(display.c_str());
        if (d_ == nullptr)
            return false;
        thread_ = std::thread([this, ox, oy] {
            Window root = DefaultRootWindow(d_);
            while (!stop_) {
                Window r, c;
                int rx, ry, wx, wy;
                unsigned mask;
                if (XQueryPointer(d_, root, &r, &c, &rx, &ry, &wx, &wy, &mask)) {
                    std::lock_guard<std::mutex> l(mu_);
                    samples_.push_back({ink::time::now_us(), rx - ox, ry - oy,
                                        (mask & Button1Mask) != 0, (mask & Button3Mask) != 0});
                }
                ink::time::sleep_ms(4);
            }
        });
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    ~Sampler() {
        stop();
        if (d_ != nullptr)
            XCloseDisplay(d_);
    }
    std::vector<Sample> samples() {
        std::lock_guard<std::mutex> l(mu_);
        return samples_;
    }

  private:
    Display *d_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Sample> samples_;
};

// ---------------------------------------------------------------- pen ---

using Stroke = std::vector<std::pair<double, double>>;

// Where the pen was from a moment on (down false: off the surface).
struct PenAt {
    long long t_us;
    double x, y;
    bool down;
};

// Plays the scenario's pen steps on the simulator along its frame clock, the
// way the unit's own timeline would (a tap of 30 ms is three frames at 100
// frames per second, whatever the load), and returns the pen's strokes (a
// single point for a tap).
std::vector<Stroke> play_pen(inksim::Simulator &sim, const std::vector<inksim::Step> &steps,
                             int rate, std::vector<PenAt> *track) {
    auto set = [&](std::optional<std::pair<double, double>> pos) {
        sim.set_pen(pos);
        track->push_back(
            {ink::time::now_us(), pos ? pos->first : 0, pos ? pos->second : 0, pos.has_value()});
    };
    // Raised priority where allowed: a frame missed turns a tap into a hold.
    struct sched_param sp {};
    sp.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    auto frames_of = [rate](long ms) {
        return std::llround(static_cast<double>(ms) * rate / 1000.0);
    };
    // Returns once frame f is the next one the unit streams.
    auto at_frame = [&sim](long long f) {
        while (!g_stop && sim.frames() < f)
            ink::time::sleep_us(300);
    };
    std::vector<Stroke> strokes;
    bool down = false;
    double x = 0, y = 0;
    long long f = sim.frames();
    for (const auto &s : steps) {
        if (g_stop)
            break;
        switch (s.kind) {
            case inksim::StepKind::Down:
                at_frame(f);
                x = s.x;
                y = s.y;
                down = true;
                set(std::make_pair(x, y));
                strokes.push_back({{x, y}});
                break;
            case inksim::StepKind::Move: {
                long long n = std::max(1LL, frames_of(s.ms));
                for (long long j = 1; j <= n && !g_stop; ++j) {
                    at_frame(f + j - 1);
                    double t = static_cast<double>(j) / static_cast<double>(n);
                    if (down)
                        set(std::make_pair(x + (s.x - x) * t, y + (s.y - y) * t));
                }
                f += n;
                x = s.x;
                y = s.y;
                if (down && !strokes.empty())
                    strokes.back().push_back({x, y});
                break;
            }
            case inksim::StepKind::Hold:
                f += frames_of(s.ms);
                break;
            case inksim::StepKind::Lift:
                at_frame(f);
                down = false;
                set(std::nullopt);
                break;
            default:  // faults have no place in the demo
                break;
        }
    }
    at_frame(f);
    set(std::nullopt);
    return strokes;
}

double dist_to_segment(double px, double py, double x0, double y0, double x1, double y1) {
    double dx = x1 - x0, dy = y1 - y0, l2 = dx * dx + dy * dy;
    double t = l2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / l2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (x0 + t * dx), py - (y0 + t * dy));
}

double dist_to_pen(const std::vector<Stroke> &pen, double x, double y) {
    double best = 1e18;
    for (const auto &p : pen) {
        best = std::min(best, std::hypot(x - p[0].first, y - p[0].second));
        for (size_t i = 1; i < p.size(); ++i)
            best = std::min(best, dist_to_segment(x, y, p[i - 1].first, p[i - 1].second, p[i].first,
                                                  p[i].second));
    }
    return best;
}

// The pen at time t, if it was down then.
const PenAt *pen_at(const std::vector<PenAt> &track, long long t) {
    auto it = std::upper_bound(track.begin(), track.end(), t,
                               [](long long v, const PenAt &p) { return v < p.t_us; });
    if (it == track.begin())
        return nullptr;
    --it;
    return it->down ? &*it : nullptr;
}

// Distances of the held pointer's samples from where the pen was delay_us
// earlier.
std::vector<double> timed_error(const std::vector<PenAt> &track, const std::vector<Sample> &samples,
                                long long delay_us) {
    std::vector<double> out;
    for (const auto &s : samples) {
        if (!s.left)
            continue;
        if (const PenAt *p = pen_at(track, s.t_us - delay_us))
            out.push_back(std::hypot(s.x - p->x, s.y - p->y));
    }
    return out;
}

// "mean M px, 95th percentile P px, max X px"; sorts v.
std::string stats(std::vector<double> v) {
    if (v.empty())
        return "no samples";
    std::sort(v.begin(), v.end());
    double mean = 0;
    for (double e : v)
        mean += e;
    mean /= static_cast<double>(v.size());
    char buf[128];
    std::snprintf(buf, sizeof buf, "mean %.1f px, 95th percentile %.1f px, max %.1f px", mean,
                  v[static_cast<size_t>(0.95 * static_cast<double>(v.size() - 1))], v.back());
    return buf;
}

void write_svg(const std::string &path, int w, int h, const std::vector<Stroke> &pen,
               const std::vector<Sample> &records, const std::vector<Sample> &samples,
               const std::vector<Canvas::Mark> &presses, const std::vector<Canvas::Mark> &rights) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::perror(path.c_str());
        return;
    }
    std::fprintf(
        f,
        "<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' viewBox='0 0 %d %d'>\n"
        "<rect width='%d' height='%d' fill='white' stroke='#888'/>\n",
        w, h, w, h, w, h);
    for (const auto &p : pen) {
        if (p.size() == 1) {
            std::fprintf(f,
                         "<circle cx='%.1f' cy='%.1f' r='9' fill='none' stroke='#4a90d9' "
                         "stroke-width='3'/>\n",
                         p[0].first, p[0].second);
            continue;
        }
        std::fprintf(f,
                     "<polyline fill='none' stroke='#4a90d9' stroke-width='8' "
                     "stroke-opacity='0.45' points='");
        for (const auto &q : p)
            std::fprintf(f, "%.1f,%.1f ", q.first, q.second);
        std::fprintf(f, "'/>\n");
    }
    // The X pointer while its left button was held; a dot at every press the
    // desktop received (clicks too short for the sampling included).
    for (const auto &m : presses)
        std::fprintf(f, "<circle cx='%d' cy='%d' r='3' fill='#d0021b'/>\n", m.x, m.y);
    bool open = false;
    for (const auto &s : records) {
        if (s.left && !open) {
            std::fprintf(f, "<polyline fill='none' stroke='#d0021b' stroke-width='3' points='");
            open = true;
        }
        if (s.left)
            std::fprintf(f, "%d,%d ", s.x, s.y);
        if (!s.left && open) {
            std::fprintf(f, "'/>\n");
            open = false;
        }
    }
    if (open)
        std::fprintf(f, "'/>\n");
    // The real X pointer as sampled meanwhile.
    for (const auto &s : samples)
        if (s.left)
            std::fprintf(f, "<circle cx='%d' cy='%d' r='0.9' fill='#000' fill-opacity='0.55'/>\n",
                         s.x, s.y);
    for (const auto &m : rights)
        std::fprintf(f,
                     "<circle cx='%d' cy='%d' r='14' fill='none' stroke='#7b1fa2' "
                     "stroke-width='2'/>\n<text x='%d' y='%d' font-size='16' fill='#7b1fa2' "
                     "font-family='sans-serif'>right click</text>\n",
                     m.x, m.y, m.x + 18, m.y - 14);
    // The legend: one line a kind, over a white box, so that no two texts
    // and no path can run into each other whatever the screen's width.
    const char *legend[][2] = {
        {"#4a90d9", "blue: the pen's path (a ring: a tap)"},
        {"#d0021b", "red: pointer records with the left button held, dots: presses"},
        {"#222222", "black dots: the real X pointer, sampled"},
    };
    const int line = 20, top = h - 10 - 3 * line;
    std::fprintf(f,
                 "<rect x='4' y='%d' width='500' height='%d' fill='white' fill-opacity='0.85' "
                 "stroke='#888'/>\n",
                 top - 4, 3 * line + 8);
    for (int i = 0; i < 3; ++i)
        std::fprintf(f,
                     "<text x='10' y='%d' font-size='14' font-family='sans-serif' "
                     "fill='%s'>%s</text>\n",
                     top + (i + 1) * line - 5, legend[i][0], legend[i][1]);
    std::fprintf(f, "</svg>\n");
    std::fclose(f);
}

// ------------------------------------------------------------- the demo ---

struct Options {
    std::string scenario, out;
    bool xvfb = false;
    int monitors = 1;    // 2: a laptop panel (primary) and a projector beside it
    std::string choice;  // the user's monitor choice, written before the start
};

class Demo {
  public:
    explicit Demo(const Options &o) : opt_(o) {}
    int run();
    void cleanup();

  private:
    void step(const std::string &what) {
        std::printf("  %5.1fs  %s\n", (ink::time::now_us() - t0_) / 1e6, what.c_str());
        std::fflush(stdout);
    }
    bool fail(const std::string &why) {
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
    size_t inkd_count(const std::string &what) { return count_of(read_text(inkd_out_), what); }
    bool open_display();
    void screenshot(const std::string &name);
    bool start_suite(const inksim::Scenario &sc);
    bool calibrate();
    void report(const std::vector<Stroke> &pen, const std::vector<PenAt> &track,
                const std::vector<Sample> &records, const std::vector<Sample> &samples);

    Options opt_;
    long long t0_ = ink::time::now_us();
    std::string display_, inkd_out_;
    std::unique_ptr<Xvfb> xvfb_;
    std::unique_ptr<inktest::TrayHost> host_;
    Display *dpy_ = nullptr;
    std::unique_ptr<Desk> desk_;
    Rect proj_;  // the projected image: what the camera sees, in root coordinates
    std::unique_ptr<inksim::Simulator> sim_;
    Child inkd_, pointer_;
    std::unique_ptr<Canvas> canvas_;
    std::unique_ptr<Sampler> sampler_;
};

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
        xvfb_ = std::make_unique<Xvfb>();
        if (opt_.monitors == 2) {
            if (access("/usr/bin/Xephyr", X_OK) != 0)
                return fail("two monitors need Xephyr (apt-get install xserver-xephyr)");
            if (!xvfb_->start_heads({{1280, 800, 0, 0}, {1024, 768, 1280, 0}}))
                return fail("Xephyr with two monitors did not start");
        } else if (!xvfb_->start(1024, 768)) {
            return fail("Xvfb did not start");
        }
        display_ = xvfb_->display();
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
    desk_ = std::make_unique<Desk>(dpy_);
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
    if (!pointer_.start(
            {bin + "inkpointer", "--backend", "xtest", "--log", opt_.out + "/pointer.log"},
            opt_.out + "/inkpointer.out"))
        return fail("cannot start inkpointer");
    sim_ = std::make_unique<inksim::Simulator>(sc);
    std::string err;
    if (!sim_->start(&err))
        return fail("the virtual camera unit did not start: " + err);
    step("virtual camera unit attached at " + std::string(ink::path::kDeviceNode));
    if (!inkd_.start({bin + "inkd", "--vxd-debug"}, inkd_out_))
        return fail("cannot start inkd");
    g_groups[0] = inkd_.pid();
    g_groups[1] = pointer_.pid();
    g_groups[2] = xvfb_ ? xvfb_->pid() : 0;
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
    std::optional<Point> icon;
    if (!wait_for([&] { return (icon = desk_->tray_icon()).has_value(); }, 15000)) {
        if (host_ && host_->wait_icon(std::chrono::milliseconds(100)))
            icon = Point{host_->icon_x(), host_->icon_y()};
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

    std::vector<Point> done;
    for (int k = 0; !g_stop; ++k) {
        Point p;
        bool shown = wait_for(
            [&] {
                if (inkd_count("targets done") > 0)
                    return true;
                p = desk_->find_green();
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

void Demo::report(const std::vector<Stroke> &pen, const std::vector<PenAt> &track,
                  const std::vector<Sample> &records, const std::vector<Sample> &samples) {
    std::vector<double> err;
    for (const auto &s : samples)
        if (s.left)
            err.push_back(dist_to_pen(pen, s.x, s.y));
    std::vector<double> rec_err;
    for (const auto &s : records)
        if (s.left)
            rec_err.push_back(dist_to_pen(pen, s.x, s.y));
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
        r << "    distance from the pen's path:     " << stats(err) << "\n";
        r << "    distance from the pen at the time: " << stats(timed_error(track, samples, 0))
          << "\n";
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
        r << "    the same, " << best_d / 1000
          << " ms later (the pointer's delay): " << stats(timed_error(track, samples, best_d))
          << "\n";
        r << "  pointer records with the left button held (" << rec_err.size() << "):\n"
          << "    distance from the pen's path:     " << stats(rec_err) << "\n";
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
    sampler_ = std::make_unique<Sampler>();
    if (!sampler_->start(display_, proj_.x, proj_.y))
        return fail("cannot sample the pointer"), 1;
    nap(500);
    step("the pen writes \"Hi\", draws a star, taps, double-taps and right-clicks");
    std::vector<PenAt> track;
    auto pen = play_pen(*sim_, steps, sc.unit.rate, &track);
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
    bool moved =
        std::any_of(samples.begin(), samples.end(), [](const Sample &x) { return x.left; });
    if (records.empty() || !moved || canvas_->left_presses() == 0) {
        std::fprintf(stderr, "inkfulldemo: the pen did not reach the X pointer; see %s\n",
                     opt_.out.c_str());
        return 1;
    }
    return 0;
}

void Demo::cleanup() {
    sampler_.reset();
    inkd_.stop();
    pointer_.stop();
    g_groups[0] = g_groups[1] = 0;
    if (sim_)
        sim_->stop();
    sim_.reset();
    canvas_.reset();
    host_.reset();
    if (dpy_ != nullptr)
        XCloseDisplay(dpy_);
    dpy_ = nullptr;
    xvfb_.reset();
    g_groups[2] = 0;
    // Every group has ended: nothing left for the start script to end.
    std::remove((opt_.out + "/pgids").c_str());
}

}  // namespace

constexpr const char *kUsage =
    "usage: inkfulldemo --scenario FILE --out DIR [--xvfb] [--monitors 1|2 [--choice LINE]]\n";

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--scenario" && i + 1 < argc)
            o.scenario = argv[++i];
        else if (a == "--out" && i + 1 < argc)
            o.out = argv[++i];
        else if (a == "--xvfb")
            o.xvfb = true;
        else if (a == "--monitors" && i + 1 < argc &&
                 (std::strcmp(argv[i + 1], "1") == 0 || std::strcmp(argv[i + 1], "2") == 0))
            o.monitors = std::atoi(argv[++i]);
        else if (a == "--choice" && i + 1 < argc)
            o.choice = argv[++i];
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    if (o.scenario.empty() || o.out.empty() || (!o.choice.empty() && o.monitors != 2)) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    // The tray program and inkpointer read the monitor choice from a config
    // home of the demo's own, never the user's.
    std::string config = o.out + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!o.choice.empty()) {
        mkdir(config.c_str(), 0700);
        mkdir((config + "/vexor-driver").c_str(), 0700);
        std::ofstream(config + "/vexor-driver/screen") << o.choice << "\n";
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mkdir(o.out.c_str(), 0755);
    Demo demo(o);
    int rc = demo.run();
    demo.cleanup();
    return rc;
}
