#include "fmouse_click.h"

#include "NyxCalLib.h"
#include "fmouse_cmddata.h"
#include "fmouse_motion.h"
#include "fmouse_sys.h"
#include "ink_time.h"

namespace {

// The pointer pipe, the daemon's sleeps and its debug lines.
class PipeOutput final : public ClickOutput {
  public:
    int post(int x, int y, int leftbutton, int rightbutton) override {
        return fmouse_post_motion_event(x, y, leftbutton, rightbutton);
    }
    void pause_ms(long ms) override { ink::time::sleep_ms(ms); }
    void note(const char *text) override { fmouse_msg(text); }
    void phase_changed(int from, int to) override {
        if (vxd_debug_flag == 1)
            fmouse_msgf("gesture %s -> %s\n", fmouse_gesture_phase_name(from),
                        fmouse_gesture_phase_name(to));
    }
};

PipeOutput pipe_output;
PenClickLogic click(SPOT, frameCnt, pipe_output);

}  // namespace

int fmouse_mouse_b_sign_k(int flag) {
    return click.sign_k(flag);
}
int fmouse_mouse_b_1knoRSim(int flag) {
    return click.knoRSim(flag);
}
int Burst(int I, double *X, double *Y) {
    return click.Burst(I, X, Y);
}
int BurstEnd(int I, double *X, double *Y) {
    return click.BurstEnd(I, X, Y);
}
int SignK(double x, double y) {
    return click.SignK(x, y);
}
int fmouse_click_end_connection(void) {
    return click.end_connection();
}
int fmouse_gesture_phase(void) {
    return click.phase_now();
}
void fmouse_click_reset(void) {
    click.reset();
}
