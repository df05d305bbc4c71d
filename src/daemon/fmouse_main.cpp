#include "fmouse_main.h"

#include "fmouse_calib.h"
#include "fmouse_cmddata.h"
#include "fmouse_connect.h"
#include "fmouse_detect.h"
#include "fmouse_gui.h"
#include "fmouse_inhibit.h"
#include "fmouse_running.h"
#include "fmouse_sys.h"
#include "ink_time.h"

namespace {

void notify_pause(unsigned char cmd_byte) {
    ink::time::sleep_s(1);
    fmouse_gui_notify(cmd_byte);
}

}  // namespace

const char *fmouse_state_name(unsigned char state) {
    switch (state) {
        case MAIN_STATE_DETECT:
            return "Detect";
        case MAIN_STATE_CONNECTING:
            return "Connecting";
        case MAIN_STATE_RUN:
            return "Run";
        case MAIN_STATE_CALIBRATE:
            return "Calibrate";
        case MAIN_STATE_DISCONNECT:
            return "Disconnect";
        case MAIN_STATE_CHANGE_RESOLUTION:
            return "Change Resolution";
    }
    return "?";
}

int fmouse_main_func(void) {
    fmouse_msg("fmouse main func\n");
    for (;;) {
        switch (fmouse_get_main_state()) {
            case MAIN_STATE_DETECT:
                fmouse_msg("Detect main state\n");
                if (detect_hw() != 0) {
                    fmouse_err("Detect error\n");
                    return -1;
                }
                fmouse_gui_notify(GUI_CMD_CONNECTING);
                fmouse_set_main_state(MAIN_STATE_CONNECTING);
                break;

            case MAIN_STATE_CONNECTING:
                fmouse_msg("Connecting main state\n");
                if (fmouse_connecting() == 0) {
                    fmouse_msg("Vxd is Connected\n");
                    fmouse_gui_notify(GUI_CMD_CONNECTED);
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else {
                    fmouse_msg("disconnect in connecting ms\n");
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_gui_notify(GUI_CMD_WAIT_CLOSE);
                    ink::time::sleep_s(1);
                    fmouse_msg("Vxd is Unconnected\n");
                }
                break;

            case MAIN_STATE_RUN: {
                fmouse_msg("Run main state\n");
                RunResult r = fmouse_running();
                if (r == RunResult::ConnectionLost) {
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                } else if (r == RunResult::CalibrationRequested) {
                    fmouse_set_main_state(MAIN_STATE_CALIBRATE);
                    fmouse_msg("trun to Calibrate\n");
                } else if (r == RunResult::ScreenSizeChanged) {
                    fmouse_set_main_state(MAIN_STATE_CHANGE_RESOLUTION);
                    fmouse_msg("trun to Change Resolution\n");
                }
                break;
            }

            case MAIN_STATE_CALIBRATE: {
                fmouse_msg("Calibrate main state\n");
                fmouse_msg("Calibrate start\n");
                fmouse_set_calib_arg();
                if (fmouse_start_inhibitor() != 0)
                    return 0;
                CalibResult r = fmouse_calibrate();
                fmouse_stop_inhibitor();
                if (r == CalibResult::Done) {
                    fmouse_msg("Calibrate Finish\n");
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else if (r == CalibResult::Cancelled) {
                    fmouse_msg("Calibrate Exit\n");
                    ink::time::sleep_s(1);
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                } else {
                    notify_pause(GUI_CMD_CONNECTED);
                    notify_pause(GUI_CMD_CALIB_END);
                    ink::time::sleep_s(1);
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                }
                break;
            }

            case MAIN_STATE_DISCONNECT:
                fmouse_msg("disconnect state\n");
                fmouse_gui_notify(GUI_CMD_DISCONNECTED);
                fmouse_disconnect();
                fmouse_set_main_state(MAIN_STATE_DETECT);
                ink::time::sleep_s(2);
                break;

            case MAIN_STATE_CHANGE_RESOLUTION: {
                fmouse_msg("change resolution state\n");
                fmouse_gui_notify(GUI_CMD_CONNECTING);
                int r = fmouse_change_resolution();
                ink::time::sleep_s(1);
                if (r == 0) {
                    fmouse_gui_notify(GUI_CMD_CONNECTED);
                    fmouse_msg("Vxd is Connected\n");
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else if (r == -1) {
                    notify_pause(GUI_CMD_CONNECTED);
                    notify_pause(GUI_CMD_CONNECTED);
                    fmouse_msg("Vxd is Unconnected\n");
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                }
                break;
            }

            default:
                // main_state only ever holds the values above.
                fmouse_errf("unknown main state 0x%.2x\n", fmouse_get_main_state());
                fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                break;
        }
    }
}
