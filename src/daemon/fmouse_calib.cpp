// The calibration procedure: shows the grid's dots one after another through
// the tray program, samples the pen's camera position at each, and stores the
// new record in the unit.
#include "fmouse_calib.h"

#include <cmath>

#include "NyxCalLib.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_device.h"
#include "fmouse_gui.h"
#include "fmouse_sys.h"
#include "ink_time.h"

double smpX[8], smpY[8];

namespace {

constexpr int kSamplesPerDot = 3;
// A stored reference value is u or v in 1/65 pixel in 16 bits.
constexpr double kMaxStoredValue = 65535.0 / 65.0;
// Two reference points closer than this in the camera cannot make a model.
constexpr double kMinPointDistance = 1.0;

enum class Wait { Done, Cancelled, Failed };

// One pass: read a frame, then poll the tray program. A cancel answer wins
// over whatever the read gave.
int read_and_poll(bool &cancelled) {
    int r = fmouse_read_spot();
    cancelled = fmouse_gui_poll() == GUI_EVT_CALIB_CANCEL;
    return r;
}

// Waits for a frame without a spot, so a pen still down from the previous dot
// does not count. The flush before it may have cut a frame in two, and a byte
// of a spot record can look like the marker of an empty frame: only a frame
// read in step ends the wait, that is one that is not the first after the
// flush and whose marker followed the previous frame without a skipped byte.
Wait wait_for_lift() {
    bool in_step = false;
    for (;;) {
        bool cancelled = false;
        int r = read_and_poll(cancelled);
        if (cancelled)
            return Wait::Cancelled;
        if (r == -1) {
            fmouse_err("read spot error");
            return Wait::Failed;
        }
        bool counts = in_step && fmouse_spot_skipped == 0;
        in_step = true;
        if (r == 0 && counts)
            return Wait::Done;
    }
}

// Collects three consecutive spot frames into smpX/smpY.
Wait collect_samples() {
    int count = 0;
    while (count < kSamplesPerDot) {
        bool cancelled = false;
        int r = read_and_poll(cancelled);
        if (cancelled)
            return Wait::Cancelled;
        if (r == -1) {
            fmouse_err("read spot error");
            return Wait::Failed;
        }
        if (r == 0) {
            count = 0;
        } else {
            smpX[count] = SPOT.x;
            smpY[count] = SPOT.y;
            ++count;
        }
    }
    return Wait::Done;
}

CalibResult cancel() {
    fmouse_gui_notify(GUI_CMD_CALIB_END);
    return CalibResult::Cancelled;
}

}  // namespace

bool fmouse_calib_samples_usable(int nx, int ny, const double *u, const double *v) {
    int n = nx * ny;
    if (nx < 3 || nx > 7 || ny < 3 || ny > 7)
        return false;
    for (int k = 0; k < n; ++k) {
        if (!(u[k] >= 0.0 && u[k] <= kMaxStoredValue && v[k] >= 0.0 && v[k] <= kMaxStoredValue))
            return false;
        for (int j = 0; j < k; ++j)
            if (std::hypot(u[k] - u[j], v[k] - v[j]) < kMinPointDistance)
                return false;
    }
    return true;
}

