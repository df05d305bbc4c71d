// The end of a device connection lifts the pen for the click logic: a press
// under way is released where it was, and the next contact starts afresh.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <vector>

#include "NyxCalLib.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_connect.h"
#include "fmouse_motion.h"

namespace {

using R = std::array<uint8_t, 4>;

void frame(int on, double x = 0, double y = 0) {
    ++frameCnt;
    SPOT.x = x;
    SPOT.y = y;
    ASSERT_EQ(fmouse_mouse_b_sign_k(on), 0);
}

std::vector<R> drain(int fd) {
    std::vector<R> out;
    uint8_t b[4096];
    ssize_t n = read(fd, b, sizeof b);
    for (ssize_t i = 0; i + 3 < n; i += 4)
        out.push_back({b[i], b[i + 1], b[i + 2], b[i + 3]});
    return out;
}

}  // namespace

TEST(Reconnect, EndOfConnectionReleasesThePressAndTheNextContactStartsAfresh) {
    signal(SIGPIPE, SIG_IGN);
    fmouse_click_reset();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    motion_fd = p[1];
    inkrelay_pid = 0;
    // A stroke under way (long enough to leave the gesture recogniser).
    for (int i = 0; i < 10; ++i)
        frame(1, 100 + 10 * i, 100);
    drain(p[0]);
    fmouse_disconnect();
    auto recs = drain(p[0]);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0][0], 0xF0) << "released";
    EXPECT_EQ(recs[0][2], 185) << "where the press was (x = 185, smoothed)";
    EXPECT_EQ(recs[1], (R{0xF0, 0, 0, 0})) << "then the closing record";
    close(p[0]);

    // Next connection: the first press lands where the pen now is.
    ASSERT_EQ(pipe(p), 0);
    motion_fd = p[1];
    for (int i = 0; i < 10; ++i)
        frame(1, 700, 500);
    recs = drain(p[0]);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0][0], 0xF4);
    EXPECT_EQ(((recs[0][1] >> 4) << 8) | recs[0][2], 700);
    EXPECT_EQ(((recs[0][1] & 0x0F) << 8) | recs[0][3], 500);
    close(p[0]);
    close(p[1]);
    motion_fd = -1;
    fmouse_click_reset();
}

// A gesture the recogniser still holds back when the connection ends was never
// finished by the user: the end of the connection gives it to the desktop
// neither as a right click nor as clicks, and the next connection starts idle.
TEST(Reconnect, EndOfConnectionDropsAGestureUnderWay) {
    signal(SIGPIPE, SIG_IGN);
    struct Case {
        const char *what;
        int taps;         // finished taps before the end
        bool third_down;  // a third tap on the surface at the end
    };
    for (Case c :
         {Case{"a third tap cut short", 2, true}, Case{"in the gap after two taps", 2, false},
          Case{"in the gap after one tap", 1, false}}) {
        SCOPED_TRACE(c.what);
        fmouse_click_reset();
        int p[2];
        ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);  // an empty pipe must not block the drain
        motion_fd = p[1];
        inkrelay_pid = 0;
        for (int t = 0; t < c.taps; ++t) {
            frame(1, 400, 300);
            frame(1, 400, 300);
            frame(0);
            frame(0);
        }
        if (c.third_down) {
            frame(1, 400, 300);
            frame(1, 400, 300);
        }
        ASSERT_TRUE(drain(p[0]).empty()) << "taps are held back while the gesture is open";
        fmouse_disconnect();
        EXPECT_EQ(drain(p[0]), (std::vector<R>{{0xF0, 0, 0, 0}})) << "the closing record alone";
        EXPECT_EQ(fmouse_gesture_phase(), PHASE_IDLE);
        close(p[0]);
    }
    motion_fd = -1;
    fmouse_click_reset();
}
