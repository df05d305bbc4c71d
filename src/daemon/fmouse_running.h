// The Run state's loop: frames from the relay link into the click logic, and
// one poll of the tray program per frame.
#pragma once

// Why the running loop ended.
enum class RunResult : int {
    ConnectionLost = -1,       // a relay-link read or a pointer record failed
    CalibrationRequested = 0,  // the poll answered with a confirmed calibration (0x10)
    ScreenSizeChanged = 1,     // the poll answered with a new screen size (0x30)
};

// Runs until one of the results above.
RunResult fmouse_running(void);
