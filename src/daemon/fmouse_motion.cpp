#include "fmouse_motion.h"

#include <fcntl.h>
#include <unistd.h>

#include "fmouse_sys.h"
#include "ink_paths.h"

int motion_fd = -1;

int fmouse_motion_init(void) {
    // A close whose closing record could not be written leaves the pipe open;
    // it is of no use any more and would leak with every reconnection.
    if (motion_fd >= 0) {
        close(motion_fd);
        motion_fd = -1;
    }
    motion_fd = open(ink::path::kPointerFifo, O_WRONLY | O_CLOEXEC);
    if (motion_fd < 0) {
        fmouse_msg("open fmouse fifo error\n");
        return -1;
    }
    return 0;
}

int fmouse_post_motion_event(int x, int y, int leftbutton, int rightbutton) {
    if (x < 0 || y < 0) {
        fmouse_msg("write fmouse fifo x y is not int\n");
        return 0;
    }
    uint8_t rec[kPointerRecordSize];
    pointer_record_encode(x, y, leftbutton != 0, rightbutton != 0, rec);
    ssize_t w = write(motion_fd, rec, sizeof rec);
    if (w < 0) {
        fmouse_err("write fmouse fifo error\n");
        return -1;
    }
    if (w != kPointerRecordSize) {
        fmouse_err("write fmouse fifo data error\n");
        return -1;
    }
    return 0;
}

int fmouse_motion_close(void) {
    if (fmouse_post_motion_event(0, 0, 0, 0) != 0)
        return -1;
    int r = close(motion_fd);
    motion_fd = -1;
    return r;
}
