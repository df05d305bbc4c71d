// The relay's input path on arbitrary event streams: the bytes stand for what
// the device node hands out (8-byte events), cut anywhere. The reader must end
// cleanly at the end of the stream, and what it forwards is at most six
// payload bytes per report.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "hidcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 32768)
        return 0;
    int dev[2];
    if (pipe(dev) != 0)
        abort();
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, link) != 0)
        abort();
    // A pipe holds 64 KiB: the whole stream fits before the reader starts.
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(dev[1], data + done, size - done);
        if (w <= 0)
            abort();
        done += static_cast<size_t>(w);
    }
    close(dev[1]);
    hidsock_fd = link[0];
    exit_flag.store(0);
    unsigned char unused[8];
    if (fmouse_hid_read_package(dev[0], unused) != -2)
        abort();
    shutdown(link[0], SHUT_WR);
    size_t forwarded = 0;
    unsigned char buf[4096];
    ssize_t r;
    while ((r = read(link[1], buf, sizeof buf)) > 0)
        forwarded += static_cast<size_t>(r);
    // Each whole report is 64 bytes of events and forwards at most 6.
    if (forwarded > (size / 64 + 1) * 6)
        abort();
    close(dev[0]);
    close(link[0]);
    close(link[1]);
    hidsock_fd = -1;
    return 0;
}
