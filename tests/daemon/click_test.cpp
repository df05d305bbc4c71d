// Pen click and gesture logic: frames in, pointer records out through a real
// pipe, driven the way the running loop drives it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "NyxCalLib.h"
#include "support/click_simulator.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_motion.h"
#include "fmouse_sys.h"

namespace {

using Recs = std::vector<PointerBytes>;

PointerBytes rec(int x, int y, int left, int right) {
    PointerBytes b{};
    pointer_record_encode(x, y, left != 0, right != 0, b.data());
    return b;
}
// Left down, no button, right down.
const auto L = [](int x, int y) { return rec(x, y, 1, 0); };
const auto N = [](int x, int y) { return rec(x, y, 0, 0); };
const auto R = [](int x, int y) { return rec(x, y, 0, 1); };

class Click : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        fmouse_click_reset();
        frameCnt = 1000;  // far from the (zero) start of the previous press
        ASSERT_EQ(pipe(p_), 0);
        fcntl(p_[0], F_SETFL, O_NONBLOCK);
        motion_fd = p_[1];
    }
    void TearDown() override {
        close(p_[0]);
        close(p_[1]);
        motion_fd = -1;
    }

    // Everything written to the pipe since the last call.
    Recs drain() {
        Recs out;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(p_[0], buf, sizeof buf)) > 0) {
            EXPECT_EQ(n % 4, 0);
            for (ssize_t i = 0; i + 3 < n; i += 4)
                out.push_back({buf[i], buf[i + 1], buf[i + 2], buf[i + 3]});
        }
        return out;
    }

    // One frame as the running loop hands it over; the records it produced.
    Recs on(double x, double y) {
        frameCnt++;
        SPOT.x = x;
        SPOT.y = y;
        EXPECT_EQ(fmouse_mouse_b_sign_k(1), 0);
        return drain();
    }
    Recs off() {
        frameCnt++;
        EXPECT_EQ(fmouse_mouse_b_sign_k(0), 0);
        return drain();
    }
    Recs offs(int n) {
        Recs all;
        for (int i = 0; i < n; i++)
            append(&all, off());
        return all;
    }
    // A tap: n pen-on frames at (x, y) followed by one pen-off frame.
    Recs tap(int n, double x, double y) {
        Recs all;
        for (int i = 0; i < n; i++)
            append(&all, on(x, y));
        append(&all, off());
        return all;
    }
    static void append(Recs *all, const Recs &more) {
        all->insert(all->end(), more.begin(), more.end());
    }
    // One pen-off frame whose write fails (the pipe's reader is gone); the
    // pipe is back afterwards.
    int off_into_a_broken_pipe() {
        int saved = motion_fd, broken[2];
        if (pipe(broken) != 0)
            return -2;
        close(broken[0]);
        motion_fd = broken[1];
        frameCnt++;
        int r = fmouse_mouse_b_sign_k(0);
        close(broken[1]);
        motion_fd = saved;
        return r;
    }

    int p_[2] = {-1, -1};
};

// ---- Strokes ------------------------------------------------------------------

