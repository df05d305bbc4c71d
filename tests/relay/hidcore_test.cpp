// Report unpacking and packing of the relay, with a pipe standing in for the
// device node and a socket pair for the daemon's link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hiddev.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fmouse_sys.h"
#include "hidcore.h"

namespace {

using Values = std::array<int, 8>;

class RelayReader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(dev_), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sock_), 0);
        hidsock_fd = sock_[0];
        exit_flag.store(0);
    }
    void TearDown() override {
        for (int fd : {dev_[0], dev_[1], sock_[0], sock_[1]})
            if (fd >= 0)
                close(fd);
        hidsock_fd = -1;
        vxd_debug_flag = 0;
    }
    // Writes events [from, to) of one report.
    void report(const Values &v, int to = 8, int from = 0) {
        for (int i = from; i < to; ++i) {
            hiddev_event ev{0xFF000001u, v[i]};
            ASSERT_EQ(write(dev_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
        }
    }
    // Ends the device stream and runs the reader over everything queued.
    int run() {
        close(dev_[1]);
        dev_[1] = -1;
        return fmouse_hid_read_package(dev_[0], nullptr);
    }
    // Waits (up to 2 s) until a running reader has taken every event queued.
    bool all_taken() {
        auto queued = [&] {
            int n = 0;
            ioctl(dev_[0], FIONREAD, &n);
            return n;
        };
        for (int i = 0; i < 400 && queued() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return queued() == 0;
    }
    std::vector<uint8_t> received() {
        std::vector<uint8_t> out;
        uint8_t buf[256];
        ssize_t n;
        while ((n = recv(sock_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.insert(out.end(), buf, buf + n);
        return out;
    }
    int dev_[2] = {-1, -1};
    int sock_[2] = {-1, -1};
};

TEST_F(RelayReader, KeepsOnlyTheCountedPayloadBytes) {
    report({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 3, 0});
    report({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0x77});  // count 0: nothing
    report({0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 6, 0x99});  // the eighth value never travels
    report({0x1FE, 0x7FFFFF01, -1, 0, 0, 0, 2, 0});  // only the low byte of each value counts
    EXPECT_EQ(run(), -2);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x10, 0x20, 0x30, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                                0xA6, 0xFE, 0x01}));
}

TEST_F(RelayReader, CountAboveSixSendsTheSixPayloadBytes) {
    report({1, 2, 3, 4, 5, 6, 7, 8});
    report({9, 9, 9, 9, 9, 9, 255, 8});
    report({0x42, 0, 0, 0, 0, 0, 1, 0});
    EXPECT_EQ(run(), -2);
    EXPECT_EQ(received(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 9, 9, 9, 9, 9, 9, 0x42}));
}

TEST_F(RelayReader, ManyQueuedReportsTravelInOrder) {
    // More reports than one read of the node takes: each travels once, in
    // order, with its own count.
    std::vector<uint8_t> want;
    for (int k = 0; k < 40; ++k) {
        const int count = k % 7;
        report({k, k + 100, 1, 2, 3, 4, count, 0});
        const uint8_t bytes[6] = {
            static_cast<uint8_t>(k), static_cast<uint8_t>(k + 100), 1, 2, 3, 4};
        want.insert(want.end(), bytes, bytes + std::min(count, 6));
    }
    EXPECT_EQ(run(), -2);
    EXPECT_EQ(received(), want);
}

TEST_F(RelayReader, ReportArrivingInPartsTravelsWhole) {
    // The node may hand out the first events of a report before the rest is
    // queued: the reader waits for the rest and forwards the report once.
    int r = -3;
    std::thread reader([&] { r = fmouse_hid_read_package(dev_[0], nullptr); });
    const Values first = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 5, 0};
    report(first, 3);
    ASSERT_TRUE(all_taken()) << "the reader took the first three events";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(received().empty()) << "nothing travels before the report is whole";
    report(first, 8, 3);
    report({0x41, 0, 0, 0, 0, 0, 1, 0});
    close(dev_[1]);
    dev_[1] = -1;
    reader.join();
    EXPECT_EQ(r, -2);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x31, 0x32, 0x33, 0x34, 0x35, 0x41}));
}

TEST_F(RelayReader, DeviceGoneStopsAtOnceAndSetsTheExitFlag) {
    vxd_debug_flag = 1;
    // A report cut off after its fourth value: nothing of it reaches the daemon.
    report({1, 2, 3, 4, 5, 6, 6, 0}, 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), -2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(exit_flag.load(), 1);
    EXPECT_TRUE(received().empty());
    EXPECT_NE(out.find("fmouse hid read data error\n"), std::string::npos);
    EXPECT_EQ(out.find("nbytes"), std::string::npos) << "the cut came inside a report";
}

