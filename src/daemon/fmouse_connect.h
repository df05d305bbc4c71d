// A device connection's start and end: the bring-up of the Connecting state,
// the repeated bring-up of the Change Resolution state, and the tear-down of
// the Disconnect state.
#pragma once

// Opens the pointer sink, starts the relay, accepts it on the relay link and
// brings the unit up to run mode. 0 when the unit runs, -1 at the first step
// that fails (nothing is undone: fmouse_disconnect is the one clean-up).
int fmouse_connecting(void);

// The same bring-up on the connection that already exists, for a new screen
// size. 0 when the unit runs again, -1 on failure.
int fmouse_change_resolution(void);

// Ends the relay child (if any), closes the relay link, releases whatever the
// click logic holds and closes the pointer sink.
void fmouse_disconnect(void);
