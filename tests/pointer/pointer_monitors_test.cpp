// inkpointer on displays of several monitors: the records are in the pixels
// of the chosen monitor, and the X pointer lands at that monitor's origin
// plus the record's position. The real inkpointer with its XTest backend, on
// two Xinerama heads (Xephyr) or on an Xvfb whose RandR monitors change while
// it runs; the records are written into the pointer pipe directly.
// gtest first: Xlib defines None, a name gtest uses.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "support/process.h"
#include "support/sandbox.h"
#include "x/xsession.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

class PointerMonitors : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sandbox_available())
            GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT)";
        if (!xvfb_installed())
            GTEST_SKIP() << "no Xvfb";
        reset_sandbox();
        install_program("inkpointer");
        // A configuration directory of this test's own, not there yet.
        config_ = in_root("/tmp/config-") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::system(("rm -rf '" + config_ + "'").c_str());
        setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        choice_ = config_ + "/vexor-driver/screen";
    }
    void TearDown() override {
        stop_pointer();
        unsetenv("XDG_CONFIG_HOME");
        if (!config_.empty())
            std::system(("rm -rf '" + config_ + "'").c_str());
    }

    // Two heads side by side: an 800x600 primary and a 640x480 one right of it.
    bool two_heads() {
        if (!xephyr_installed())
            return false;
        return x_.start_heads({{800, 600, 0, 0}, {640, 480, 800, 0}});
    }

    void start_pointer(const std::string &display = "") {
        out_ = in_root("/tmp/inkpointer-") + std::to_string(++starts_) + ".out";
        pointer_ =
            Process::start({in_root("/usr/bin/inkpointer"), "--backend", "xtest", "--display",
                            display.empty() ? x_.display_name() : display, "--vxd-debug"},
                           out_);
        ASSERT_TRUE(pointer_.wait_output("reading", 5s)) << pointer_.output();
        // inkpointer holds the pipe open for reading: this open never waits.
        pipe_ = open(in_root("/sbin/fmousefifo").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(pipe_, 0) << in_root("/sbin/fmousefifo") << ": " << std::strerror(errno);
    }
    void stop_pointer() {
        if (pipe_ >= 0)
            close(pipe_);
        pipe_ = -1;
        pointer_ = Process();
    }

    // The choice file's new text, put in place as the tray program does:
    // a temporary file renamed over the old one.
    void put_choice(const std::string &text) {
        std::system(("mkdir -p '" + config_ + "/vexor-driver'").c_str());
        write_file(choice_ + ".new", text);
        ASSERT_EQ(rename((choice_ + ".new").c_str(), choice_.c_str()), 0);
    }

    // A hovering record (no button) at (x, y) of the chosen monitor.
    bool send(int x, int y) {
        const std::uint8_t rec[4] = {0xF0, static_cast<std::uint8_t>(((x >> 8) << 4) | (y >> 8)),
                                     static_cast<std::uint8_t>(x & 0xFF),
                                     static_cast<std::uint8_t>(y & 0xFF)};
        return write(pipe_, rec, sizeof rec) == 4;
    }
    bool pointer_is_at(int x, int y) {
        Window root, child;
        int rx = -1, ry = -1, wx, wy;
        unsigned mask;
        XQueryPointer(x_.dpy(), DefaultRootWindow(x_.dpy()), &root, &child, &rx, &ry, &wx, &wy,
                      &mask);
        last_x_ = rx;
        last_y_ = ry;
        return rx == x && ry == y;
    }
    // Sends the record (rx, ry) until the pointer is at (x, y): a change of
    // choice or layout is taken up by inkpointer shortly after it happens.
    bool record_lands_at(int rx, int ry, int x, int y) {
        return wait_until(
            [&] {
                if (!send(rx, ry))
                    return false;
                std::this_thread::sleep_for(20ms);
                return pointer_is_at(x, y);
            },
            5s);
    }
    // The pointer is parked first at another place of the head the record
    // should reach, so that a record that is not performed cannot look like
    // one that was. (Xephyr keeps XTest motion on the head the pointer is on,
    // clamped at its edge: a record on the wrong head ends there. A warp
    // crosses heads.)
    ::testing::AssertionResult lands(int rx, int ry, int x, int y) {
        XWarpPointer(x_.dpy(), None, DefaultRootWindow(x_.dpy()), 0, 0, 0, 0, x < 800 ? 400 : 1100,
                     300);
        XSync(x_.dpy(), False);
        if (record_lands_at(rx, ry, x, y))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "record " << rx << "," << ry << ": pointer at " << last_x_ << "," << last_y_
               << ", not " << x << "," << y << "\n"
               << pointer_.output();
    }

    XServer x_;
    Process pointer_;
    int pipe_ = -1;
    int starts_ = 0;
    int last_x_ = -1, last_y_ = -1;
    std::string config_, choice_, out_;
};

}  // namespace

