// Device protocol: the one-letter commands the daemon sends to the camera unit
// over the relay link, their replies, waits and acceptance tests
// (fmouse_device.cpp: basic operations, identification and data exchange;
// fmouse_camera.cpp: camera configuration, light detection and background).
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

// What one read of a running unit's frame stream found.
enum class FrameRead {
    NoSpot,      // the marker of a frame without a spot
    Spot,        // the marker of a spot record, and the record's data bytes
    NotAMarker,  // a byte that starts no frame: the stream is out of step
    MarkerLost,  // the first byte could not be read
    RecordLost,  // a spot marker came, but its data bytes could not be read
};
// Reads one byte and, after a spot marker, the kSpotRecordSize data bytes into
// record. Prints nothing: the running loop and the spot read report in words
// of their own.
FrameRead fmouse_read_frame(unsigned char *record);

// One spot frame for the calibration: skips bytes until a marker comes, then
// reads that frame. 1 spot (SPOT holds camera u, v), 0 none, -1 link failure.
int fmouse_read_spot(void);
// Bytes the last fmouse_read_spot skipped before it found a marker.
extern int fmouse_spot_skipped;
void fmouse_beep(void);  // the unit has no beeper: does nothing

// Identification and data exchange.
int fmouse_fill_write_o(void);
int fmouse_check_ax_type(void);
int fmouse_download_e4(unsigned char *E);
int fmouse_download_cal(unsigned char *EU);
// What became of a calibration record sent to the unit.
enum class CalWriteResult : int {
    LinkFailed = -1,  // the link failed before the unit answered
    Refused = 0,      // the unit answered, but not with its acceptance
    Accepted = 1,
};
CalWriteResult fmouse_updata_cal(unsigned char *EU);
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
