// The daemon's readers of device replies: a scripted unit answers every
// command the daemon writes with the next chunk of the input (a length byte,
// then that many bytes; the chunks may be short, over-long or garbage). The
// first byte picks the exchange (its value modulo 6) and how the link ends
// once the input is used up (divided by 6, modulo 3): the relay closes its
// end, the unit falls silent, or the relay ends (the unit is unplugged). For
// the spot read the unit is running and sends its first chunk unasked.
// Every exchange must end with a result and never read past its buffers. A
// downloaded record is decoded as the connection does (its checksum is only
// reported, so any record the download returns is decoded), and a decode that
// succeeds describes a grid the model can build.
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

// How the unit's side of the link ends once the input is used up.
enum class End {
    Close,   // the relay closes its end of the link but lives on
    Silent,  // the link stays open and nothing more comes
    Unplug,  // the relay ends, as it does when the unit is unplugged
};

// The liveness check wants a running child: one that only waits, until it is
// killed or this process ends. It shares this process's memory (CLONE_VM), so
// starting one costs no copy of the fuzzer's page tables, which a fork would
// (most of the time of an input that ends with an unplug). It runs nothing but
// two system calls on a stack of its own and takes no signal but SIGKILL.
alignas(64) char relay_stack[16384];

int fake_relay(void *) {
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    for (;;)
        syscall(SYS_pause);
}

// A relay that ended (End::Unplug) is replaced by a fresh one for the next
// input.
pid_t start_fake_relay() {
    if (inkrelay_pid > 0)
        return inkrelay_pid;
    pid_t pid = clone(fake_relay, relay_stack + sizeof relay_stack, CLONE_VM | SIGCHLD, nullptr);
    if (pid < 0)
        abort();
    inkrelay_pid = pid;
    return pid;
}

// The unit: every burst of command bytes gets the next chunk as its reply; a
// running unit (streaming) sends its first chunk unasked, as it sends frames.
// It waits for commands for as long as the daemon's end is open: the exchange
// closes that end when it is over, so neither side waits on a clock here.
void unit(int fd, const uint8_t *data, size_t size, bool streaming, End end, pid_t relay) {
    fuzz::Reader in(data, size);
    uint8_t cmd[4096];
    bool asked = streaming;
    bool open = true;
    while (open && in.left() > 0) {
        if (!asked) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, -1) <= 0 || read(fd, cmd, sizeof cmd) <= 0)
                open = false;
        }
        asked = false;
        if (!open)
            break;
        size_t n = in.byte();
        // Length 255 stands for an over-long reply.
        if (n == 255)
            n = 1024;
        uint8_t reply[1024];
        in.take(reply, n);
        if (send(fd, reply, n, MSG_NOSIGNAL) < 0)
            open = false;
    }
    if (open && end == End::Unplug)
        kill(relay, SIGKILL);
    if (open && end == End::Silent) {
        // Nothing more: wait until the daemon's end closes.
        while (read(fd, cmd, sizeof cmd) > 0) {
        }
    }
    shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 8192)
        return 0;
    // The protocol's pauses are a few microseconds in this build; the default
    // timer slack (50 us) would make each of them many times longer.
    static const int slack = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    (void)slack;
    const pid_t relay = start_fake_relay();
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, link) != 0)
        abort();
    hidsock_client_fd = link[0];
    const int op = data[0] % 6;
    const End end = static_cast<End>(data[0] / 6 % 3);
    std::thread t(unit, link[1], data + 1, size - 1, op == 5, end, relay);
    unsigned char EU[NYX_EU_SIZE] = {};
    unsigned char E[kE4Size] = {};
    switch (op) {
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
    // The exchange is over: the unit stops waiting for commands.
    shutdown(link[0], SHUT_RDWR);
    t.join();
    close(link[0]);
    close(link[1]);
    hidsock_client_fd = -1;
    if (end == End::Unplug) {
        // Reaped here unless the daemon's liveness check already did.
        kill(relay, SIGKILL);
        waitpid(relay, nullptr, 0);
        inkrelay_pid = 0;
    }
    return 0;
}
