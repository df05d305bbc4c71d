#include "fmouse_gui.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "detect_hw.h"
#include "fmouse_cmddata.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "tmp_names.h"
#include "session_record.h"

int alg2guisock_server_fd = -1;
int alg2guisock_client_fd = -1;
int calibrate_dot_x = 0;
int calibrate_dot_y = 0;

namespace {

struct sockaddr_un alg2guisock_server_addr;
constexpr socklen_t alg2guisock_server_len = sizeof(struct sockaddr_un);  // 110

// Writes a 32-bit integer least significant byte first, one write per byte.
void write_int32(int value) {
    auto v = static_cast<unsigned int>(value);
    for (int i = 0; i < 4; ++i) {
        unsigned char b = static_cast<unsigned char>(v >> (8 * i));
        fmouse_alg2gui_write_cmd(&b, 1);
    }
}

// Reads a 32-bit integer one byte at a time, then the trailing status byte.
int read_int32_and_status() {
    unsigned int v = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned char b = 0;
        fmouse_alg2gui_read_cmd(&b, 1);
        v |= static_cast<unsigned int>(b) << (8 * i);
    }
    unsigned char status = 0;
    fmouse_alg2gui_read_cmd(&status, 1);
    return static_cast<int>(v);
}

}  // namespace

int fmouse_alg2gui_cmd_init(void) {
    unlink(ink::path::kCmdSocket);
    alg2guisock_server_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (alg2guisock_server_fd < 0) {
        std::perror("alg2gui socket error");
        return -1;
    }
    std::memset(&alg2guisock_server_addr, 0, sizeof alg2guisock_server_addr);
    alg2guisock_server_addr.sun_family = AF_UNIX;
    std::snprintf(alg2guisock_server_addr.sun_path, sizeof alg2guisock_server_addr.sun_path, "%s",
                  ink::path::kCmdSocket);
    // Only this user may connect. A name someone else holds (which we could
    // not remove) makes the bind fail: waiting would then be for ever.
    if (ink::tmp::bind_private(alg2guisock_server_fd, &alg2guisock_server_addr,
                               alg2guisock_server_len) < 0 ||
        listen(alg2guisock_server_fd, 5) < 0) {
        std::perror("alg2gui socket bind error");
        close(alg2guisock_server_fd);
        alg2guisock_server_fd = -1;
        return -1;
    }
    fmouse_msg("alg2gui server waiting\n");
    for (;;) {
        alg2guisock_client_fd = accept4(alg2guisock_server_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (alg2guisock_client_fd < 0 && errno == EINTR)
            continue;
        if (alg2guisock_client_fd <= 0) {
            std::perror("alg2gui socket error");
            return -1;
        }
        if (ink::tmp::peer_is_own(alg2guisock_client_fd))
            break;
        fmouse_err("alg2gui connection of another user refused\n");
        close(alg2guisock_client_fd);
        alg2guisock_client_fd = -1;
    }
    fmouse_msg("alg2gui connect successful\n");
    // The name exists only while the daemon waits: no second tray program can connect.
    unlink(ink::path::kCmdSocket);
    return 0;
}

int fmouse_alg2gui_read_cmd(unsigned char *buf, int n) {
    return static_cast<int>(read(alg2guisock_client_fd, buf, static_cast<size_t>(n)));
}

int fmouse_alg2gui_write_cmd(unsigned char *buf, int n) {
    ssize_t w = write(alg2guisock_client_fd, buf, static_cast<size_t>(n));
    if (w != n) {
        std::perror("write alg2gui socket error");
        fmouse_err("alg2gui write cmd error\n");
    }
    return 0;
}

int fmouse_set_kvx_arg(void) {
    unsigned char c = GUI_CMD_SET_PARAMS;
    fmouse_alg2gui_write_cmd(&c, 1);
    fmouse_msg("write kvx normal dot x\n");
    write_int32(kvx_normal_dot_x);
    fmouse_msg("write kvx normal dot y\n");
    write_int32(kvx_normal_dot_y);
    fmouse_msg("write kvx adv dot x\n");
    write_int32(kvx_adv_dot_x);
    fmouse_msg("write kvx adv dot y\n");
    write_int32(kvx_adv_dot_y);
    fmouse_msg("write kvx sidespace\n");
    write_int32(kvx_sidespace);
    fmouse_msg("write vxdcore pid\n");
    write_int32(static_cast<int>(getpid()));
    fmouse_msg("write inkrelay pid\n");
    write_int32(static_cast<int>(inkrelay_pid));
    unsigned char status = 0;
    fmouse_alg2gui_read_cmd(&status, 1);
    return 0;
}

int fmouse_get_sys_metrics_x(void) {
    unsigned char c = GUI_CMD_SCREEN_X;
    fmouse_alg2gui_write_cmd(&c, 1);
    return read_int32_and_status();
}

int fmouse_get_sys_metrics_y(void) {
    unsigned char c = GUI_CMD_SCREEN_Y;
    fmouse_alg2gui_write_cmd(&c, 1);
    return read_int32_and_status();
}

void fmouse_calib_notify(void) {
    unsigned char c = GUI_CMD_CALIB_DOT;
    fmouse_alg2gui_write_cmd(&c, 1);
    fmouse_msg("notify dot x\n");
    write_int32(calibrate_dot_x);
    fmouse_msg("notify dot y\n");
    write_int32(calibrate_dot_y);
    unsigned char status = 0;
    fmouse_alg2gui_read_cmd(&status, 1);
}

void fmouse_set_calib_arg(void) {
    unsigned char c = GUI_CMD_CALIB_MODE;
    fmouse_alg2gui_write_cmd(&c, 1);
    unsigned char mode = 0;
    fmouse_alg2gui_read_cmd(&mode, 1);
    if (mode != 0) {
        fmouse_msg("advance calibrate\n");
        cmd->RefNxB = kvx_adv_dot_x;
        cmd->RefNyB = kvx_adv_dot_y;
    } else {
        fmouse_msg("normal calibrate\n");
        cmd->RefNxB = kvx_normal_dot_x;
        cmd->RefNyB = kvx_normal_dot_y;
    }
    cmd->sideSpace = kvx_sidespace;
    unsigned char status = 0;
    fmouse_alg2gui_read_cmd(&status, 1);
}

void fmouse_gui_notify(unsigned char command) {
    unsigned char c = command;
    fmouse_alg2gui_write_cmd(&c, 1);
    // An unanswered read leaves the command byte in place, which reads as an error.
    fmouse_alg2gui_read_cmd(&c, 1);
    if (c == 0)
        fmouse_msg("feedback cmd success\n");
    else
        fmouse_err("feedback cmd error\n");
}

unsigned char fmouse_gui_poll(void) {
    unsigned char c = GUI_CMD_POLL;
    fmouse_alg2gui_write_cmd(&c, 1);
    fmouse_alg2gui_read_cmd(&c, 1);
    if (c != GUI_EVT_NONE && c != GUI_CMD_POLL)
        ink::record::note_event(c);
    return c;
}
