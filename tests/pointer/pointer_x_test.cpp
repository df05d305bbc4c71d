// The pen drives the X pointer: virtual unit, real daemon and relay, fake tray
// program, and inkpointer with its XTest backend on a private Xvfb server. An
// X client on the root window sees the moves and the button presses.
#include <signal.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ink_time.h"
#include "sessions/pen_session.h"
#include "x/xsession.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

struct Click {
    bool press;
    unsigned button;
    int x, y;
    bool operator==(const Click &o) const {
        return press == o.press && button == o.button && x == o.x && y == o.y;
    }
};

std::ostream &operator<<(std::ostream &os, const Click &c) {
    return os << (c.press ? "press " : "release ") << c.button << " at " << c.x << "," << c.y;
}

class PointerOnX : public PenSession {
  protected:
    void SetUp() override {
        PenSession::SetUp();
        if (IsSkipped())
            return;
        if (!xvfb_installed())
            GTEST_SKIP() << "no Xvfb";
        pipe_.reset();  // inkpointer is the reader here
        ASSERT_TRUE(x_.start(1024, 768));
        install_program("inkpointer");
        watcher_ = XOpenDisplay(x_.display_name().c_str());
        ASSERT_NE(watcher_, nullptr);
        XSelectInput(watcher_, DefaultRootWindow(watcher_),
                     ButtonPressMask | ButtonReleaseMask | PointerMotionMask);
        XSync(watcher_, False);
        pointer_ =
            Process::start({in_root("/usr/bin/inkpointer"), "--backend", "xtest", "--display",
                            x_.display_name(), "--log", log_dir_ + "/records.txt", "--vxd-debug"},
                           log_dir_ + "/inkpointer.out");
        ASSERT_TRUE(pointer_.wait_output("reading", 5s)) << pointer_.output();
    }
    void TearDown() override {
        PenSession::TearDown();
        pointer_ = Process();
        if (watcher_)
            XCloseDisplay(watcher_);
    }
    // Takes every event the watcher has received.
    void drain() {
        while (XPending(watcher_)) {
            XEvent e;
            XNextEvent(watcher_, &e);
            if (e.type == ButtonPress || e.type == ButtonRelease)
                seen_.push_back(
                    {e.type == ButtonPress, e.xbutton.button, e.xbutton.x_root, e.xbutton.y_root});
            else if (e.type == MotionNotify)
                ++motions_;
        }
    }

    XServer x_;
    Display *watcher_ = nullptr;
    Process pointer_;
    std::vector<Click> seen_;
    long motions_ = 0;
};

}  // namespace

TEST_F(PointerOnX, PenStrokeTapAndRightClickReachTheXPointer) {
    start_scenario("stroke_tap_rightclick.txt");  // the right click's taps at (500, 601)
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    // Runs until the right click's release has come and nothing more follows.
    auto right_released = [&] {
        drain();
        for (const auto &c : seen_)
            if (!c.press && c.button == 3)
                return true;
        return false;
    };
    ASSERT_TRUE(wait_until(right_released, 30s)) << pointer_.output();
    std::this_thread::sleep_for(500ms);
    drain();

    // Against the pen the scenario played: every record the consumer read
    // with the left button held, and every left press and release the X
    // server saw, lies on the pen's path.
    std::vector<PointerBytes> logged;
    std::istringstream log(read_file(log_dir_ + "/records.txt").value_or(""));
    for (std::string l; std::getline(log, l);) {
        unsigned b[4];
        if (std::sscanf(l.c_str(), "%*s %x %x %x %x", &b[0], &b[1], &b[2], &b[3]) == 4)
            logged.push_back({static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                              static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3])});
    }
    EXPECT_GT(expect_on_pen(logged, 6.0), 20u);
    const auto pen = inksim::pen_strokes(scenario_.steps);
    for (const auto &k : seen_)
        EXPECT_TRUE(k.button != 1 || inksim::dist_to_pen(pen, k.x, k.y) < 6.0) << k;

    size_t left = 0, right = 0;
    for (const auto &k : seen_) {
        left += k.press && k.button == 1;
        right += k.press && k.button == 3;
    }
    EXPECT_GE(left, 2u);  // the stroke and the tap at least
    EXPECT_EQ(right, 1u);
    // The right click stays where the pen tapped, not at the corner.
    for (const auto &k : seen_)
        if (k.button == 3) {
            EXPECT_NEAR(k.x, 500, 15);
            EXPECT_NEAR(k.y, 601, 15);
        }
    EXPECT_GT(motions_, 20);

    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask;
    ASSERT_TRUE(XQueryPointer(watcher_, DefaultRootWindow(watcher_), &root, &child, &rx, &ry, &wx,
                              &wy, &mask));
    EXPECT_LT(inksim::dist_to_pen(pen, rx, ry), 6.0) << rx << "," << ry;
    EXPECT_EQ(mask & (Button1Mask | Button3Mask), 0u);  // nothing left pressed

    // SIGTERM ends the consumer cleanly.
    pointer_.signal(SIGTERM);
    auto st = pointer_.wait(3s);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0);
}

namespace {
// CPU time of a process so far, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14)
            utime = std::stol(f);
        if (i == 15)
            stime = std::stol(f);
    }
    return utime + stime;
}
}  // namespace

TEST_F(PointerOnX, ConnectionsComeAndGoWhileItWaitsWithoutSpinning) {
    start("");
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    auto press_count = [&] {
        drain();
        size_t n = 0;
        for (const auto &c : seen_)
            n += c.press && c.button == 1;
        return n;
    };
    auto touch = [&](double x, double y) {
        sim_->set_pen(std::make_pair(x, y));
        std::this_thread::sleep_for(std::chrono::milliseconds(ink::time::pause_ms(400)));
        sim_->set_pen(std::nullopt);
    };
    touch(300, 300);
    ASSERT_TRUE(wait_until([&] { return press_count() >= 1; }, 10s));

    // The unit goes away: the daemon writes its closing record and closes the
    // pipe; then comes back and the daemon opens it again.
    sim_->unplug();
    ASSERT_TRUE(wait_cmd_count("66", 2, 20s));
    long before = cpu_ticks(pointer_.pid());
    std::this_thread::sleep_for(1s);
    long after = cpu_ticks(pointer_.pid());
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 5) << "inkpointer busy while the pipe has no writer";
    sim_->plug();
    ASSERT_TRUE(wait_cmd_count("88", 2, 30s)) << daemon_.output();

    touch(700, 500);
    ASSERT_TRUE(wait_until([&] { return press_count() >= 2; }, 10s)) << pointer_.output();
    ASSERT_TRUE(wait_until(
        [&] {
            drain();
            return !seen_.back().press;
        },
        10s));
    // The pen's position reaches the pointer (the press itself may lie on
    // the daemon's smoothed way from the last position).
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask;
    ASSERT_TRUE(XQueryPointer(watcher_, DefaultRootWindow(watcher_), &root, &child, &rx, &ry, &wx,
                              &wy, &mask));
    EXPECT_NEAR(rx, 700, 15);
    EXPECT_NEAR(ry, 500, 15);
    EXPECT_TRUE(pointer_.running());
}
