// The daemon's end of the relay link against a fake relay: a forked child
// that connects to the link and plays a script.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "fmouse_comm.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "support/process.h"
#include "support/sandbox.h"

// The daemon's start-up module owns this; the link only reads it.
pid_t inkrelay_pid = -1;

namespace {

long budget_ms() {
    return ink::time::budget_us(5000000) / 1000;
}
long elapsed_ms(long long since) {
    return static_cast<long>((ink::time::now_us() - since) / 1000);
}
void pause_ms(long ms) {
    ink::time::sleep_us(ms * 1000 * ink::time::kScale);
}  // unscaled test pauses

int connect_link() {
    for (int i = 0; i < 400; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", ink::path::kRelaySocket);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        close(fd);
        pause_ms(5);
    }
    return -1;
}

// Blocks until the daemon side closes the link.
void until_closed(int fd) {
    char b[256];
    while (read(fd, b, sizeof b) > 0) {
    }
}

class RelayLink : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inktest::sandbox_available())
            GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT=...)";
        inktest::reset_sandbox();
        vxd_debug_flag = 1;
    }
    void TearDown() override {
        fmouse_comm_buf_close();
        if (inkrelay_pid > 0) {
            kill(inkrelay_pid, SIGKILL);
            int st;
            waitpid(inkrelay_pid, &st, 0);
        }
        inkrelay_pid = -1;
        vxd_debug_flag = 0;
    }
    // Forks the fake relay; script gets the connected socket (or -1 when
    // connect is false) and the child ends when it returns.
    void fake_relay(std::function<void(int)> script, bool connect = true) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fd = connect ? connect_link() : -1;
            script(fd);
            _exit(0);
        }
        inkrelay_pid = pid;
    }
    void connected(std::function<void(int)> script) {
        fake_relay(std::move(script));
        ASSERT_EQ(fmouse_comm_buf_init(), 0);
    }
};

TEST_F(RelayLink, ReadGathersARecordThatArrivesInTwoParts) {
    connected([](int fd) {
        const unsigned char a[6] = {0xFE, 1, 2, 3, 4, 5}, b[4] = {6, 7, 8, 9};
        (void)!write(fd, a, 6);
        pause_ms(30);
        (void)!write(fd, b, 4);
        until_closed(fd);
    });
    unsigned char buf[10] = {};
    EXPECT_EQ(fmouse_read_in(buf, 10), 0);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 10),
              (std::vector<unsigned char>{0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(RelayLink, ReadGivesUpWhenTheBudgetIsSpent) {
    connected([](int fd) {
        pause_ms(budget_ms() * 2 / 5);
        (void)!write(fd, "abc", 3);
        until_closed(fd);
    });
    unsigned char buf[10];
    testing::internal::CaptureStdout();
    auto t0 = ink::time::now_us();
    EXPECT_EQ(fmouse_read_in(buf, 10), -1);
    long took = elapsed_ms(t0);
    std::string out = testing::internal::GetCapturedStdout();
    // One budget for the whole call, not a fresh one after the 3 bytes.
    EXPECT_GE(took, budget_ms() - 5);
    EXPECT_LT(took, budget_ms() * 13 / 10);
    EXPECT_NE(out.find("read in timeout\n"), std::string::npos);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "abc");
}

TEST_F(RelayLink, EveryOperationFailsOnceTheRelayHasEnded) {
    connected([](int) {});
    ASSERT_TRUE(inktest::wait_until([] { return !inktest::pid_alive(inkrelay_pid); },
                                    std::chrono::seconds(2)));
    unsigned char b[4] = {'T', 0, 0, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(fmouse_write_out(b, 1), -1);
    EXPECT_EQ(fmouse_read_in(b, 4), -1);
    EXPECT_EQ(fmouse_flush_in_buf(), -1);
    EXPECT_EQ(fmouse_flush_in_buf_calib(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(inktest::count_of(out, "unconnect\n"), 4u) << out;
    EXPECT_EQ(out.find("read in timeout"), std::string::npos);
}

TEST_F(RelayLink, FlushesDiscardWhatIsPending) {
    int ctl[2];
    ASSERT_EQ(pipe(ctl), 0);
    connected([&](int fd) {
        std::vector<unsigned char> junk(300, 0xFF);
        (void)!write(fd, junk.data(), junk.size());
        char go;
        (void)!read(ctl[0], &go, 1);  // wait for the test's signal
        (void)!write(fd, "\x01\x02\x03\x04\x05", 5);
        until_closed(fd);
    });
    ink::time::sleep_us(100000);
    EXPECT_EQ(fmouse_flush_in_buf(), 0);
    unsigned char b[1];
    EXPECT_EQ(fmouse_read_in(b, 1), -1) << "something was left after the flush";

    auto t0 = ink::time::now_us();
    EXPECT_EQ(fmouse_flush_in_buf(), 0);  // idle link: one short wait
    EXPECT_GE(ink::time::now_us() - t0, ink::time::pause_us(10000));
    EXPECT_LT(elapsed_ms(t0), 500);

    // The calibration flush waits for data, then drops one read's worth.
    (void)!write(ctl[1], "g", 1);
    EXPECT_EQ(fmouse_flush_in_buf_calib(), 0);
    ink::time::sleep_us(100000);
    EXPECT_EQ(fmouse_flush_in_buf(), 0);
    close(ctl[0]);
    close(ctl[1]);
}

TEST_F(RelayLink, BringUpFailsWhenTheRelayEndsBeforeConnecting) {
    fake_relay([](int) {}, false);
    testing::internal::CaptureStdout();
    auto t0 = ink::time::now_us();
    EXPECT_EQ(fmouse_comm_buf_init(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(elapsed_ms(t0), 2000);
    EXPECT_NE(out.find("unconnect\n"), std::string::npos);
}

TEST_F(RelayLink, ReadFailsWhenTheLinkBreaksAfterPartOfARecord) {
    connected([](int fd) {
        (void)!write(fd, "\xFE\x01\x02", 3);
        pause_ms(50);  // leaves the daemon's byte unread: closing then resets the link
        close(fd);
        pause_ms(budget_ms() * 3);
    });
    unsigned char b = 'x';
    ASSERT_EQ(fmouse_write_out(&b, 1), 0);
    unsigned char buf[10];
    testing::internal::CaptureStdout();
    auto t0 = ink::time::now_us();
    EXPECT_EQ(fmouse_read_in(buf, 10), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(elapsed_ms(t0), budget_ms()) << "a broken link was waited out";
    EXPECT_NE(out.find("fmouse comm read data error\n"), std::string::npos) << out;
}

TEST_F(RelayLink, ReadAfterTheRelayClosedItsEndIsBoundedByTheBudget) {
    // A relay that closes its end but lingers: reads see end of file until the
    // budget runs out.
    connected([](int fd) {
        close(fd);
        pause_ms(budget_ms() * 3);
    });
    unsigned char buf[4];
    testing::internal::CaptureStdout();
    auto t0 = ink::time::now_us();
    EXPECT_EQ(fmouse_read_in(buf, 4), -1);
    long took = elapsed_ms(t0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(took, budget_ms() * 13 / 10);
    EXPECT_NE(out.find("tmp : 0\n"), std::string::npos);
}

}  // namespace
