// The tray program on the session bus: the bus itself, and the one notice
// sent when no notification area takes the icon. Main thread only.
#pragma once

#include <gio/gio.h>

// Connects to the session bus in the background, once: the program never
// waits for it, and a bus that is slow to answer (a loaded machine at login)
// is used once it does. `ready` is called with the connection then. Only a
// bus the session names (DBUS_SESSION_BUS_ADDRESS, or the bus socket in
// XDG_RUNTIME_DIR) is used: none is launched.
void tray_bus_connect(void (*ready)(GDBusConnection *bus));

// The session bus once connected (kept from ending the program when it
// closes); nullptr before, and without one.
GDBusConnection *tray_session_bus();

// Sends one desktop notification (at most one per run), with the pen's
// picture, to the notification server on the bus, which the bus may start.
// Asynchronous: the answers come through the main loop.
void notice_send_once(const char *summary, const char *body);
