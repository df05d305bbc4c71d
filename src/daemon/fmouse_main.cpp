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

// fmouse_main_func's results: the two ways the machine ends.
constexpr int kEndDetectFailed = -1;
constexpr int kEndInhibitorFailed = 0;

// Fixed pauses, in seconds.
constexpr long kConnectFailedPauseS = 1;  // after a failed Connecting
constexpr long kDisconnectPauseS = 2;     // after each Disconnect
constexpr long kResolutionPauseS = 1;     // after each Change Resolution bring-up
constexpr long kNotifyPauseS = 1;         // around the notifications of the failure paths

// What one turn of the machine decides: the next state, or the end of the
// machine with fmouse_main_func's result.
struct Turn {
    unsigned char next;
    bool ends;
    int result;
};

constexpr Turn go_to(MainState next) {
    return {next, false, 0};
}
constexpr Turn end_machine(int result) {
    return {MAIN_STATE_DETECT, true, result};
}

void notify_pause(unsigned char cmd_byte) {
    ink::time::sleep_s(kNotifyPauseS);
    fmouse_gui_notify(cmd_byte);
}

// ---- One handler per state: the state's work, then the next state.

Turn detect_state() {
    fmouse_msg("Detect main state\n");
    if (detect_hw() != 0) {
        fmouse_err("Detect error\n");
        return end_machine(kEndDetectFailed);
    }
    fmouse_gui_notify(GUI_CMD_CONNECTING);
    return go_to(MAIN_STATE_CONNECTING);
}

Turn connecting_state() {
    fmouse_msg("Connecting main state\n");
    if (fmouse_connecting() == 0) {
        fmouse_msg("Vxd is Connected\n");
        fmouse_gui_notify(GUI_CMD_CONNECTED);
        return go_to(MAIN_STATE_RUN);
    }
    fmouse_msg("disconnect in connecting ms\n");
    fmouse_gui_notify(GUI_CMD_WAIT_CLOSE);
    ink::time::sleep_s(kConnectFailedPauseS);
    fmouse_msg("Vxd is Unconnected\n");
    return go_to(MAIN_STATE_DISCONNECT);
}

Turn run_state() {
    fmouse_msg("Run main state\n");
    switch (fmouse_running()) {
        case RunResult::ConnectionLost:
            fmouse_msg("Vxd is Unconnected\n");
            return go_to(MAIN_STATE_DISCONNECT);
        case RunResult::CalibrationRequested:
            fmouse_msg("trun to Calibrate\n");
            return go_to(MAIN_STATE_CALIBRATE);
        case RunResult::ScreenSizeChanged:
            fmouse_msg("trun to Change Resolution\n");
            return go_to(MAIN_STATE_CHANGE_RESOLUTION);
    }
    return go_to(MAIN_STATE_RUN);
}

Turn calibrate_state() {
    fmouse_msg("Calibrate main state\n");
    fmouse_msg("Calibrate start\n");
    fmouse_set_calib_arg();
    if (fmouse_start_inhibitor() != 0)
        return end_machine(kEndInhibitorFailed);
    CalibResult r = fmouse_calibrate();
    fmouse_stop_inhibitor();
    switch (r) {
        case CalibResult::Done:
            fmouse_msg("Calibrate Finish\n");
            return go_to(MAIN_STATE_RUN);
        case CalibResult::Cancelled:
            fmouse_msg("Calibrate Exit\n");
            ink::time::sleep_s(kNotifyPauseS);
            fmouse_msg("Vxd is Unconnected\n");
            return go_to(MAIN_STATE_DISCONNECT);
        case CalibResult::Failed:
            break;
    }
    notify_pause(GUI_CMD_CONNECTED);
    notify_pause(GUI_CMD_CALIB_END);
    ink::time::sleep_s(kNotifyPauseS);
    fmouse_msg("Vxd is Unconnected\n");
    return go_to(MAIN_STATE_DISCONNECT);
}

Turn disconnect_state() {
    fmouse_msg("disconnect state\n");
    fmouse_gui_notify(GUI_CMD_DISCONNECTED);
    fmouse_disconnect();
    ink::time::sleep_s(kDisconnectPauseS);
    return go_to(MAIN_STATE_DETECT);
}

Turn change_resolution_state() {
    fmouse_msg("change resolution state\n");
    fmouse_gui_notify(GUI_CMD_CONNECTING);
    int r = fmouse_change_resolution();
    ink::time::sleep_s(kResolutionPauseS);
    if (r == 0) {
        fmouse_gui_notify(GUI_CMD_CONNECTED);
        fmouse_msg("Vxd is Connected\n");
        return go_to(MAIN_STATE_RUN);
    }
    if (r == -1) {
        notify_pause(GUI_CMD_CONNECTED);
        notify_pause(GUI_CMD_CONNECTED);
        fmouse_msg("Vxd is Unconnected\n");
        return go_to(MAIN_STATE_DISCONNECT);
    }
    return go_to(MAIN_STATE_CHANGE_RESOLUTION);
}

Turn handle(unsigned char state) {
    switch (state) {
        case MAIN_STATE_DETECT:
            return detect_state();
        case MAIN_STATE_CONNECTING:
            return connecting_state();
        case MAIN_STATE_RUN:
            return run_state();
        case MAIN_STATE_CALIBRATE:
            return calibrate_state();
        case MAIN_STATE_DISCONNECT:
            return disconnect_state();
        case MAIN_STATE_CHANGE_RESOLUTION:
            return change_resolution_state();
    }
    // main_state only ever holds the values above.
    fmouse_errf("unknown main state 0x%.2x\n", state);
    return go_to(MAIN_STATE_DISCONNECT);
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
        const unsigned char state = fmouse_get_main_state();
        const Turn turn = handle(state);
        if (turn.ends)
            return turn.result;
        if (turn.next != state)
            fmouse_msgf("main state goes from %s to %s\n", fmouse_state_name(state),
                        fmouse_state_name(turn.next));
        fmouse_set_main_state(turn.next);
    }
}
