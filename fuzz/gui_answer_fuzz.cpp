// The daemon's readers of the tray program's answers: garbage, short and
// over-long answers. The first byte picks how many exchanges the daemon makes
// (the next bytes pick which); the rest is what the tray program sends back,
// after which it closes the channel. Every exchange must end, whatever came.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "NyxCalLib.h"
#include "fmouse_cmddata.h"
#include "fmouse_gui.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192)
        return 0;
    fuzz::Reader in(data, size);
    int n_ops = in.byte() % 16;
    uint8_t ops[16];
    in.take(ops, static_cast<size_t>(n_ops));
    int ch[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ch) != 0)
        abort();
    size_t left = in.left();
    const uint8_t *answers = in.rest();
    size_t done = 0;
    while (done < left) {
        ssize_t w = write(ch[1], answers + done, left - done);
        if (w <= 0)
            abort();
        done += static_cast<size_t>(w);
    }
    shutdown(ch[1], SHUT_WR);
    alg2guisock_client_fd = ch[0];
    // The tray program reads every command; so does this end.
    std::thread reader(fuzz::drain, ch[1]);
    int width = 1024, height = 768;
    for (int k = 0; k < n_ops; ++k) {
        switch (ops[k] % 7) {
            case 0:
                fmouse_gui_notify(GUI_CMD_CONNECTED);
                break;
            case 1:
                fmouse_gui_poll();
                break;
            case 2:
                fmouse_set_calib_arg();
                if (cmd->RefNxB < 0 || cmd->RefNyB < 0)
                    abort();
                break;
            case 3:
                width = fmouse_get_sys_metrics_x();
                break;
            case 4:
                height = fmouse_get_sys_metrics_y();
                break;
            case 5:
                fmouse_calib_notify();
                break;
            case 6:
                fmouse_set_kvx_arg();
                break;
        }
    }
    // Whatever size was answered, the model's layout must cope with it.
    int refX[NYX_REF_MAX], refY[NYX_REF_MAX];
    fuzz::in_scratch_dir([&] { Calib_Init(4, 3, 5, width, height, 65, refX, refY); });
    close(ch[0]);
    reader.join();
    close(ch[1]);
    alg2guisock_client_fd = -1;
    return 0;
}
