// Every fixed path of the suite, in one place.
//
// A sandbox build (cmake -DINK_ROOT=<dir>) resolves all of them under <dir>, so
// that tests and demos run the real programs without touching the system.
// /proc and the system shell are never prefixed.
#pragma once

#ifndef INK_ROOT_PREFIX
#define INK_ROOT_PREFIX ""
#endif

namespace ink::path {

// Sandbox root ("" in a production build).
inline constexpr const char *kRoot = INK_ROOT_PREFIX;

// The suite's /tmp names. The last three are unlinked on every orderly exit of
// the daemon, in this order.
inline constexpr const char *kPidFile = INK_ROOT_PREFIX "/tmp/.inkd.pid";
inline constexpr const char *kCmdSocket = INK_ROOT_PREFIX "/tmp/alg2gui_cmd_server";
inline constexpr const char *kRelaySocket = INK_ROOT_PREFIX "/tmp/vxdsock_server";
inline constexpr const char *kWakeFlag = INK_ROOT_PREFIX "/tmp/inkwake_flag";

// Session recording: while this file exists, inkrelay and inkd append what
// crosses the relay link and the command channel's events to it.
inline constexpr const char *kRecordFile = INK_ROOT_PREFIX "/tmp/vxd_record.txt";

// Device node of the camera unit (hiddev) and the pointer pipe.
inline constexpr const char *kDeviceNode = INK_ROOT_PREFIX "/dev/usb/vxd0";
inline constexpr const char *kPointerFifo = INK_ROOT_PREFIX "/sbin/fmousefifo";
// The kernel's uinput node, where inkpointer makes its virtual pen. The
// kernel's own: a sandbox build makes its device there too.
inline constexpr const char *kUinputNode = "/dev/uinput";

// Programs of the suite, started by fork and exec.
inline constexpr const char *kDaemonProgram = INK_ROOT_PREFIX "/usr/bin/inkd";
inline constexpr const char *kTrayProgram = INK_ROOT_PREFIX "/usr/bin/inktray";
inline constexpr const char *kRelayProgram = INK_ROOT_PREFIX "/usr/bin/inkrelay";
inline constexpr const char *kWakeProgram = INK_ROOT_PREFIX "/usr/bin/inkwake";
inline constexpr const char *kScreensaverProgram =
    INK_ROOT_PREFIX "/usr/bin/gnome-screensaver-command";

// Installed data files.
inline constexpr const char *kDataDir = INK_ROOT_PREFIX "/usr/bin/vexor-driver";
inline constexpr const char *kHwFile = INK_ROOT_PREFIX "/usr/bin/vexor-driver/hw.txt";
inline constexpr const char *kRefNFile = INK_ROOT_PREFIX "/usr/bin/vexor-driver/refN.txt";
inline constexpr const char *kCamFile = INK_ROOT_PREFIX "/usr/bin/vexor-driver/Cam.dat";

// Autostart entries: the two prepared ones and the one the desktop reads.
inline constexpr const char *kAutostartTrue =
    INK_ROOT_PREFIX "/usr/share/autostart/vxd_true.desktop";
inline constexpr const char *kAutostartFalse =
    INK_ROOT_PREFIX "/usr/share/autostart/vxd_false.desktop";
inline constexpr const char *kAutostartDir = INK_ROOT_PREFIX "/usr/share/gnome/autostart";
inline constexpr const char *kAutostartEntry =
    INK_ROOT_PREFIX "/usr/share/gnome/autostart/vxd.desktop";

// Message catalogues of the GTK programs.
inline constexpr const char *kLocaleDir = INK_ROOT_PREFIX "/usr/share/locale";

}  // namespace ink::path