CalibResult fmouse_calibrate(void) {
    unsigned char EU[kCalSize];
    unsigned char Data[kBd0BufferSize];

    if (fmouse_hold() != 0) {
        fmouse_err("hold error");
        return CalibResult::Failed;
    }
    int width = fmouse_get_sys_metrics_x();
    int height = fmouse_get_sys_metrics_y();
    RefNx = cmd->RefNxB;
    RefNy = cmd->RefNyB;
    sideSpace = cmd->sideSpace;
    fmouse_msgf("RefNx : %d, RefNy : %d, sideSpace %d\n", RefNx, RefNy, sideSpace);
    Calib_Init(RefNx, RefNy, sideSpace, width, height, cmd->HW_Type, refX, refY);
    fmouse_msg("Start Calibration ------------\n");
    if (fmouse_hold() != 0) {
        fmouse_err("hold error");
        return CalibResult::Failed;
    }
    if (fmouse_do_abd_chb() != 0) {
        fmouse_err("do abd error");
        return CalibResult::Failed;
    }
    if (fmouse_run() != 0) {
        fmouse_err("run error");
        return CalibResult::Failed;
    }

    // Samples go to a scratch copy first: a cancelled or failed calibration
    // leaves the model's reference values as they were.
    double u[49], v[49];
    fmouse_msg("Dot on\n");
    for (int r = 0; r < RefNy; ++r) {
        for (int c = 1; c <= RefNx; ++c) {
            ink::time::wait_steps(10, 20);
            fmouse_msgf("refX: %d , refY: %d\n", refX[c - 1], refY[r]);
            calibrate_dot_x = refX[c - 1];
            calibrate_dot_y = refY[r];
            fmouse_calib_notify();
            if (fmouse_flush_in_buf_calib() != 0) {
                fmouse_err("fmouse flush in buf error\n");
                return CalibResult::Failed;
            }
            Wait w = wait_for_lift();
            if (w == Wait::Done)
                w = collect_samples();
            if (w == Wait::Cancelled)
                return cancel();
            if (w == Wait::Failed)
                return CalibResult::Failed;
            int k = r * RefNx + c;
            u[k - 1] = (smpX[0] + smpX[1] + smpX[2]) / 3.0;
            v[k - 1] = (smpY[0] + smpY[1] + smpY[2]) / 3.0;
            fmouse_msgf("Dot num %d\n", k);
            ink::time::wait_steps(10, 20);
        }
    }
    fmouse_msg("Dot off\n");
    fmouse_gui_notify(GUI_CMD_DOTS_DONE);

    if (fmouse_hold() != 0) {
        fmouse_err("hold error");
        return CalibResult::Failed;
    }
    const int n = RefNx * RefNy;
    if (!fmouse_calib_samples_usable(RefNx, RefNy, u, v)) {
        // Storing these would replace a working record by one that cannot be
        // encoded or makes no model: keep the unit's record.
        fmouse_err("calibration samples make no usable model; the stored calibration is kept\n");
        return CalibResult::Failed;
    }
    for (int k = 0; k < n; ++k) {
        Ul[k] = u[k];
        Vl[k] = v[k];
    }
    if (vxd_debug_flag == 1) {
        fmouse_msg("Ul : \n");
        for (int k = 0; k < n; ++k)
            fmouse_msgf("%5.2f ", Ul[k]);
        fmouse_msg("\n");
        fmouse_msg("Vl : \n");
        for (int k = 0; k < n; ++k)
            fmouse_msgf("%5.2f ", Vl[k]);
        fmouse_msg("\n");
    }
    fmouse_msgf("refNx = %d , refNy = %d , sideSpace = %d\n", RefNx, RefNy, sideSpace);
    CalcEU(RefNx, RefNy, static_cast<unsigned char>(sideSpace), Ul, Vl, EU);
    fmouse_msgf("For saving: 0x%.2x 0x%.2x 0x%.2x 0x%.2x", EU[0], EU[1], EU[2], EU[3]);
    CalWriteResult up = fmouse_updata_cal(EU);
    fmouse_msgf("Upcal = %d \n", static_cast<int>(up));
    if (up != CalWriteResult::Accepted) {
        // Running on a model the unit does not keep would look like a stored
        // calibration until the next reconnect quietly brings the old one
        // back: fail instead, so the reconnect happens now.
        fmouse_err("calibration record not stored; the stored calibration is kept\n");
        return CalibResult::Failed;
    }
    Calib_InitUV(Ul, Vl);
    int nbytes = CalcBD0(Data);
    if (fmouse_save_bd0(Data, nbytes) != 0) {
        fmouse_err("save bd0 error");
        return CalibResult::Failed;
    }
    if (fmouse_run() != 0) {
        fmouse_err("run error");
        return CalibResult::Failed;
    }
    fmouse_gui_notify(GUI_CMD_CONNECTED);
    fmouse_msg("system running ......\n");
    return CalibResult::Done;
}