TEST_F(PointerMonitors, WithoutAChoiceRecordsGoToTheMonitorThatIsNotThePrimary) {
    if (!two_heads())
        GTEST_SKIP() << "no Xephyr for two monitors";
    ASSERT_NO_FATAL_FAILURE(start_pointer());
    EXPECT_TRUE(lands(10, 20, 810, 20));
    EXPECT_TRUE(lands(639, 479, 1439, 479));
    // A button-only record at (0, 0) leaves the pointer where it is.
    ASSERT_TRUE(lands(100, 200, 900, 200));
    const std::uint8_t right_click[8] = {0xF1, 0, 0, 0, 0xF0, 0, 0, 0};
    ASSERT_EQ(write(pipe_, right_click, sizeof right_click), 8);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(pointer_is_at(900, 200)) << last_x_ << "," << last_y_;
    EXPECT_TRUE(pointer_.wait_output("XINERAMA-1", 1s)) << pointer_.output();
}

// The pen touches the projector while the pointer is on the laptop's panel:
// the press must land on the projector although fake motion cannot leave the
// panel's head there, and the stroke that follows must stay with the pen.
TEST_F(PointerMonitors, APressReachesTheMonitorFromAnotherHead) {
    if (!two_heads())
        GTEST_SKIP() << "no Xephyr for two monitors";
    ASSERT_NO_FATAL_FAILURE(start_pointer());
    XWarpPointer(x_.dpy(), None, DefaultRootWindow(x_.dpy()), 0, 0, 0, 0, 300, 300);
    XSync(x_.dpy(), False);
    const std::uint8_t stroke[12] = {0xF4, 0x00, 10, 20, 0xF4, 0x00, 50, 60, 0xF0, 0x00, 50, 60};
    ASSERT_EQ(write(pipe_, stroke, 4), 4);
    EXPECT_TRUE(wait_until([&] { return pointer_is_at(810, 20); }, 5s))
        << last_x_ << "," << last_y_;
    ASSERT_EQ(write(pipe_, stroke + 4, 8), 8);
    EXPECT_TRUE(wait_until([&] { return pointer_is_at(850, 60); }, 5s))
        << last_x_ << "," << last_y_;
}

TEST_F(PointerMonitors, ChoiceFileNamesTheWholeScreenOrOneMonitor) {
    if (!two_heads())
        GTEST_SKIP() << "no Xephyr for two monitors";
    struct Case {
        const char *choice;
        int x, y;
    };
    for (const Case &c :
         {Case{"all\n", 10, 20}, Case{"monitor 0\n", 10, 20}, Case{"monitor 1\n", 810, 20},
          Case{"XINERAMA-1\n", 810, 20}, Case{"XINERAMA-0\n", 10, 20}, Case{"  all  \n", 10, 20},
          // Monitors that are not there: the default rules.
          Case{"monitor 2\n", 810, 20}, Case{"HDMI-1\n", 810, 20}}) {
        SCOPED_TRACE(c.choice);
        ASSERT_NO_FATAL_FAILURE(put_choice(c.choice));
        ASSERT_NO_FATAL_FAILURE(start_pointer());
        EXPECT_TRUE(lands(10, 20, c.x, c.y));
        stop_pointer();
    }
}

