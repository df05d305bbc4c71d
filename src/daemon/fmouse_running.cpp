// The Run state's loop: one frame at a time from the relay link, decoded into
// screen pixels, fed to the click logic, then one poll of the tray program.
#include "fmouse_running.h"

#include "NyxCalLib.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_device.h"
#include "fmouse_gui.h"
#include "fmouse_sys.h"

RunResult fmouse_running(void) {
    unsigned char record[kSpotRecordSize];
    for (;;) {
        switch (fmouse_read_frame(record)) {
            case FrameRead::MarkerLost:
                fmouse_err("read running 1 data error\n");
                return RunResult::ConnectionLost;
            case FrameRead::RecordLost:
                ++frameCnt;  // a frame counts from its marker on
                fmouse_err("read running 10 data error\n");
                return RunResult::ConnectionLost;
            case FrameRead::NoSpot:
                ++frameCnt;
                if (fmouse_mouse_b_sign_k(0) < 0)
                    return RunResult::ConnectionLost;
                break;
            case FrameRead::Spot:
                ++frameCnt;
                if (fmouse_mouse_b_sign_k(DecData_Run(record) ? 1 : 0) < 0)
                    return RunResult::ConnectionLost;
                break;
            case FrameRead::NotAMarker:
                fmouse_err("running read data error\n");
                break;
        }
        unsigned char evt = fmouse_gui_poll();
        if (evt == GUI_EVT_CALIB_START)
            return RunResult::CalibrationRequested;
        if (evt == GUI_EVT_RESOLUTION)
            return RunResult::ScreenSizeChanged;
    }
}
