// The daemon's pen click and gesture logic: one process-wide instance of
// PenClickLogic (pen_click.h) on the shared spot record SPOT (screen pixels),
// the frame counter frameCnt, which the running loop advances before each
// call, and the pointer pipe (fmouse_post_motion_event). Its debug lines go
// through fmouse_msg.
//
// Every operation returns 0, or -1 as soon as a record cannot be written. The
// state survives the end of a device connection.
#pragma once

#include "pen_click.h"

// One frame: flag 1 when SPOT holds an accepted spot, 0 otherwise. Called by
// the running loop after it advanced frameCnt. 0, or -1 when a record could
// not be written.
int fmouse_mouse_b_sign_k(int flag);
// One sample into the click generator; reads SPOT.x and SPOT.y when flag is 1
// and overwrites them with the smoothed position.
int fmouse_mouse_b_1knoRSim(int flag);
// Replays I samples of X and Y as pen-on samples (BurstEnd: then one pen-off).
int Burst(int I, double *X, double *Y);
int BurstEnd(int I, double *X, double *Y);
// Right click at (x, y): move there, then right press and release at (0, 0).
int SignK(double x, double y);
// The device connection ends: no pen is seen any more, though nobody lifted
// it. A press under way is released where it was, as for a lift; a gesture
// still held back (taps not yet given to the desktop, a third tap cut short)
// is dropped, neither clicked nor right-clicked, and the recogniser is idle
// for the next connection. 0, or -1 when a record could not be written.
int fmouse_click_end_connection(void);
// Current phase of the recogniser, for debug lines and tests.
int fmouse_gesture_phase(void);
// Test only: puts the daemon's instance back into its start state (idle,
// everything zero). The daemon itself never resets this state.
void fmouse_click_reset(void);
