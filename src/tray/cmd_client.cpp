#include "cmd_client.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "tmp_names.h"
#include "tray_state.h"

namespace {

constexpr long kConnectRetryUs = 20000;

int alg2guisock_fd = -1;
std::atomic<bool> channel_closed{false};

// Reads one byte; false when the channel is closed or broken.
bool read_byte(unsigned char &b) {
    return fmouse_read_cmd(&b, 1) == 1;
}

// Reads an integer sent least significant byte first, one byte per read.
bool read_int32(int &value) {
    std::uint32_t v = 0;
    for (int i = 0; i < kGuiIntSize; ++i) {
        unsigned char b = 0;
        if (!read_byte(b))
            return false;
        v |= static_cast<std::uint32_t>(b) << (8 * i);
    }
    value = static_cast<int>(v);
    return true;
}

void write_byte(unsigned char b) {
    fmouse_write_cmd(&b, 1);
}

// Sends an integer least significant byte first, one write per byte.
void write_int32(int value, bool log_bytes) {
    std::uint32_t v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < kGuiIntSize; ++i) {
        unsigned char b = static_cast<unsigned char>(v >> (8 * i));
        if (log_bytes)
            fmouse_msgf("0x%.2x\n", b);
        write_byte(b);
    }
}

void reply_ok() {
    fmouse_msg("read ui cmd\n");
    write_byte(kGuiStatusOk);
}

void post(GuiCmd c) {
    ui_cmd.store(static_cast<unsigned char>(c));
}

bool read_param(const char *announce, const char *fmt, std::atomic<int> &dst) {
    fmouse_msg(announce);
    int v = 0;
    if (!read_int32(v))
        return false;
    dst.store(v);
    fmouse_msgf(fmt, v);
    return true;
}

bool read_pid(const char *announce, const char *fmt, std::atomic<pid_t> &dst) {
    fmouse_msg(announce);
    int v = 0;
    if (!read_int32(v))
        return false;
    dst.store(static_cast<pid_t>(v));
    fmouse_msgf(fmt, v);
    return true;
}

// Handles one command byte; false when the channel ended in the middle.
bool handle(unsigned char cmd) {
    switch (static_cast<GuiCmd>(cmd)) {
        case GUI_CMD_CLEAR:
            post(GUI_CMD_CLEAR);
            return true;
        case GUI_CMD_CALIB_MODE:
            post(GUI_CMD_CALIB_MODE);
            write_byte(calib_normal_adv.load());
            reply_ok();
            return true;
        case GUI_CMD_CALIB_DOT: {
            int x = 0, y = 0;
            fmouse_msg("calibrate notify dot x\n");
            if (!read_int32(x))
                return false;
            fmouse_msgf("dot x: %d\n", x);
            fmouse_msg("calibrate notify dot y\n");
            if (!read_int32(y))
                return false;
            fmouse_msgf("dot y: %d\n", y);
            calibrate_dot.store(pack_dot(x, y));
            reply_ok();
            // Coordinates first, action second: the dispatcher never sees the
            // action without them.
            post(GUI_CMD_CALIB_DOT);
            return true;
        }
        case GUI_CMD_WAIT_DIALOG:
            post(GUI_CMD_WAIT_DIALOG);
            fmouse_msg("wait dlg\n");
            reply_ok();
            return true;
        case GUI_CMD_WAIT_CLOSE:
            post(GUI_CMD_WAIT_CLOSE);
            fmouse_msg("wait dlg des\n");
            reply_ok();
            return true;
        case GUI_CMD_SHOW_CONNECTED:
        case GUI_CMD_DISCONNECTED:
        case GUI_CMD_CONNECTED:
        case GUI_CMD_CALIB_END:
        case GUI_CMD_DOTS_DONE:
            ui_cmd.store(cmd);
            reply_ok();
            return true;
        case GUI_CMD_CONNECTING:
            post(GUI_CMD_CONNECTING);
            fmouse_msg("wait dlg and tray\n");
            reply_ok();
            return true;
        case GUI_CMD_SCREEN_X:
            write_int32(fmouse_get_sys_metrics_x(), true);
            reply_ok();
            return true;
        case GUI_CMD_SCREEN_Y:
            write_int32(fmouse_get_sys_metrics_y(), true);
            reply_ok();
            return true;
        case GUI_CMD_SET_PARAMS:
            if (!read_param("read kvx normal dot x\n", "kvx_normal_dot_x: %d\n",
                            kvx_normal_dot_x) ||
                !read_param("read kvx normal dot y\n", "kvx_normal_dot_y: %d\n",
                            kvx_normal_dot_y) ||
                !read_param("read kvx adv dot x\n", "kvx_adv_dot_x: %d\n", kvx_adv_dot_x) ||
                !read_param("read kvx adv dot y\n", "kvx_adv_dot_y: %d\n", kvx_adv_dot_y) ||
                !read_param("read kvx sidespace\n", "kvx_sidespace: %d\n", kvx_sidespace) ||
                !read_pid("read vxdcore pid\n", "vxdcore pid: %d\n", vxdcore_pid) ||
                !read_pid("read inkrelay pid\n", "inkrelay pid: %d\n", inkrelay_pid))
                return false;
            reply_ok();
            return true;
        case GUI_CMD_POLL: {
            // Read and clear in one step: a request raised meanwhile is kept.
            unsigned char evt = send_gui_data_flag.exchange(0);
            if (evt != 0)
                fmouse_msg("read ui cmd\n");
            write_byte(evt);
            return true;
        }
    }
    return true;  // any other byte: no reply
}

