// inkrelay: carries the camera unit's reports between its hiddev node and the
// daemon's relay socket. Started by inkd once per device connection.
#include <signal.h>

#include <cstring>

#include "fmouse_sys.h"
#include "hidcore.h"

int main(int argc, char **argv) {
    // Only "--vxd-debug" means anything: it switches the diagnostics on, as it
    // does for the daemon that passes it. Anything else is ignored.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--vxd-debug") == 0)
            vxd_debug_flag = 1;
    // A daemon that closes the link must end the relay through the reader's
    // rules, not through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    if (fmouse_hid_init() != 0) {
        fmouse_err("Fmouse Hid initial error\n");
        return -1;
    }
    fmouse_rw_fd_init();
    if (fmouse_hid_rw_thread_init() != 0)
        return -1;
    fmouse_hid_join_reader();
    fmouse_msg("Fmouse hid read tid join\n");
    return 0;
}
