// Pointer sink: pointer records (pointer_record.h) on the named pipe read by
// the pointer consumer.
#pragma once

#include "pointer_record.h"

extern int motion_fd;  // -1 while the pipe is not open

// Opens the pipe write-only, waiting for a reader. 0, or -1 on failure.
int fmouse_motion_init(void);
// Writes one record (pointer_record_encode); 0 when written or refused for a
// negative coordinate, -1 when the write failed.
int fmouse_post_motion_event(int x, int y, int leftbutton, int rightbutton);
// Writes the closing record (0, 0, no button), then closes the pipe.
int fmouse_motion_close(void);