gboolean quit_main_loop(gpointer) {
    gtk_main_quit();
    return FALSE;
}

}  // namespace

int fmouse_alg2gui_cmd_init() {
    alg2guisock_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (alg2guisock_fd < 0) {
        fmouse_err("alg2gui socket connect unsuccessful\n");
        return -1;
    }
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, ink::path::kCmdSocket, sizeof addr.sun_path - 1);
    // A server of another user under the name is not our daemon.
    if (connect(alg2guisock_fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        !ink::tmp::peer_is_own(alg2guisock_fd)) {
        close(alg2guisock_fd);
        alg2guisock_fd = -1;
        fmouse_err("alg2gui socket connect unsuccessful\n");
        return -1;
    }
    fmouse_msg("alg2gui socket initial successful\n");
    return 0;
}

int fmouse_read_cmd(unsigned char *buf, int n) {
    ssize_t r;
    do {
        r = read(alg2guisock_fd, buf, static_cast<size_t>(n));
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

int fmouse_write_cmd(unsigned char *buf, int n) {
    // MSG_NOSIGNAL: a daemon that went away must not kill the tray with SIGPIPE.
    ssize_t w;
    do {
        w = send(alg2guisock_fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    if (w != n) {
        fmouse_err("alg2gui write cmd error\n");
        return -1;
    }
    return 0;
}

int fmouse_get_sys_metrics_x() {
    return screen_width.load();
}
int fmouse_get_sys_metrics_y() {
    return screen_height.load();
}

bool channel_closed_by_daemon() {
    return channel_closed.load();
}

void fmouse_guicmd_serve(int fd) {
    alg2guisock_fd = fd;
    for (;;) {
        unsigned char cmd = 0;
        if (!read_byte(cmd) || !handle(cmd))
            break;
    }
}

void *fmouse_guicmd_func(void *) {
    while (fmouse_alg2gui_cmd_init() != 0) {
        fmouse_msg("try to connect\n");
        ink::time::sleep_us(kConnectRetryUs);
    }
    fmouse_guicmd_serve(alg2guisock_fd);
    // The daemon closed the channel (it has ended): stop reading and end the
    // program through its main loop instead of spinning on a dead socket.
    fmouse_err("alg2gui socket closed by the daemon\n");
    close(alg2guisock_fd);
    alg2guisock_fd = -1;
    channel_closed.store(true);
    g_idle_add(quit_main_loop, nullptr);
    return nullptr;
}