TEST_F(RelayReader, EndOfStreamAtAReportBoundaryReportsTheByteCount) {
    vxd_debug_flag = 1;
    report({7, 0, 0, 0, 0, 0, 1, 0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), -2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(received(), std::vector<uint8_t>{7});
    EXPECT_NE(out.find("fmouse hid read data nbytes : 0\n"), std::string::npos);
}

TEST_F(RelayReader, ExitFlagStopsBeforeTheNextReport) {
    report({1, 2, 3, 4, 5, 6, 6, 0});
    exit_flag.store(1);
    EXPECT_EQ(fmouse_hid_read_package(dev_[0], nullptr), -2);
    int pending = 0;
    ASSERT_EQ(ioctl(dev_[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 64) << "the report was read although the writer had given up";
    EXPECT_TRUE(received().empty());
}

TEST_F(RelayReader, FailedSocketWriteKeepsItsPlaceInTheReports) {
    // A full socket (non-blocking here) refuses the first report's bytes.
    ASSERT_EQ(fcntl(sock_[0], F_SETFL, O_NONBLOCK), 0);
    std::vector<uint8_t> filler(4096, 0xEE);
    while (send(sock_[0], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    int r = -3;
    std::thread reader([&] { r = fmouse_hid_read_package(dev_[0], nullptr); });
    report({1, 2, 3, 4, 5, 6, 3, 0});
    ASSERT_TRUE(all_taken());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    received();  // drain the filler; the first report's bytes are lost
    report({0x41, 0x42, 0, 0, 0, 0, 2, 0});
    std::vector<uint8_t> got;
    for (int i = 0; i < 400 && got.size() < 2; ++i) {
        auto more = received();
        got.insert(got.end(), more.begin(), more.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(dev_[1]);
    dev_[1] = -1;
    reader.join();
    EXPECT_EQ(r, -2);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x41, 0x42}));
}

TEST(RelayWriter, ABCTravelsAsTwoReportsCountFirst) {
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    hidsock_fd = s[0];
    ASSERT_EQ(write(s[1], "ABC", 3), 3);
    unsigned char chunk[2];
    std::vector<std::array<int, 8>> reports;
    for (int i = 0; i < 2; ++i) {
        int n = fmouse_read_out(chunk, 2);
        ASSERT_GE(n, 1);
        hiddev_usage_ref_multi m;
        fmouse_hid_build_report(&m, chunk, n);
        EXPECT_EQ(m.uref.report_type, static_cast<unsigned>(HID_REPORT_TYPE_OUTPUT));
        EXPECT_EQ(m.uref.report_id, 0u);
        EXPECT_EQ(m.uref.field_index, 0u);
        EXPECT_EQ(m.uref.usage_code, 0xFF000001u);
        EXPECT_EQ(m.num_values, 8u);
        std::array<int, 8> v;
        for (int k = 0; k < 8; ++k)
            v[k] = m.values[k];
        reports.push_back(v);
    }
    EXPECT_EQ(reports[0], (std::array<int, 8>{2, 'A', 'B', 0, 0, 0, 0, 0}));
    EXPECT_EQ(reports[1], (std::array<int, 8>{1, 'C', 0, 0, 0, 0, 0, 0}));
    close(s[0]);
    close(s[1]);
    hidsock_fd = -1;
}

TEST(RelayWriter, ReportSizeLimits) {
    unsigned char b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fmouse_hid_write_package(-1, b, 0), 0);  // nothing to send, nothing touched
    EXPECT_EQ(fmouse_hid_write_package(-1, b, 8), -1);
    EXPECT_EQ(fmouse_hid_write_package(-1, b, -1), -1);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(fmouse_hid_write_package(p[1], b, 2),
              -1);  // not a hiddev node: the usage ioctl fails
    close(p[0]);
    close(p[1]);
}

TEST(RelayWriter, DaemonCloseOrRefusedReportSetsTheExitFlag) {
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    hidsock_fd = s[0];
    exit_flag.store(0);
    close(s[1]);
    fmouse_hid_write_func(nullptr);
    EXPECT_EQ(exit_flag.load(), 1);
    close(s[0]);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    hidsock_fd = s[0];
    rw_parg->hid_dev_fd = p[1];
    exit_flag.store(0);
    ASSERT_EQ(write(s[1], "AB", 2), 2);
    fmouse_hid_write_func(nullptr);  // the pipe refuses the report
    EXPECT_EQ(exit_flag.load(), 1);
    for (int fd : {s[0], s[1], p[0], p[1]})
        close(fd);
    hidsock_fd = -1;
    rw_parg->hid_dev_fd = -1;
}

}  // namespace
