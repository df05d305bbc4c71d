// Pointer records: byte layout and the writes on a real pipe.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>

#include "fmouse_motion.h"

namespace {

std::array<uint8_t, 4> enc(int x, int y, int l, int r) {
    std::array<uint8_t, 4> b{};
    pointer_record_encode(x, y, l != 0, r != 0, b.data());
    return b;
}

using R = std::array<uint8_t, 4>;

}  // namespace

TEST(PointerRecord, Layout) {
    EXPECT_EQ(enc(300, 200, 1, 0), (R{0xF4, 0x10, 0x2C, 0xC8}));
    EXPECT_EQ(enc(1023, 767, 0, 1), (R{0xF1, 0x32, 0xFF, 0xFF}));
    EXPECT_EQ(enc(0, 0, 1, 1), (R{0xF5, 0x00, 0x00, 0x00}));
    EXPECT_EQ(enc(4095, 4095, 0, 0), (R{0xF0, 0xFF, 0xFF, 0xFF}));
}

TEST(PointerRecord, CoordinatesAboveTwelveBitsAreClampedNotSpilled) {
    // 4096 would otherwise wrap x's nibble into 0 and 5000 would corrupt y's.
    EXPECT_EQ(enc(4096, 10, 0, 0), enc(4095, 10, 0, 0));
    EXPECT_EQ(enc(10, 5000, 0, 0), enc(10, 4095, 0, 0));
}

TEST(PointerSink, WritesRecordsRefusesNegativeAndClosesWithNeutralRecord) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    motion_fd = p[1];
    EXPECT_EQ(fmouse_post_motion_event(300, 200, 1, 0), 0);
    EXPECT_EQ(fmouse_post_motion_event(-1, 5, 1, 0), 0);  // refused, nothing written
    EXPECT_EQ(fmouse_motion_close(), 0);
    EXPECT_EQ(motion_fd, -1);
    uint8_t buf[16];
    ssize_t n = read(p[0], buf, sizeof buf);
    ASSERT_EQ(n, 8);
    EXPECT_EQ((R{buf[0], buf[1], buf[2], buf[3]}), (R{0xF4, 0x10, 0x2C, 0xC8}));
    EXPECT_EQ((R{buf[4], buf[5], buf[6], buf[7]}), (R{0xF0, 0x00, 0x00, 0x00}));
    close(p[0]);
}

TEST(PointerSink, FailedWriteIsReportedAndCloseKeepsDescriptor) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);  // no reader: writes fail with EPIPE (SIGPIPE ignored below)
    signal(SIGPIPE, SIG_IGN);
    motion_fd = p[1];
    EXPECT_EQ(fmouse_post_motion_event(1, 1, 0, 0), -1);
    EXPECT_EQ(fmouse_motion_close(), -1);
    EXPECT_EQ(motion_fd, p[1]);
    close(p[1]);
    motion_fd = -1;
    EXPECT_EQ(fmouse_post_motion_event(1, 1, 0, 0), -1);
}
