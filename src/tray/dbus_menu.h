// The program's own GtkMenu, exported on the session bus as a
// com.canonical.dbusmenu object, for the panel that shows the tray icon as a
// StatusNotifierItem: the panel draws the menu itself from the items'
// labels, pictures, enabled and visible states, separators, submenus and
// radio marks, and sends the user's choice back, which activates the GtkMenu
// item as a click in it would.
//
// The panel is told of changes from the GtkMenu's own signals: items added
// or removed (a new layout), shown, hidden, made sensitive, relabelled or
// their marks set (their new properties), once a turn of the main loop.
// Main thread only.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

// Serves `menu` at `path` on `bus`; false (and nothing served) on failure.
bool dbus_menu_export(GDBusConnection *bus, const char *path, GtkWidget *menu);