TEST_F(Click, StrokeIsHeldFourFramesThenReplayedWithSmoothingAndDeadBand) {
    EXPECT_EQ(on(100, 200), Recs{});
    EXPECT_EQ(on(102, 200), Recs{});
    EXPECT_EQ(on(104, 200), Recs{});
    EXPECT_EQ(on(106, 200), Recs{});
    EXPECT_EQ(on(108, 200), (Recs{L(101, 200), L(105, 200)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
    EXPECT_EQ(on(110, 200), (Recs{L(109, 200)}));
    EXPECT_EQ(on(112, 200), Recs{});  // smoothed 111 lies inside the dead band
    // The release is at the last posted position, not at the pen's last one.
    EXPECT_EQ(off(), (Recs{N(109, 200)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
}

TEST_F(Click, FastStrokeEndsTheTapOnItsSpreadAndMovesEveryFrame) {
    EXPECT_EQ(on(100, 200), Recs{});
    EXPECT_EQ(on(103, 200), Recs{});
    EXPECT_EQ(on(106, 200), Recs{});
    EXPECT_EQ(on(109, 200), (Recs{L(101, 200), L(104, 200), L(107, 200)}));
    EXPECT_EQ(on(112, 200), (Recs{L(110, 200)}));
    EXPECT_EQ(on(115, 200), (Recs{L(113, 200)}));
    EXPECT_EQ(off(), (Recs{N(113, 200)}));
}

TEST_F(Click, DiagonalDriftMovesThePointerEverySecondFrame) {
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(on(200, 200), Recs{});
    EXPECT_EQ(on(200, 200), (Recs{L(200, 200)}));  // fifth frame: a stroke
    std::vector<size_t> counts;
    for (int i = 1; i <= 8; i++)
        counts.push_back(on(200 + i, 200 + i).size());
    EXPECT_EQ(counts, (std::vector<size_t>{0, 1, 0, 1, 0, 1, 0, 1}));
}

// ---- Taps --------------------------------------------------------------------

TEST_F(Click, OneFrameContactProducesNothing) {
    EXPECT_EQ(tap(1, 300, 300), Recs{});
    EXPECT_EQ(offs(10), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
}

TEST_F(Click, SingleTapIsReplayedAsAClickWhenTheGapRunsOut) {
    EXPECT_EQ(tap(3, 300, 200), Recs{});  // held back: might be a gesture
    EXPECT_EQ(offs(3), Recs{});           // gap frames 2 to 4
    EXPECT_EQ(off(), (Recs{L(300, 200), N(300, 200)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
    EXPECT_EQ(off(), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
}

TEST_F(Click, QuickDoubleTapReachesTheDesktopAsTwoClicks) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(off(), Recs{});
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(offs(3), Recs{});
    // Fifth frame of the second gap: both taps, each a press and a release.
    EXPECT_EQ(off(), (Recs{L(300, 200), N(300, 200), L(300, 200), N(300, 200)}));
    EXPECT_EQ(offs(1), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
}

TEST_F(Click, DoubleTapSlightlyApartGetsTheExtraClickOnItsSecondTap) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(off(), Recs{});
    EXPECT_EQ(tap(2, 304, 202), Recs{});
    EXPECT_EQ(offs(4),
              (Recs{L(300, 200), N(300, 200), L(304, 202), N(304, 202), L(304, 202), N(304, 202)}));
}

TEST_F(Click, GapOfFiveFramesEndsTheGestureAndTheNextTapStartsAnew) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(offs(4), (Recs{L(300, 200), N(300, 200)}));
    EXPECT_EQ(off(), Recs{});  // pass-through returns to idle
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_L0);
}

TEST_F(Click, PenDownRightAfterAGapBreakIsAContactWithoutGesture) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(offs(4), (Recs{L(300, 200), N(300, 200)}));
    EXPECT_EQ(on(400, 300), Recs{});
    EXPECT_EQ(on(400, 300), (Recs{L(400, 300)}));  // passed straight through
    EXPECT_EQ(off(), (Recs{N(400, 300)}));
}

TEST_F(Click, LongSecondTapReplaysTapOneAsAClickAndGoesOnAsAStroke) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(on(500, 400), Recs{});
    EXPECT_EQ(on(500, 400), (Recs{L(300, 200), N(300, 200), L(500, 400)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
    EXPECT_EQ(off(), (Recs{N(500, 400)}));
}

TEST_F(Click, SpreadAboveLimitEndsTheTapOnTheWideningSample) {
    EXPECT_EQ(on(100, 100), Recs{});
    EXPECT_EQ(on(105, 100), Recs{});
    EXPECT_EQ(on(108, 100), Recs{});  // spread 8.0 still passes
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_H0);
    EXPECT_EQ(on(109, 100), (Recs{L(102, 100), L(106, 100)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
    EXPECT_EQ(off(), (Recs{N(106, 100)}));
    EXPECT_EQ(off(), Recs{});

    // y: 6.0 passes, 6.5 does not.
    EXPECT_EQ(on(100, 100), Recs{});
    EXPECT_EQ(on(100, 106), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_H0);
    EXPECT_EQ(on(100, 99.5).size(), 1u);
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
}

// ---- The three-tap right click -----------------------------------------------

TEST_F(Click, ThreeQuickTapsGiveOneRightClickAtTheFirstSample) {
    // Six samples within a 6 x 4 pixel area; nothing left-clicked on the way.
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(off(), Recs{});
    EXPECT_EQ(tap(2, 303, 202), Recs{});
    EXPECT_EQ(off(), Recs{});
    EXPECT_EQ(on(305, 203), Recs{});
    EXPECT_EQ(on(302, 200), Recs{});
    EXPECT_EQ(off(), (Recs{N(300, 200), R(0, 0), N(0, 0)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_SETTLE);

    // The next 21 frames are ignored whatever they hold.
    for (int i = 0; i < 21; i++)
        EXPECT_EQ(i % 3 ? off() : on(500, 500), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
    EXPECT_EQ(on(600, 600), Recs{});
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_H0);
}

TEST_F(Click, GestureTapsNeedNotBeNearEachOtherAndAOneFrameThirdTapIsUntested) {
    EXPECT_EQ(tap(2, 100, 100), Recs{});
    EXPECT_EQ(tap(3, 700, 500), Recs{});  // tap 2 far from tap 1
    EXPECT_EQ(on(20, 20), Recs{});        // one-frame tap 3, anywhere
    EXPECT_EQ(off(), (Recs{N(100, 100), R(0, 0), N(0, 0)}));
}

TEST_F(Click, ThirdTapOutsideTapTwosBoxEndsTheGestureWithTwoClicksAndAStroke) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(tap(2, 400, 300), Recs{});
    EXPECT_EQ(on(500, 300), Recs{});
    // Tap 3's second sample is tested against tap 2's box and fails.
    EXPECT_EQ(on(500, 300),
              (Recs{L(300, 200), N(300, 200), L(400, 300), N(400, 300), L(500, 300)}));
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);
    EXPECT_EQ(on(510, 300), (Recs{L(505, 300)}));
    EXPECT_EQ(off(), (Recs{N(505, 300)}));
}

TEST_F(Click, FiveFrameThirdTapIsAStroke) {
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    EXPECT_EQ(tap(2, 300, 200), Recs{});
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(on(300, 200), Recs{});
    EXPECT_EQ(on(300, 200),
              (Recs{L(300, 200), N(300, 200), L(300, 200), N(300, 200), L(300, 200)}));
}

// ---- Extra click of two nearby presses -------------------------------------------

struct PressPair {
    double x2, y2;
    long release_after;  // frames from the first press's start to the second release
    bool extra;
};

class ExtraClick : public Click, public ::testing::WithParamInterface<PressPair> {};

TEST_P(ExtraClick, SecondReleaseAddsAClickOnlyWhenNearButNotTheSamePlace) {
    const PressPair c = GetParam();
    auto sample = [&](int flag, double x, double y) {
        SPOT.x = x;
        SPOT.y = y;
        EXPECT_EQ(fmouse_mouse_b_1knoRSim(flag), 0);
    };
    frameCnt = 5000;
    sample(1, 100, 100);
    sample(1, 100, 100);  // press begins at (100, 100), frame 5000
    sample(0, 0, 0);
    frameCnt = 5005;
    sample(1, c.x2, c.y2);
    sample(1, c.x2, c.y2);
    frameCnt = 5000 + c.release_after;
    drain();
    sample(0, 0, 0);
    const int x = static_cast<int>(c.x2), y = static_cast<int>(c.y2);
    if (c.extra)
        EXPECT_EQ(drain(), (Recs{N(x, y), L(x, y), N(x, y)}));
    else
        EXPECT_EQ(drain(), (Recs{N(x, y)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtraClick,
                         ::testing::Values(PressPair{104, 102, 20, true},   // near
                                           PressPair{104, 102, 24, true},   // window edge
                                           PressPair{104, 102, 25, false},  // too late
                                           PressPair{102, 101, 20, false},  // same place
                                           PressPair{97, 100, 20, false},   // same (lopsided)
                                           PressPair{103, 100, 20, true},   // not the same
                                           PressPair{109, 100, 20, false},  // not near
                                           PressPair{100, 106, 20, false}   // not near in y
                                           ));

// ---- Failing writes --------------------------------------------------------------

TEST_F(Click, FailedReleaseIsRetriedSoTheButtonNeverSticks) {
    size_t posted = 0;
    for (int i = 0; i < 6; i++)
        posted += on(100 + i, 100).size();
    ASSERT_EQ(posted, 2u);  // press at 100, move to 103
    EXPECT_EQ(off_into_a_broken_pipe(), -1);
    EXPECT_EQ(fmouse_gesture_phase(), PHASE_PASS);  // the failed frame changed nothing more
    // The connection comes back with the pen down: its first sample releases.
    EXPECT_EQ(on(300, 300), (Recs{N(103, 100)}));
}

TEST_F(Click, FailedRightClickIsNotRepeated) {
    tap(2, 300, 200);
    tap(2, 300, 200);
    on(300, 200);
    on(300, 200);
    EXPECT_EQ(off_into_a_broken_pipe(), -1);
    EXPECT_EQ(offs(25), Recs{});
}

// ---- Debug lines ------------------------------------------------------------------

TEST_F(Click, BreaksAndTheRightClickAreReportedInDebugMode) {
    vxd_debug_flag = 1;
    testing::internal::CaptureStdout();
    tap(2, 300, 200);
    offs(4);  // break in L0
    off();
    tap(2, 300, 200);
    tap(2, 300, 200);
    offs(4);  // break in L1
    off();
    tap(2, 300, 200);
    tap(2, 300, 200);
    tap(2, 300, 200);  // right click
    std::string out = testing::internal::GetCapturedStdout();
    vxd_debug_flag = 0;
    auto at = [&](const char *line) { return out.find(std::string("FMOUSE MSG: ") + line); };
    EXPECT_LT(at("Break in L0\n"), at("Break in L1\n"));
    EXPECT_LT(at("Break in L1\n"), at("SignK detected\n"));
    EXPECT_LT(at("SignK detected\n"), at("right button motion\n"));
    EXPECT_LT(at("right button motion\n"), at("right button press\n"));
    EXPECT_LT(at("right button press\n"), at("right button release\n"));
    EXPECT_NE(at("right button release\n"), std::string::npos);
    EXPECT_NE(out.find("gesture H2 -> settle\n"), std::string::npos);
}

// ---- Reference model -------------------------------------------------------------

TEST_F(Click, SimulatorProducesExactlyWhatTheDaemonInstanceWrites) {
    std::vector<PenFrame> frames;
    auto add = [&](int n, int flag, double x, double y, double dx = 0) {
        for (int i = 0; i < n; i++)
            frames.push_back({flag, x + dx * i, y});
    };
    add(3, 0, 0, 0);
    add(12, 1, 100, 200, 2.7);  // stroke
    add(6, 0, 0, 0);
    add(2, 1, 300, 300);  // single tap
    add(6, 0, 0, 0);
    add(2, 1, 400, 300);  // double tap
    add(2, 0, 0, 0);
    add(3, 1, 401, 300);
    add(6, 0, 0, 0);
    for (int t = 0; t < 3; t++) {  // right click
        add(2, 1, 500, 400);
        add(2, 0, 0, 0);
    }
    add(22, 0, 0, 0);
    add(6, 1, 600, 100);  // two nearby presses
    add(3, 0, 0, 0);
    add(6, 1, 604, 102);
    add(3, 0, 0, 0);

    Recs daemon;
    frameCnt = 0;  // as a freshly started daemon
    for (const PenFrame &f : frames)
        append(&daemon, f.flag ? on(f.x, f.y) : off());
    Recs model = fmouse_click_simulate(frames.data(), frames.size());
    EXPECT_EQ(model, daemon);
    EXPECT_GT(model.size(), 15u);

    ClickSimulator sim;
    size_t total = 0;
    for (const PenFrame &f : frames)
        total += sim.frame(f);
    EXPECT_EQ(total, model.size());
    EXPECT_EQ(sim.frames(), static_cast<long>(frames.size()));
}

TEST(ClickPhase, NamesForDebugLines) {
    EXPECT_STREQ(fmouse_gesture_phase_name(PHASE_IDLE), "idle");
    EXPECT_STREQ(fmouse_gesture_phase_name(PHASE_L1), "L1");
    EXPECT_STREQ(fmouse_gesture_phase_name(PHASE_PASS), "pass-through");
    EXPECT_STREQ(fmouse_gesture_phase_name(0), "?");
}

}  // namespace
