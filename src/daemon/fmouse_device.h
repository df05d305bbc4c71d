// Device protocol: the one-letter commands the daemon sends to the camera unit
// over the relay link, their replies, waits and acceptance tests.
//
// Every exchange starts with the unit on hold and the input flushed, so the
// unframed byte stream stays in step. All operations return 0 on success and
// -1 on failure (printing their own error line) unless stated.
#pragma once

#include <cstdint>

#include "device_protocol.h"

// Corrections from the unit's parameter block, added to the gain, row-start
// and column-start registers.
extern int dGain, dRowStart, dColStart;
extern int g_ENC;

// Basic operations.
int fmouse_run(void);
int fmouse_hold(void);
int fmouse_read_spot(void);  // 1 spot (SPOT holds camera u, v), 0 none, -1 link failure
// Bytes the last fmouse_read_spot skipped before it found a marker.
extern int fmouse_spot_skipped;
void fmouse_beep(void);  // the unit has no beeper: does nothing

// Identification and data exchange.
int fmouse_fill_write_o(void);
int fmouse_check_ax_type(void);
int fmouse_download_e4(unsigned char *E);
int fmouse_download_cal(unsigned char *EU);
int fmouse_updata_cal(unsigned char *EU);  // 1 accepted, 0 refused, -1 link failure
int fmouse_save_bd0(unsigned char *data, int nbytes);

// Checksum byte of a calibration record: sum of bytes 0..254 plus 99, mod 256.
unsigned char fmouse_cal_checksum(const unsigned char *EU);

// Camera configuration.
void DGain(unsigned char *B);
int PresetCam(void);
int fmouse_config_cam(void);
int fmouse_set_cam_low_s(void);
int fmouse_set_cam_high_s(void);

// Light detection and background acquisition before a calibration.
int fmouse_detectlight(void);  // 1 light seen, 0 none, -1 failure
int fmouse_do_abd_chb(void);
int fmouse_do_abd_korvex_es(void);
