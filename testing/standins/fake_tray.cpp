// The fake tray program: connects to the daemon's command channel as the tray
// program does (retrying every 20 ms), answers every command as the tray
// program would, and logs each exchange (format and environment in
// fake_tray.h).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_channel.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "standins/fake_tray.h"

namespace {

int g_log = -1;
std::string g_event_file;

int env_int(const char *name, int def) {
    const char *v = std::getenv(name);
    return v ? std::atoi(v) : def;
}

void log_line(const std::string &line) {
    if (g_log < 0)
        return;
    std::string l = line + "\n";
    ssize_t w = write(g_log, l.data(), l.size());
    // A line the log did not take (a full disk) would read as a command the
    // daemon never sent: say so once, on the daemon's output, which the
    // tests print when they fail.
    static bool told = false;
    if (w != static_cast<ssize_t>(l.size()) && !told) {
        told = true;
        std::fprintf(stderr, "inkfaketray: the log did not take a line: %s\n",
                     w < 0 ? std::strerror(errno) : "written in part");
    }
}

std::string hex(const unsigned char *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
    }
    return s;
}

bool read_exact(int fd, unsigned char *b, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, b + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

void put_int(unsigned char *b, int v) {
    for (int i = 0; i < kGuiIntSize; ++i)
        b[i] = static_cast<unsigned char>(static_cast<unsigned>(v) >> (8 * i));
}

unsigned char take_event() {
    if (g_event_file.empty())
        return 0;
    std::string taken = g_event_file + ".taken";
    if (rename(g_event_file.c_str(), taken.c_str()) != 0)
        return 0;
    unsigned int v = 0;
    if (FILE *f = std::fopen(taken.c_str(), "r")) {
        if (std::fscanf(f, "%x", &v) != 1)
            v = 0;
        std::fclose(f);
    }
    unlink(taken.c_str());
    return static_cast<unsigned char>(v);
}

int connect_channel() {
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a;
        std::memset(&a, 0, sizeof a);
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", ink::path::kCmdSocket);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        if (fd >= 0)
            close(fd);
        ink::time::sleep_ms(20);
    }
}

}  // namespace

namespace inktest {

int run_fake_tray() {
    if (const char *l = std::getenv(kFakeTrayLogEnv))
        g_log = open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (const char *e = std::getenv(kFakeTrayEventEnv))
        g_event_file = e;
    const int width = env_int(kFakeTrayWidthEnv, 1024);
    const int height = env_int(kFakeTrayHeightEnv, 768);
    const int mode = env_int(kFakeTrayModeEnv, 0);

    int fd = connect_channel();
    log_line("connected");
    for (;;) {
        unsigned char c;
        if (!read_exact(fd, &c, 1))
            break;
        unsigned char payload[kGuiParamInts * kGuiIntSize];
        size_t plen = 0;
        unsigned char reply[kGuiIntSize + 1];
        size_t rlen = 0;
        switch (c) {
            case GUI_CMD_CALIB_MODE:
                reply[0] = static_cast<unsigned char>(mode);
                reply[1] = kGuiStatusOk;
                rlen = 2;
                break;
            case GUI_CMD_CALIB_DOT:
                plen = kGuiDotInts * kGuiIntSize;
                reply[0] = kGuiStatusOk;
                rlen = 1;
                break;
            case GUI_CMD_WAIT_DIALOG:
            case GUI_CMD_WAIT_CLOSE:
            case GUI_CMD_SHOW_CONNECTED:
            case GUI_CMD_DISCONNECTED:
            case GUI_CMD_CONNECTING:
            case GUI_CMD_CONNECTED:
            case GUI_CMD_CALIB_END:
            case GUI_CMD_DOTS_DONE:
                reply[0] = kGuiStatusOk;
                rlen = 1;
                break;
            case GUI_CMD_SCREEN_X:
            case GUI_CMD_SCREEN_Y: {
                int w = width, h = height;
                if (const char *sf = std::getenv(kFakeTraySizeFileEnv)) {
                    if (FILE *f = std::fopen(sf, "r")) {
                        if (std::fscanf(f, "%d %d", &w, &h) != 2) {
                            w = width;
                            h = height;
                        }
                        std::fclose(f);
                    }
                }
                put_int(reply, c == GUI_CMD_SCREEN_X ? w : h);
                reply[kGuiIntSize] = kGuiStatusOk;
                rlen = kGuiIntSize + 1;
                break;
            }
            case GUI_CMD_SET_PARAMS:
                plen = kGuiParamInts * kGuiIntSize;
                reply[0] = kGuiStatusOk;
                rlen = 1;
                break;
            case GUI_CMD_POLL:
                reply[0] = take_event();
                rlen = 1;
                break;
            default:
                break;  // GUI_CMD_CLEAR and unknown bytes get no reply
        }
        if (plen && !read_exact(fd, payload, plen))
            break;
        // Logged before the answer goes: once the daemon has its answer (and
        // acts on it, or ends), the exchange is in the log.
        std::string line = "D " + hex(&c, 1);
        if (plen)
            line += " " + hex(payload, plen);
        line += " | T " + hex(reply, rlen);
        log_line(line);
        if (rlen && write(fd, reply, rlen) != static_cast<ssize_t>(rlen))
            break;
    }
    log_line("closed");
    return 0;
}

}  // namespace inktest
