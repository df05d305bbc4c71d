// Calibration procedure (fmouse_calibrate, declared in fmouse_main.h) and its
// sample check.
#pragma once

// Samples of the current dot (camera u and v of three consecutive frames).
extern double smpX[8], smpY[8];

// True when reference points can be stored and make a model: every value fits
// the record's 16-bit field (0 to 65535/65 pixels) and no two points coincide
// in the camera.
bool fmouse_calib_samples_usable(int nx, int ny, const double *u, const double *v);
