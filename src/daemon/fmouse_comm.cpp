// Relay link, daemon side: a UNIX stream server that inkrelay connects to.
#include "fmouse_comm.h"

#include <errno.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "tmp_names.h"

// The relay child, set by the daemon when it forks inkrelay.
extern pid_t inkrelay_pid;

char socket_path[sizeof(sockaddr_un::sun_path)];
int hidsock_server_fd = -1;
int hidsock_client_fd = -1;
struct sockaddr_un server_address;
struct sockaddr_un client_address;
int server_len;
int client_len;

namespace {

constexpr long kReadBudgetUs = 5000000;
constexpr long kFlushBudgetUs = 10000;
constexpr long kPartialPauseUs = 1000;
constexpr long kFlushPauseUs = 10000;
constexpr long kAcceptPollMs = 20;
constexpr int kScratchSize = 2048;

unsigned char scratch[kScratchSize];

struct PathInit {
    PathInit() { std::snprintf(socket_path, sizeof socket_path, "%s", ink::path::kRelaySocket); }
} path_init;

// The liveness check: 0 while the relay child is still running. Any other
// answer of a non-blocking wait (ended and now reaped, no such child) means
// the device connection is gone.
int relay_alive(void) {
    int status;
    if (inkrelay_pid <= 0 || waitpid(inkrelay_pid, &status, WNOHANG) != 0) {
        fmouse_err("unconnect\n");
        return -1;
    }
    return 0;
}

// Waits until the connection is readable or the deadline passes.
// Returns select's result: >0 readable, 0 time-out, <0 error.
int wait_readable(long long deadline_us) {
    long long left = deadline_us - ink::time::now_us();
    if (left < 0)
        left = 0;
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(hidsock_client_fd, &rfds);
    timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    return select(hidsock_client_fd + 1, &rfds, nullptr, nullptr, &tv);
}

}  // namespace

int fmouse_comm_buf_init(void) {
    unlink(socket_path);
    hidsock_server_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hidsock_server_fd < 0) {
        std::perror("soctet error");
        return -1;
    }
    std::memset(&server_address, 0, sizeof server_address);
    server_address.sun_family = AF_UNIX;
    std::memcpy(server_address.sun_path, socket_path, sizeof server_address.sun_path - 1);
    server_len = sizeof server_address;
    // Only this user may connect.
    if (ink::tmp::bind_private(hidsock_server_fd, &server_address, server_len) < 0 ||
        listen(hidsock_server_fd, 5) < 0) {
        std::perror("soctet error");
        return -1;
    }
    fmouse_msg("server waiting\n");
    // Wait for the relay's connection while watching the relay itself: a relay
    // that ends before connecting (no device node) must not leave us here.
    for (;;) {
        pollfd pfd{hidsock_server_fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(ink::time::pause_ms(kAcceptPollMs)));
        if (r < 0 && errno != EINTR) {
            std::perror("soctet error");
            return -1;
        }
        if (r > 0) {
            client_len = sizeof client_address;
            socklen_t len = sizeof client_address;
            hidsock_client_fd =
                accept4(hidsock_server_fd, reinterpret_cast<sockaddr *>(&client_address), &len,
                        SOCK_CLOEXEC);
            client_len = static_cast<int>(len);
            if (hidsock_client_fd <= 0) {
                std::perror("soctet error");
                return -1;
            }
            if (ink::tmp::peer_is_own(hidsock_client_fd))
                break;
            // Only the relay may feed us device bytes.
            fmouse_err("hid connection of another user refused\n");
            close(hidsock_client_fd);
            hidsock_client_fd = -1;
        }
        if (relay_alive() != 0)
            return -1;
    }
    fmouse_msg("hid connect successful\n");
    return 0;
}

int fmouse_comm_buf_close(void) {
    if (hidsock_client_fd >= 0)
        close(hidsock_client_fd);
    if (hidsock_server_fd >= 0)
        close(hidsock_server_fd);
    hidsock_client_fd = -1;
    hidsock_server_fd = -1;
    return 0;
}

int fmouse_read_in(unsigned char *buf, int n) {
    const long long deadline = ink::time::now_us() + ink::time::budget_us(kReadBudgetUs);
    int got = 0;
    if (n <= 0)
        return relay_alive();
    for (;;) {
        int w = wait_readable(deadline);
        if (w == 0) {
            fmouse_err("read in timeout\n");
            return -1;
        }
        if (w < 0)
            fmouse_err("select error\n");
        if (relay_alive() != 0)
            return -1;
        // Never blocks: after a failed wait there may be nothing to read, and
        // the budget must still hold.
        ssize_t r = recv(hidsock_client_fd, buf + got, n - got, MSG_DONTWAIT);
        if (r >= 1) {
            got += static_cast<int>(r);
            if (got == n)
                return 0;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // nothing there yet
        } else {
            std::printf("tmp : %d\n", static_cast<int>(r));
            std::fflush(stdout);
            std::perror("fmouse comm read tmp error\n");
            if (r < 0) {
                // A failing link ends the call even when part of the request
                // has arrived: the bytes still missing will not come.
                fmouse_err("fmouse comm read data error\n");
                return -1;
            }
            // The relay has closed its end; the liveness check ends the call
            // once it is reaped, and the budget bounds the wait for that.
            if (ink::time::now_us() >= deadline) {
                fmouse_err("read in timeout\n");
                return -1;
            }
        }
        ink::time::sleep_us(kPartialPauseUs);
    }
}

int fmouse_write_out(unsigned char *buf, int n) {
    if (relay_alive() != 0)
        return -1;
    int done = 0;
    while (done < n) {
        ssize_t r = send(hidsock_client_fd, buf + done, n - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            fmouse_err("write out error\n");
            return -1;
        }
        done += static_cast<int>(r);
    }
    return 0;
}

int fmouse_flush_in_buf(void) {
    fmouse_msg("< flush in buf\n");
    const long long start = ink::time::now_us();
    const long long deadline = start + ink::time::pause_us(kFlushBudgetUs);
    for (;;) {
        int w = wait_readable(deadline);
        if (w == 0) {
            fmouse_msg("flush all\n");
            fmouse_msg("flush in buf >\n");
            return 0;
        }
        if (w < 0)
            fmouse_err("select error\n");
        if (relay_alive() != 0)
            return -1;
        ssize_t r = recv(hidsock_client_fd, scratch, sizeof scratch, MSG_DONTWAIT);
        // A closed end stays readable for ever; once the read budget has gone
        // by, a relay that closed its end but lives on counts as gone.
        if (r == 0 && ink::time::now_us() - start >= ink::time::budget_us(kReadBudgetUs)) {
            fmouse_err("unconnect\n");
            return -1;
        }
        ink::time::sleep_us(kFlushPauseUs);
        ink::time::sleep_us(kFlushPauseUs);
        fmouse_msg("flush in while\n");
    }
}

int fmouse_flush_in_buf_calib(void) {
    fmouse_msg("< flush in buf in calibration\n");
    if (relay_alive() != 0)
        return -1;
    ssize_t r;
    do {
        r = read(hidsock_client_fd, scratch, sizeof scratch);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        fmouse_err("flush read data error\n");
        fmouse_msg("flush in buf in calibration >\n");
        return -1;
    }
    fmouse_msg("flush in buf in calibration >\n");
    return 0;
}
