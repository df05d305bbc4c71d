// inkrelay: carries the camera unit's reports between its hiddev node and the
// daemon's relay socket. Started by inkd once per device connection.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "fmouse_sys.h"
#include "hidcore.h"
#include "session_record.h"

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
    // A recording asked for by the user (see session_record.h).
    hid_record_fd = ink::record::open_if_requested();
    if (hid_record_fd >= 0) {
        unsigned char pid[4];
        for (int i = 0; i < 4; ++i)
            pid[i] = static_cast<unsigned char>(static_cast<unsigned>(getpid()) >> (8 * i));
        ink::record::append(hid_record_fd, 'S', pid, sizeof pid);
    }
    if (fmouse_hid_rw_thread_init() != 0)
        return -1;
    fmouse_hid_join_reader();
    fmouse_msg("Fmouse hid read tid join\n");
    return 0;
}
