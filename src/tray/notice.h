// The tray program on the session bus: the bus itself, and the one notice
// sent when no notification area takes the icon. Main thread only.
#pragma once

#include <gio/gio.h>

// The session bus, got on the first call with a bounded wait and kept from
// ending the program when it closes; nullptr without one. Only a bus the
// session names (DBUS_SESSION_BUS_ADDRESS, or the bus socket in
// XDG_RUNTIME_DIR) is used: none is launched.
GDBusConnection *tray_session_bus();

// Sends one desktop notification (at most one per run), with the pen's
// picture, to the notification server on the bus, which the bus may start.
// Asynchronous: the answers come through the main loop.
void notice_send_once(const char *summary, const char *body);
