// Placeholder until the relay link is built: every operation fails.
#include "fmouse_comm.h"

int fmouse_comm_buf_init(void) { return -1; }
int fmouse_comm_buf_close(void) { return 0; }
int fmouse_read_in(unsigned char *, int) { return -1; }
int fmouse_write_out(unsigned char *, int) { return -1; }
int fmouse_flush_in_buf(void) { return -1; }
int fmouse_flush_in_buf_calib(void) { return -1; }
