// A device connection's start and end. Bring-up: start the relay, identify
// the unit, read its parameter block, configure the camera, fetch and decode
// the calibration record, build the model for the screen, store the
// background block and run. Tear-down: end the relay, close the link and the
// pointer sink.
#include "fmouse_connect.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "NyxCalLib.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_device.h"
#include "fmouse_gui.h"
#include "fmouse_motion.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "spawn_child.h"

namespace {

// Steps from the fill to run mode, shared by a new connection and a change of
// screen size. `fresh` selects the new connection's texts and pauses.
int bring_up(bool fresh) {
    unsigned char E[kE4Size];
    unsigned char B[1024];
    unsigned char Data[kBd0BufferSize];

    if (fmouse_fill_write_o() != 0) {
        fmouse_err(fresh ? "fmouse fill write o error" : "fmouse fill write o error\n");
        return -1;
    }
    if (fmouse_check_ax_type() != 0) {
        fmouse_fill_write_o();
        if (fmouse_check_ax_type() != 0) {
            fmouse_err(fresh ? "Vxd check ax type error" : "Vxd check ax type error\n");
            return -1;
        }
    }
    if (fmouse_download_e4(E) != 0 && fmouse_download_e4(E) != 0) {
        fmouse_err(fresh ? "DownE4 error" : "DownE4 error\n");
        return -1;
    }
    cmd->HW_ENC = E[0];
    g_ENC = E[0];
    cmd->ccd1 = E[1];
    cmd->ccd2 = E[2];
    cmd->ccd3 = E[3];
    cmd->ccd4 = E[4];
    cmd->ccd5 = E[5];
    if (fresh)
        ink::time::wait_steps(20, 10);
    dGain = static_cast<signed char>(E[10]) + 1;
    dRowStart = 2 * static_cast<signed char>(E[11]) + 2;
    dColStart = 2 * static_cast<signed char>(E[12]) + 2;
    ink::time::wait_steps(10, 10);

    if (fmouse_hold() != 0) {
        fmouse_err(fresh ? "hold error" : "hold error\n");
        return -1;
    }
    if (fmouse_config_cam() != 0) {
        fmouse_err(fresh ? "config cam error" : "config cam error\n");
        return -1;
    }
    if (fmouse_hold() != 0) {
        fmouse_err("hold error");
        return -1;
    }

    // The previous decode's grid; the decode below replaces the globals only.
    cmd->RefNxB = RefNx;
    cmd->RefNyB = RefNy;
    cmd->sideSpace = sideSpace;

    int width = fmouse_get_sys_metrics_x();
    int height = fmouse_get_sys_metrics_y();
    fmouse_msgf("scrX : %d\n", width);
    fmouse_msgf("scrY : %d\n", height);

    if (fmouse_download_cal(B) != 0) {
        fmouse_err("download cal error");
        return -1;
    }
    fmouse_msg("<Dec cal\n");
    int valid = DecCAL(B, Ul, Vl);
    fmouse_msg("Dec cal>\n");
    fmouse_msgf("Down cal = %d , %.2x %.2x %.2x %.2x \n", valid, B[0], B[1], B[2], B[3]);
    fmouse_msgf("RefNx = %d, RefNy = %d, space = %d\n", cmd->RefNxB, cmd->RefNyB, cmd->sideSpace);
    fmouse_msgf("RefNx = %d, RefNy = %d, space = %d\n", RefNx, RefNy, sideSpace);

    fmouse_msg("< Calib Init\n");
    Calib_Init(RefNx, RefNy, sideSpace, width, height, cmd->HW_Type, refX, refY);
    fmouse_msg(" Calib Init >\n");
    fmouse_msgf("RefNx = %d, RefNy = %d, space = %d\n", RefNx, RefNy, sideSpace);
    if (!valid) {
        fmouse_err("Calibration data channel seems incorrect\n");
        return -1;
    }

    fmouse_msg("< Calib Init UV\n");
    for (int i = 0; i < 49; ++i)
        fmouse_msgf("ii: Ul %5.2f Vl %5.2f\n", Ul[i], Vl[i]);
    fmouse_msg("Calib Init UV >\n");
    Calib_InitUV(Ul, Vl);
    fmouse_msg("Calib Init UV >\n");
    ink::time::wait_steps(10, 20);

    fmouse_msg("< Calc BD0\n");
    int n = CalcBD0(Data);
    fmouse_msg("Calc BD0 >\n");
    fmouse_msgf("Num = %d\n", n);
    fmouse_msg("< Save BD0\n");
    if (fmouse_save_bd0(Data, n) != 0) {
        fmouse_err("save bd0 error");
        return -1;
    }
    fmouse_msg("Save BD0 >\n");
    ink::time::sleep_s(1);
    fmouse_msg("Calibration data channel ok\n");

    if (fmouse_run() != 0) {
        fmouse_err("run error");
        return -1;
    }
    fmouse_msg("System running...\n");
    return 0;
}

}  // namespace

int fmouse_connecting(void) {
    if (fmouse_motion_init() != 0)
        fmouse_err("Vxd motion init error");

    char arg0[] = "inkrelay";
    char arg1[] = "--vxd-debug";
    char *argv[] = {arg0, vxd_debug_flag ? arg1 : nullptr, nullptr};
    pid_t pid = ink::proc::spawn_child(ink::path::kRelayProgram, argv);
    if (pid < 0) {
        // Without a relay nothing would ever connect to the link.
        fmouse_err("inkrelay fork error\n");
        return -1;
    }
    inkrelay_pid = pid;

    // A relay that ends before it connects (no device node, say) would leave
    // the link waiting for good: the link watches it and the bring-up fails.
    if (fmouse_comm_buf_init() != 0) {
        fmouse_err("inkrelay did not connect\n");
        return -1;
    }
    fmouse_msg("connecting start......\n");
    fmouse_set_kvx_arg();
    ink::time::sleep_s(1);
    return bring_up(true);
}

int fmouse_change_resolution(void) {
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    ink::time::sleep_s(1);
    if (fmouse_flush_in_buf() != 0) {
        fmouse_err("fmouse flush in buf error\n");
        return -1;
    }
    return bring_up(false);
}

void fmouse_disconnect(void) {
    if (inkrelay_pid != 0) {
        int status;
        pid_t r = waitpid(inkrelay_pid, &status, WNOHANG);
        if (r < 0) {
            fmouse_err("wait inkrelay pid error\n");
        } else if (r == 0) {
            kill(inkrelay_pid, SIGTERM);
            fmouse_err("kill inkrelay pid\n");
            ink::time::sleep_s(1);
            r = waitpid(inkrelay_pid, &status, WNOHANG);
            if (r != inkrelay_pid)
                fmouse_err("wait inkrelay pid error after kill\n");
            if (r == 0) {
                // A relay slow to end (a busy machine, or held stopped) would
                // stay an unreaped child for good once its pid is dropped:
                // end it outright and reap it now. It is still our unreaped
                // child, so the pid cannot name anyone else.
                kill(inkrelay_pid, SIGKILL);
                while (waitpid(inkrelay_pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
        }
        inkrelay_pid = 0;
    }
    fmouse_comm_buf_close();
    // Without the unit no pen is seen: a press under way is released where it
    // was, a gesture under way is dropped, and the next connection's first
    // contact starts afresh instead of being smoothed with this one's last
    // sample.
    fmouse_click_end_connection();
    fmouse_motion_close();
}
