// Diagnostics shared by inkd, inkrelay and inktray.
//
// fmouse_msg prints "FMOUSE MSG: <str>" and fmouse_err "FMOUSE ERR: <str>" on
// standard output, only while vxd_debug_flag is 1. They add no newline. The
// printf-style variants format into a 1000-byte buffer first.
#pragma once

// 1 = debug mode; each program sets it from its own command line.
extern unsigned char vxd_debug_flag;

void fmouse_msg(const char *str);
void fmouse_err(const char *str);
void fmouse_msgf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fmouse_errf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Async-signal-safe form of fmouse_msg for signal handlers: one write(2) of
// the prefix and the text, nothing buffered (fmouse_msg flushes stdio after
// every line, so the two never reorder).
void fmouse_msg_raw(const char *str);
