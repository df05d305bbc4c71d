// The screensaver inhibitor around a calibration: the daemon starts inkwake
// before the targets are shown and ends it, and the inhibiting command it
// runs, afterwards.
#pragma once

// Starts inkwake (its pid goes to inkwake_pid); it gets SIGTERM should the
// daemon end first. 0, or -1 when it cannot be forked.
int fmouse_start_inhibitor(void);

// Ends the inhibitor: ends the inhibiting command named in the flag file (only
// if it is the inhibitor's own child) and reaps the inhibitor. Never blocks for
// good.
void fmouse_stop_inhibitor(void);
