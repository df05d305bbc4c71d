// The tray program on the session bus: the bus itself, and the one notice
// sent when no notification area takes the icon. Main thread only.
#pragma once

#include <gio/gio.h>

// The session bus, got on the first call with a bounded wait and kept from
// ending the program when it closes; nullptr without one. Only a bus the
// session names (DBUS_SESSION_BUS_ADDRESS, or the bus socket in
// XDG_RUNTIME_DIR) is used: none is launched.
GDBusConnection *tray_session_bus();

// True when `name` has an owner on the bus, asked with a bounded wait.
bool tray_bus_name_owned(GDBusConnection *bus, const char *name);

// Sends one desktop notification (at most one per run) when a notification
// server is on the bus. Asynchronous: the answers come through the main loop.
void notice_send_once(const char *summary, const char *body);
