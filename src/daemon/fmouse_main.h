// The daemon's main state machine: Detect -> Connecting -> Run, with Calibrate
// and Change Resolution on the tray program's request and Disconnect on any
// failure. One handler per state does the state's work and names the next
// state; each transition is announced to the tray program and, in debug
// mode, in a line of its own. The states' work lives in fmouse_detect,
// fmouse_connect, fmouse_running, fmouse_calib and fmouse_inhibit.
#pragma once

// Name of a main state, for debug lines ("?" for a value that is no state).
const char *fmouse_state_name(unsigned char state);

// Runs the machine from the state in main_state. Returns -1 when Detect fails
// and 0 when the inhibitor cannot be forked; returns in no other case.
int fmouse_main_func(void);
