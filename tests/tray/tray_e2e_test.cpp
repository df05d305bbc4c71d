// The real daemon and the real tray program together: inkd starts inktray on
// a private Xvfb server, brings up the virtual camera unit (FUSE), and the
// test calibrates the way a user does: it looks for the green target on the
// screen and puts the virtual pen on it.
#include <gtest/gtest.h>
#include <unistd.h>
#include <X11/keysym.h>

#include <memory>

#include "inksim/simulator.h"
#include "ink_paths.h"
#include "sessions/tray_session.h"
#include "support/pipe_reader.h"

using namespace inktest;

namespace {

constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kGreen = 0x00947E;

struct Point {
    int x = -1, y = -1;
};

class TrayE2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb_installed())
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): no X server to test on";
        if (auto why = why_no_virtual_unit(); !why.empty())
            GTEST_SKIP() << why;
        reset_sandbox();
        for (const char *p : {"inkd", "inkrelay", "inkwake", "inktray"})
            install_program(p);
        ASSERT_TRUE(x.start());
        ASSERT_TRUE(host.start(x.display_name()));
        pipe = std::make_unique<PipeReader>(in_root("/sbin/fmousefifo"));
    }
    void TearDown() override {
        if (daemon.pid() > 0) {
            EXPECT_EQ(daemon.output().find("CRITICAL"), std::string::npos)
                << "GTK misuse in the tray program";
        }
        daemon = Process();
        if (sim)
            sim->stop();
        sim.reset();
        pipe.reset();
    }

    void start_suite() {
        inksim::Scenario sc;
        std::string err;
        ASSERT_TRUE(inksim::parse_scenario("param 10 2\nparam 11 1\nparam 12 255\n", &sc, &err))
            << err;
        sim = std::make_unique<inksim::Simulator>(sc);
        ASSERT_TRUE(sim->start(&err)) << err;
        daemon = Process::start({in_root("/usr/bin/inkd"), "--vxd-debug"}, in_root("/suite.out"));
        ASSERT_TRUE(host.wait_icon(10s)) << daemon.output();
    }
    size_t count(const std::string &text) { return count_of(daemon.output(), text); }

    // Centre of the green pixels on the screen, if any.
    Point find_green() {
        Point p;
        colour_centre(x.dpy(), kGreen, &p.x, &p.y);
        return p;
    }

    XServer x;
    TrayHost host;
    std::unique_ptr<PipeReader> pipe;
    std::unique_ptr<inksim::Simulator> sim;
    Process daemon;
};

TEST_F(TrayE2eTest, CalibrateWithThePenThenExit) {
    ASSERT_NO_FATAL_FAILURE(start_suite());
    // Connected: the tray shows the calibrate items once the unit runs.
    ASSERT_TRUE(wait_until([&] { return count("FMOUSE MSG: dispatch connected\n") >= 1; }, 30s))
        << daemon.output();
    // The dispatch is logged before the window goes; the X server sees it go
    // a moment later.
    EXPECT_TRUE(x.wait_count(kDialogTitle, 0, 3000ms)) << "wait dialog closed";

    x.raise(host.panel());
    x.click(host.icon_x(), host.icon_y());
    ASSERT_TRUE(wait_until([&] { return !x.popups().empty(); }, 3000ms));
    x.move_pointer(2, 700);
    x.key(XK_Down);  // Calibrate (Normal)
    x.key(XK_Return);
    ASSERT_TRUE(x.wait_count(kCalibTitle, 1, 5000ms));
    ASSERT_TRUE(x.wait_count(kDialogTitle, 1, 5000ms));
    TraySession::pause(1000);
    x.key(XK_Return, x.find(kDialogTitle)[0].id);

    // Follow the targets: 4 columns by 3 rows in the normal grid.
    std::vector<Point> done;
    for (int k = 0; k < 12; ++k) {
        Point p;
        ASSERT_TRUE(wait_until(
            [&] {
                p = find_green();
                if (p.x < 0)
                    return false;
                return done.empty() || std::abs(p.x - done.back().x) > 20 ||
                       std::abs(p.y - done.back().y) > 20;
            },
            20s))
            << "target " << k << "\n"
            << daemon.output();
        for (const Point &q : done)
            EXPECT_EQ(x.pixel(q.x, q.y), kBlack) << "earlier target stays black";
        if (k == 0) {
            EXPECT_TRUE(p.x < 512 && p.y < 384) << "first target at the top left";
        }
        sim->set_pen(std::make_pair(double(p.x), double(p.y)));
        // Held until the daemon has its samples and names the next target
        // (or finishes); then lifted.
        size_t dots = count("FMOUSE MSG: dot x:");
        ASSERT_TRUE(wait_until(
            [&] { return count("FMOUSE MSG: dot x:") > dots || count("targets done") > 0; }, 20s))
            << daemon.output();
        sim->set_pen(std::nullopt);
        done.push_back(p);
    }
    EXPECT_TRUE(done.back().x > 512 && done.back().y > 384) << "last target at the bottom right";

    // Finished: the window closes, the wait dialog covers the storing, and
    // the tray is connected again.
    EXPECT_TRUE(x.wait_count(kCalibTitle, 0, 10s));
    ASSERT_TRUE(wait_until([&] { return count("FMOUSE MSG: dispatch connected\n") >= 2; }, 60s))
        << daemon.output();
    EXPECT_TRUE(x.wait_count(kDialogTitle, 0, 3000ms)) << "wait dialog closed";
    // The daemon made a new record from the samples the tray's targets led to.
    EXPECT_NE(daemon.output().find("For saving: "), std::string::npos);

    // Exit from the menu ends the tray program and with it the daemon.
    x.raise(host.panel());
    x.click(host.icon_x(), host.icon_y());
    ASSERT_TRUE(wait_until([&] { return !x.popups().empty(); }, 3000ms));
    x.move_pointer(2, 700);
    for (int i = 0; i < 4; ++i)
        x.key(XK_Down);
    x.key(XK_Return);
    EXPECT_TRUE(daemon.wait(20s).has_value()) << "the daemon ends with the tray program";
    EXPECT_FALSE(exists(ink::path::kPidFile));
    EXPECT_NE(daemon.output().find("delete .inkd.pid and exit\n"), std::string::npos);
}

}  // namespace
