// The Run state's loop: frames from the relay link into the click logic, and
// one poll of the tray program per frame.
#pragma once

// Runs until the tray program asks for a calibration (0) or reports a new
// screen size (1), or a relay-link read or a pointer record fails (-1).
int fmouse_running(void);
