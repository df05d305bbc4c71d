// Command channel to the tray program, daemon side.
//
// A UNIX stream socket that the daemon serves. Every exchange starts with one
// command byte from the daemon; the tray program answers, and reports user
// requests only when polled. Integers travel as 4 bytes, least significant
// first. There are no time-outs: the daemon waits for every answer.
#pragma once

#include "command_channel.h"

extern int alg2guisock_server_fd;
extern int alg2guisock_client_fd;
extern int calibrate_dot_x;
extern int calibrate_dot_y;

// Creates the server socket and waits for the tray program; the name is
// unlinked as soon as it has connected. 0, or -1 when the accept fails.
int fmouse_alg2gui_cmd_init(void);
// One read of at most n bytes; returns what read returns.
int fmouse_alg2gui_read_cmd(unsigned char *buf, int n);
// One write of n bytes; always 0 (a short write is reported).
int fmouse_alg2gui_write_cmd(unsigned char *buf, int n);

int fmouse_set_kvx_arg(void);        // GUI_CMD_SET_PARAMS; always 0
int fmouse_get_sys_metrics_x(void);  // GUI_CMD_SCREEN_X: screen width
int fmouse_get_sys_metrics_y(void);  // GUI_CMD_SCREEN_Y: screen height
void fmouse_calib_notify(void);      // GUI_CMD_CALIB_DOT with calibrate_dot_x/_y
void fmouse_set_calib_arg(void);     // GUI_CMD_CALIB_MODE; stores the mode's grid in cmd

// Sends a one-byte command and reads its status byte, printing
// "feedback cmd success\n" for 0 and "feedback cmd error\n" otherwise.
void fmouse_gui_notify(unsigned char command);
// GUI_CMD_POLL: returns the pending event byte (GUI_CMD_POLL itself when the
// tray program did not answer).
unsigned char fmouse_gui_poll(void);
