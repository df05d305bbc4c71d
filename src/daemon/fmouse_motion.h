// Pointer sink: 4-byte pointer records on the named pipe read by the pointer
// consumer.
//
// Record: byte 0 buttons (0xF0 none, 0xF4 left, 0xF1 right, 0xF5 both),
// byte 1 bits 8-11 of x (high nibble) and of y (low nibble), byte 2 x bits
// 0-7, byte 3 y bits 0-7.
#pragma once

#include <cstdint>

extern int motion_fd;  // -1 while the pipe is not open

inline constexpr int kMotionMax = 4095;  // 12 bits per coordinate

// Encodes one record. Coordinates above 4095 are clamped to 4095 so that they
// never spill into the other coordinate's nibble.
void fmouse_motion_encode(int x, int y, int leftbutton, int rightbutton, uint8_t out[4]);

// Opens the pipe write-only, waiting for a reader. 0, or -1 on failure.
int fmouse_motion_init(void);
// Writes one record; 0 when written or refused for a negative coordinate,
// -1 when the write failed.
int fmouse_post_motion_event(int x, int y, int leftbutton, int rightbutton);
// Writes the closing record (0, 0, no button), then closes the pipe.
int fmouse_motion_close(void);
