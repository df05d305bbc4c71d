// The daemon's readers of device replies: a scripted unit answers every
// command the daemon writes with the next chunk of the input (a length byte,
// then that many bytes; the chunks may be short, over-long or garbage), and
// falls silent once the input is used up. The first byte picks the exchange.
// Every exchange must end with a result and never read past its buffers. A
// downloaded record is decoded as the connection does (its checksum is only
// reported, so any record the download returns is decoded), and a decode that
// succeeds describes a grid the model can build.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "NyxCalLib.h"
#include "fmouse_comm.h"
#include "fmouse_device.h"
#include "fuzz_util.h"

extern pid_t inkrelay_pid;
extern int hidsock_client_fd;

namespace {

// The liveness check wants a running child: one that only waits.
void start_fake_relay() {
    if (inkrelay_pid > 0)
        return;
    pid_t pid = fork();
    if (pid < 0)
        abort();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    inkrelay_pid = pid;
}

// The unit: every burst of command bytes gets the next chunk as its reply.
void unit(int fd, const uint8_t *data, size_t size) {
    fuzz::Reader in(data, size);
    uint8_t cmd[4096];
    while (in.left() > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0)
            break;
        if (read(fd, cmd, sizeof cmd) <= 0)
            break;
        size_t n = in.byte();
        // Length 255 stands for an over-long reply.
        if (n == 255)
            n = 1024;
        uint8_t reply[1024];
        in.take(reply, n);
        if (send(fd, reply, n, MSG_NOSIGNAL) < 0)
            break;
    }
    shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 8192)
        return 0;
    start_fake_relay();
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, link) != 0)
        abort();
    hidsock_client_fd = link[0];
    std::thread t(unit, link[1], data + 1, size - 1);
    unsigned char EU[NYX_EU_SIZE] = {};
    unsigned char E[kE4Size] = {};
    switch (data[0] % 6) {
        case 0:
            fmouse_check_ax_type();
            break;
        case 1:
            fmouse_download_e4(E);
            break;
        case 2:
            if (fmouse_download_cal(EU) == 0) {
                double Ul[NYX_REF_VALUES], Vl[NYX_REF_VALUES];
                if (DecCAL(EU, Ul, Vl) == 1 &&
                    (RefNx < 3 || RefNx > 7 || RefNy < 3 || RefNy > 7 || sideSpace < 1))
                    abort();
            }
            break;
        case 3:
            fmouse_updata_cal(EU);
            break;
        case 4: {
            unsigned char bd0[NYX_BD0_SIZE] = {};
            fmouse_save_bd0(bd0, sizeof bd0);
            break;
        }
        case 5:
            fmouse_read_spot();
            break;
    }
    t.join();
    close(link[0]);
    close(link[1]);
    hidsock_client_fd = -1;
    return 0;
}
