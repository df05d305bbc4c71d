// The Run state's loop: one frame at a time from the relay link, decoded into
// screen pixels, fed to the click logic, then one poll of the tray program.
#include "fmouse_running.h"

#include "NyxCalLib.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_device.h"
#include "fmouse_gui.h"
#include "fmouse_sys.h"

RunResult fmouse_running(void) {
    unsigned char buf[kSpotRecordSize];
    for (;;) {
        if (fmouse_read_in(buf, 1) != 0) {
            fmouse_err("read running 1 data error\n");
            return RunResult::ConnectionLost;
        }
        if (buf[0] == kFrameNoSpot) {
            ++frameCnt;
            if (fmouse_mouse_b_sign_k(0) < 0)
                return RunResult::ConnectionLost;
        } else if (buf[0] == kFrameSpot) {
            ++frameCnt;
            if (fmouse_read_in(buf, kSpotRecordSize) != 0) {
                fmouse_err("read running 10 data error\n");
                return RunResult::ConnectionLost;
            }
            if (fmouse_mouse_b_sign_k(DecData_Run(buf) ? 1 : 0) < 0)
                return RunResult::ConnectionLost;
        } else {
            fmouse_err("running read data error\n");
        }
        unsigned char evt = fmouse_gui_poll();
        if (evt == GUI_EVT_CALIB_START)
            return RunResult::CalibrationRequested;
        if (evt == GUI_EVT_RESOLUTION)
            return RunResult::ScreenSizeChanged;
    }
}
