// hidcore: the HID relay between the camera unit's hiddev node and the daemon.
//
// The reader thread unpacks every input report (hid_report.h) into its valid
// payload bytes and writes them to the relay socket; the writer thread packs
// the daemon's bytes, one or two at a time, into output reports and paces them
// 15 ms apart. The relay ends when its reader ends. Results: 0 success, -1
// failure, unless a function says otherwise.
#pragma once

#include <linux/hiddev.h>

#include <atomic>

#include "hid_report.h"

struct fmouse_hid_rw_arg {
    int hid_dev_fd;
};

extern int hidsock_fd;
extern char hidsock_path[];
extern fmouse_hid_rw_arg rw_arg;
extern fmouse_hid_rw_arg *rw_parg;
// Goes from 0 to 1 once, set by whichever thread gives up first.
extern std::atomic<int> exit_flag;
// Descriptor of the session recording, -1 when none (see session_record.h).
extern int hid_record_fd;

// Opens the device node read-write into rw_parg->hid_dev_fd.
int fmouse_hid_init(void);
// Connects hidsock_fd to the daemon's relay socket, retrying every 50 ms
// without limit; returns 0 once connected.
int fmouse_rw_fd_init(void);
// Starts the reader, then the writer thread.
int fmouse_hid_rw_thread_init(void);
// select() for readability on fd, 5 s and 1 ms; returns select's result.
int fmouse_hid_wait_for_input(int fd);
// Relays input reports from fd to the socket until something goes wrong, then
// returns -2. buf is not used.
int fmouse_hid_read_package(int fd, unsigned char *buf);
void *fmouse_hid_read_func(void *arg);
// Sends one output report carrying nbytes (0 to 7) bytes. 0 bytes: nothing sent.
int fmouse_hid_write_package(int fd, unsigned char *buf, int nbytes);
void *fmouse_hid_write_func(void *arg);
// Fills the usage record of one output report: the count, then the bytes.
void fmouse_hid_build_report(hiddev_usage_ref_multi *uref_multi, const unsigned char *buf,
                             int nbytes);
// One read of at most n bytes from the socket; returns what read returns.
int fmouse_read_out(unsigned char *buf, int n);
// Writes n bytes to the socket; returns the number written (n unless the
// daemon's end fails), or -1 when nothing could be written.
int fmouse_write_in(unsigned char *buf, int n);
// The pause after every output report (15 ms).
void fmouse_hid_wfinish_sleep(void);
unsigned short fmouse_hid_get_vendor_id(int fd);
unsigned short fmouse_hid_get_product_id(int fd);

// Waits for the reader thread to end (the writer is not waited for).
int fmouse_hid_join_reader(void);
