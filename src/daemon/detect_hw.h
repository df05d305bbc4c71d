// The configuration files: the installed hardware file hw.txt and
// reference-grid file refN.txt, their values, and the reader of hexadecimal
// tables such as Cam.dat. (The Detect state's detect_hw(), which reads the two
// files and then waits for the device node, is in fmouse_detect.)
//
// Both are streams of white-space separated tokens: a fixed sequence of
// entries, each a label (ignored; only the position counts) followed by a
// value. Each read is all or nothing: a file that is missing an entry or holds
// a value that does not parse in its format is reported with the entry at
// fault, and every value keeps what the last good read (or the compiled-in
// default) gave it.
#pragma once

// Hardware file values (compiled-in defaults until the first read).
extern int rowStart, camH, rowMode, BuffThr, bRate, bwuse, maxW, presetCam, oem, Side, SmpAlg;
extern int dL, dR, dT, dB, maxOn, DotOn, Bar, g_UseViewSize, g_xView, g_yView;
extern float BeepOn, spareX, spareY;
extern unsigned int verdorID, productID;

// Reference-grid file values.
extern int kvx_normal_dot_x, kvx_normal_dot_y, kvx_adv_dot_x, kvx_adv_dot_y, kvx_sidespace;

// Grid limits the calibration model and the stored record accept.
inline constexpr int kGridMin = 3;
inline constexpr int kGridMax = 7;
inline constexpr int kSideSpaceMin = 1;
inline constexpr int kSideSpaceMax = 255;  // one byte in the calibration record

// 0 when the file was read, -1 when it could not be opened or did not parse.
int check_hw_configfile(void);
// 0 when the file was read and both grids are usable, -1 otherwise.
int check_refn_configfile(void);

// Reads n white-space separated hexadecimal numbers (optional "0x") from a
// file, such as the camera register table. 0 on success, -1 when the file
// cannot be opened, -2 when it holds fewer than n numbers or a token that is
// not one. Anything after the n-th number is ignored.
int read_hex_values(const char *path, unsigned int *out, int n);

// The same readers on an explicit path (the two above use the installed files).
int check_hw_configfile_at(const char *path);
int check_refn_configfile_at(const char *path);
