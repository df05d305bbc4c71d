// State shared by the tray program's two threads and its modules (defined in
// tray_state.cpp).
//
// The command thread owns the socket; the GTK main thread owns every widget.
// They meet only in the one-byte mailboxes and the values below, all atomic:
// `ui_cmd` carries a screen action (a command byte, GuiCmd) to the 200 ms
// dispatcher, and
// `send_gui_data_flag` carries a user request to the daemon's next poll.
#pragma once

#include <gtk/gtk.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "command_channel.h"
#include "monitors.h"

// Mailboxes between the threads.
extern std::atomic<unsigned char> ui_cmd;
extern std::atomic<unsigned char> send_gui_data_flag;
extern std::atomic<unsigned char> calib_normal_adv;

// Raises a user request; a newer one replaces one the daemon has not fetched.
inline void raise_request(GuiEvt evt) {
    send_gui_data_flag.store(static_cast<unsigned char>(evt));
}

// Target position of the latest GUI_CMD_CALIB_DOT, packed into one atomic
// word so that the dispatcher never pairs the x of one target with the y of
// another.
extern std::atomic<std::uint64_t> calibrate_dot;
inline std::uint64_t pack_dot(int x, int y) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) |
           static_cast<std::uint32_t>(y);
}
inline int dot_x(std::uint64_t d) {
    return static_cast<int>(static_cast<std::uint32_t>(d >> 32));
}
inline int dot_y(std::uint64_t d) {
    return static_cast<int>(static_cast<std::uint32_t>(d));
}

// Calibration-grid parameters and pids reported by the daemon; kept and logged.
extern std::atomic<int> kvx_normal_dot_x, kvx_normal_dot_y, kvx_adv_dot_x, kvx_adv_dot_y,
    kvx_sidespace;
extern std::atomic<pid_t> vxdcore_pid, inkrelay_pid;

// Size of the area the daemon works in (the chosen monitor, or the whole
// screen) as the main thread last read it; the command thread answers
// GUI_CMD_SCREEN_X and _Y from these, so it never calls into GDK itself.
extern std::atomic<int> screen_width, screen_height;

// Main-thread state.
extern ink::monitors::Rect resolution;  // the area the daemon was last told of
extern int about_dlg_show_flag, wait_dlg_show_flag, calibrate_dlg_show_flag;
extern guint id0;
extern GtkStatusIcon *tray_icon;
extern GtkWidget *menu, *menuItem1, *menuItem2, *menuItem3, *menuItem4;

// Message catalogue lookup of the tray program, in its text domain.
inline constexpr const char *kTextDomain = "inkd";
const char *tr(const char *msgid);
#define N_(s) (s)
