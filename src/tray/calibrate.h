// The full-screen calibration window, its start dialog and the blinking
// targets. Main thread only.
#pragma once

// Opens the calibration window and its start dialog; 0, or -1 when refused
// (the About dialog or a calibration window is already open).
int calibrate();
// Builds and shows the start dialog over the calibration window.
void calibrate_start_dial();
// Closes the calibration window and stops the target timers; nothing when no
// window exists.
void calibrate_end();
// Destroys the start dialog if it is open.
void calibrate_start_dial_close();
// Shows the target centred on (x, y); the previous target stays black.
// Ignored when no calibration window is open.
void calibrate_notify2(int x, int y);
// Hides the blinking image of the current target, if any.
void calibrate_hide_current();
// True while the calibration window exists.
bool calibrate_window_open();
