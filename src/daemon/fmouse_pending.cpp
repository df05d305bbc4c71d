// Device bring-up, running loop and calibration are not part of this build
// yet: each fails at once, so the state machine cycles Detect, Connecting,
// Disconnect while the device node exists.
#include "fmouse_main.h"
#include "fmouse_sys.h"

int fmouse_connecting(void) {
    fmouse_err("device bring-up not available\n");
    return -1;
}

int fmouse_change_resolution(void) {
    fmouse_err("device bring-up not available\n");
    return -1;
}

int fmouse_running(void) {
    return -1;
}

int fmouse_calibrate(void) {
    return -1;
}
