// The tray program's end of the command channel: the command thread connects
// to the daemon's socket, reads one command byte at a time, answers it and
// leaves screen work for the dispatcher in `ui_cmd`.
#pragma once

// One connection attempt; 0 on success, -1 (socket closed again) on failure.
int fmouse_alg2gui_cmd_init();
// One read of n bytes from the socket; what read returns (EINTR is retried).
int fmouse_read_cmd(unsigned char *buf, int n);
// One write of n bytes; 0 when all were written, else -1 with a message.
int fmouse_write_cmd(unsigned char *buf, int n);
// Screen size in pixels, as the main thread last read it.
int fmouse_get_sys_metrics_x();
int fmouse_get_sys_metrics_y();

// Serves commands arriving on fd, a connected channel, until it is closed or
// breaks off in the middle of a command. The caller keeps fd.
void fmouse_guicmd_serve(int fd);

// Body of the command thread. Connects (retrying every 20 ms), then serves
// commands until the daemon closes the channel; then it asks the main loop to
// end and returns.
void *fmouse_guicmd_func(void *unused);

// True once the command thread found the channel closed by the daemon.
bool channel_closed_by_daemon();