TEST_F(PointerMonitors, ChoiceChangesAreFollowedWhileItRuns) {
    if (!two_heads())
        GTEST_SKIP() << "no Xephyr for two monitors";
    // Not even the directory is there when inkpointer starts.
    ASSERT_NO_FATAL_FAILURE(start_pointer());
    ASSERT_TRUE(lands(10, 20, 810, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice("all\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));
    EXPECT_TRUE(pointer_.wait_output("the whole screen, as chosen", 1s)) << pointer_.output();
    ASSERT_NO_FATAL_FAILURE(put_choice("XINERAMA-1\n"));
    EXPECT_TRUE(lands(10, 20, 810, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice("monitor 0\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));

    // A file that does not parse: said in the debug output, the default
    // rules apply, and inkpointer goes on.
    ASSERT_NO_FATAL_FAILURE(put_choice("monitor zero\n"));
    EXPECT_TRUE(lands(10, 20, 810, 20));
    EXPECT_TRUE(pointer_.wait_output("the default rules apply", 1s)) << pointer_.output();
    ASSERT_NO_FATAL_FAILURE(put_choice("all\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice(std::string("\x01\xff\0garbage\n\n", 11)));
    EXPECT_TRUE(lands(10, 20, 810, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice(std::string(5000, 'x')));
    ASSERT_NO_FATAL_FAILURE(put_choice("all\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));

    // The file removed: the default rules. Its directory removed and made
    // again: still followed.
    ASSERT_EQ(unlink(choice_.c_str()), 0);
    EXPECT_TRUE(lands(10, 20, 810, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice("all\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));
    std::system(("rm -rf '" + config_ + "'").c_str());
    EXPECT_TRUE(lands(10, 20, 810, 20));
    ASSERT_NO_FATAL_FAILURE(put_choice("monitor 0\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));
    // A directory where the file should be.
    ASSERT_EQ(unlink(choice_.c_str()), 0);
    ASSERT_EQ(mkdir(choice_.c_str(), 0700), 0);
    EXPECT_TRUE(lands(10, 20, 810, 20));
    ASSERT_EQ(rmdir(choice_.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(put_choice("all\n"));
    EXPECT_TRUE(lands(10, 20, 10, 20));
    EXPECT_TRUE(pointer_.running());
    EXPECT_EQ(count_of(pointer_.output(), "FMOUSE ERR"), 0u) << pointer_.output();
}

namespace {
// Adds (or, with width 0, removes) the RandR monitor `name` on the root.
void set_monitor(Display *d, const char *name, int x, int y, int w, int h) {
    Atom a = XInternAtom(d, name, False);
    if (w == 0) {
        XRRDeleteMonitor(d, DefaultRootWindow(d), a);
    } else {
        XRRMonitorInfo *m = XRRAllocateMonitor(d, 0);
        m->name = a;
        m->x = x;
        m->y = y;
        m->width = w;
        m->height = h;
        m->mwidth = w / 4;
        m->mheight = h / 4;
        XRRSetMonitor(d, DefaultRootWindow(d), m);
        XRRFreeMonitors(m);
    }
    XSync(d, False);
}
}  // namespace

TEST_F(PointerMonitors, MonitorsAddedAndRemovedWhileItRunsAreFollowed) {
    ASSERT_TRUE(x_.start(1600, 800));
    ASSERT_NO_FATAL_FAILURE(put_choice("PROJ-1\n"));
    ASSERT_NO_FATAL_FAILURE(start_pointer());
    // PROJ-1 is not there yet: the default rules, the only monitor.
    ASSERT_TRUE(lands(10, 20, 10, 20));
    set_monitor(x_.dpy(), "PROJ-1", 800, 0, 800, 600);
    EXPECT_TRUE(lands(10, 20, 810, 20));
    EXPECT_TRUE(pointer_.wait_output("monitor PROJ-1, as chosen", 1s)) << pointer_.output();
    // Moved: deleted and set again elsewhere.
    set_monitor(x_.dpy(), "PROJ-1", 0, 0, 0, 0);
    set_monitor(x_.dpy(), "PROJ-1", 0, 200, 800, 600);
    EXPECT_TRUE(lands(10, 20, 10, 220));
    // Gone: the default rules again.
    set_monitor(x_.dpy(), "PROJ-1", 0, 0, 0, 0);
    EXPECT_TRUE(lands(10, 20, 10, 20));
    EXPECT_TRUE(pointer_.running());
}

TEST_F(PointerMonitors, DisplayGoingAwayEndsItWithAMessage) {
    auto x = std::make_unique<XServer>();
    ASSERT_TRUE(x->start(1024, 768));
    ASSERT_NO_FATAL_FAILURE(start_pointer(x->display_name()));
    x.reset();
    // No record needed: the watched display connection reports it.
    auto st = pointer_.wait(3s);
    ASSERT_TRUE(st.has_value()) << pointer_.output();
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 1) << *st;
    EXPECT_NE(pointer_.output().find("the X display is gone"), std::string::npos)
        << pointer_.output();
}
