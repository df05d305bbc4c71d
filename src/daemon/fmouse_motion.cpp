#include "fmouse_motion.h"

#include <fcntl.h>
#include <unistd.h>

#include "fmouse_sys.h"
#include "ink_paths.h"

int motion_fd = -1;

void fmouse_motion_encode(int x, int y, int leftbutton, int rightbutton, uint8_t out[4]) {
    uint8_t buttons = 0xF0;
    if (leftbutton)
        buttons = 0xF4;
    if (rightbutton)
        buttons |= 0xF1;
    if (x > kMotionMax)
        x = kMotionMax;
    if (y > kMotionMax)
        y = kMotionMax;
    out[0] = buttons;
    out[1] = static_cast<uint8_t>(((x / 256) << 4) | (y / 256));
    out[2] = static_cast<uint8_t>(x % 256);
    out[3] = static_cast<uint8_t>(y % 256);
}

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
    uint8_t rec[4];
    fmouse_motion_encode(x, y, leftbutton, rightbutton, rec);
    ssize_t w = write(motion_fd, rec, sizeof rec);
    if (w < 0) {
        fmouse_err("write fmouse fifo error\n");
        return -1;
    }
    if (w != 4) {
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
