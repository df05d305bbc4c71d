// Relay link, daemon side: the byte stream to the camera unit through inkrelay.
//
// All operations return 0 on success and -1 on failure. Every operation but
// init and close first checks (without blocking) that the relay child is still
// alive; a relay that has ended makes the operation fail with "unconnect\n".
#pragma once

int fmouse_comm_buf_init(void);
int fmouse_comm_buf_close(void);
int fmouse_read_in(unsigned char *buf, int n);
int fmouse_write_out(unsigned char *buf, int n);
int fmouse_flush_in_buf(void);
int fmouse_flush_in_buf_calib(void);
