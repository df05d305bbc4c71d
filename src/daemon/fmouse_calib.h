// The Calibrate state's procedure: one target after another through the tray
// program, three spot frames sampled at each, and the new calibration record
// stored in the unit.
#pragma once

// How a calibration ended.
enum class CalibResult : int {
    Failed = -1,    // a step failed; the unit's stored record is kept
    Done = 0,       // the new record is stored and the unit runs on it
    Cancelled = 1,  // the user cancelled from the tray program
};

CalibResult fmouse_calibrate(void);

// Samples of the current dot (camera u and v of three consecutive frames).
extern double smpX[8], smpY[8];

// True when reference points can be stored and make a model: every value fits
// the record's 16-bit field (0 to 65535/65 pixels) and no two points coincide
// in the camera.
bool fmouse_calib_samples_usable(int nx, int ny, const double *u, const double *v);
