// The tray program's command reader on its own, over a socket pair: the bytes
// it answers with, and what it leaves in the shared state for the dispatcher
// and for the daemon's next poll. The whole program on an X server is
// tray_test's.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "cmd_client.h"
#include "tray_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The daemon's end of the channel, with the reader serving the other end on
// a thread of its own.
class Channel {
  public:
    Channel() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        reader_ = std::thread([this] { fmouse_guicmd_serve(fds_[1]); });
    }
    ~Channel() {
        close_daemon_end();
        join();
        close(fds_[1]);
    }
    void send(const Bytes &b) { ASSERT_EQ(write(fds_[0], b.data(), b.size()), ssize_t(b.size())); }
    // The next n answer bytes (fewer when none come for 5 s).
    Bytes take(size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fds_[0], POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            std::uint8_t b[64];
            ssize_t r = read(fds_[0], b, std::min(sizeof b, n - out.size()));
            if (r <= 0)
                break;
            out.insert(out.end(), b, b + r);
        }
        return out;
    }
    // Waits until the reader is done with everything sent so far: it answers
    // commands in order, and a poll with no request pending posts nothing.
    void settle() {
        send({0xF3});
        EXPECT_EQ(take(1), (Bytes{0x00})) << "the poll after the command";
    }
    // The reader stops at the end of the stream, whatever it was reading.
    void close_daemon_end() {
        if (fds_[0] >= 0)
            close(fds_[0]);
        fds_[0] = -1;
    }
    // Waits for the reader to stop.
    void join() {
        if (reader_.joinable())
            reader_.join();
    }

  private:
    int fds_[2] = {-1, -1};
    std::thread reader_;
};

class TrayCommandReader : public ::testing::Test {
  protected:
    void SetUp() override {
        ui_cmd.store(0);
        send_gui_data_flag.store(0);
        calib_normal_adv.store(0);
        screen_width.store(1366);
        screen_height.store(768);
    }
};

TEST_F(TrayCommandReader, AnswersEachCommandAndPostsItsAction) {
    Channel ch;
    // Calibration mode: the mode chosen from the menu, then the status byte.
    calib_normal_adv.store(1);
    ch.send({0x11});
    EXPECT_EQ(ch.take(2), (Bytes{0x01, 0x00}));
    ch.settle();
    EXPECT_EQ(ui_cmd.load(), 0x11);

    // A target: x and y least significant byte first, both for the dispatcher
    // (which is handed the action only after the answer).
    ch.send({0x22, 0x2C, 0x01, 0x00, 0x00, 0xFB, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(ch.take(1), (Bytes{0x00}));
    ch.settle();
    EXPECT_EQ(ui_cmd.load(), 0x22);
    EXPECT_EQ(dot_x(calibrate_dot.load()), 300);
    EXPECT_EQ(dot_y(calibrate_dot.load()), -5);

    for (std::uint8_t c : {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}) {
        ch.send({c});
        EXPECT_EQ(ch.take(1), (Bytes{0x00})) << int(c);
        ch.settle();
        EXPECT_EQ(ui_cmd.load(), c) << int(c);
    }

    // Screen size from what the main thread read last.
    ch.send({0xF0});
    EXPECT_EQ(ch.take(5), (Bytes{0x56, 0x05, 0x00, 0x00, 0x00}));
    ch.send({0xF1});
    EXPECT_EQ(ch.take(5), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));

    // Parameters: five grid values and two pids.
    ch.send({0xF2, 5, 0,  0, 0, 4, 0,    0,    0, 7, 0,    0,    0, 6, 0,
             0,    0, 12, 0, 0, 0, 0x67, 0x12, 0, 0, 0x92, 0x10, 0, 0});
    EXPECT_EQ(ch.take(1), (Bytes{0x00}));
    EXPECT_EQ(kvx_normal_dot_x.load(), 5);
    EXPECT_EQ(kvx_normal_dot_y.load(), 4);
    EXPECT_EQ(kvx_adv_dot_x.load(), 7);
    EXPECT_EQ(kvx_adv_dot_y.load(), 6);
    EXPECT_EQ(kvx_sidespace.load(), 12);
    EXPECT_EQ(vxdcore_pid.load(), 4711);
    EXPECT_EQ(inkrelay_pid.load(), 4242);
}

TEST_F(TrayCommandReader, PollHandsOutTheRequestOnceAndSilentBytesGetNoAnswer) {
    Channel ch;
    raise_request(GUI_EVT_CALIB_CANCEL);
    ch.send({0xF3});
    EXPECT_EQ(ch.take(1), (Bytes{0x20}));
    EXPECT_EQ(send_gui_data_flag.load(), 0);
    // Clear posts its action without an answer, and so do unknown bytes: the
    // next byte that comes back is the poll's.
    ui_cmd.store(0x88);
    ch.send({0x00, 0x5A, 0xF4, 0xFF, 0xF3});
    EXPECT_EQ(ch.take(1), (Bytes{0x00}));
    EXPECT_EQ(ui_cmd.load(), 0x00);
}

TEST_F(TrayCommandReader, StreamEndingInsideACommandStopsTheReader) {
    for (const Bytes &cut : {Bytes{0x22, 0x2C, 0x01}, Bytes{0xF2, 5, 0, 0, 0, 4}}) {
        ui_cmd.store(0);
        Channel ch;
        ch.send(cut);
        ch.close_daemon_end();
        ch.join();
        // The command was never complete: nothing is posted for it.
        EXPECT_EQ(ui_cmd.load(), 0) << int(cut[0]);
    }
}

}  // namespace
