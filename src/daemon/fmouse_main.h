// The daemon's main state machine: Detect -> Connecting -> Run, with Calibrate
// and Change Resolution on the tray program's request and Disconnect on any
// failure. Each transition is announced to the tray program.
#pragma once

// Name of a main state, for debug lines ("?" for a value that is no state).
const char *fmouse_state_name(unsigned char state);

// 0 when both configuration files are read and the device node exists (waits
// for the node without limit), -1 otherwise.
int detect_hw(void);

// Runs the machine. Returns -1 when Detect fails and 0 when the inhibitor
// cannot be forked; returns in no other case.
int fmouse_main_func(void);

// Ends the screensaver inhibitor of a calibration: ends the inhibiting command
// named in the flag file (only if it is the inhibitor's own child) and reaps the
// inhibitor. Never blocks for good.
void fmouse_stop_inhibitor(void);

// Bring-up, running loop and calibration (0 = success; see each module).
int fmouse_connecting(void);
int fmouse_change_resolution(void);
int fmouse_running(void);
int fmouse_calibrate(void);
