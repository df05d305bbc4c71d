// The program's own GtkMenu, exported on the session bus as a
// com.canonical.dbusmenu object, for the panel that shows the tray icon as a
// StatusNotifierItem: the panel draws the menu itself from the items'
// labels, pictures, enabled and visible states, separators, submenus and
// radio marks, and sends the user's choice back, which activates the GtkMenu
// item as a click in it would. Main thread only.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

// Serves `menu` at `path` on `bus`; false (and nothing served) on failure.
bool dbus_menu_export(GDBusConnection *bus, const char *path, GtkWidget *menu);

// Looks at the menu again and tells the panel what changed since the last
// look: a new layout when items came or went, else the items' new
// properties. Cheap when nothing changed; called on every dispatcher tick and
// after the menu's own change signals.
void dbus_menu_refresh();

// The layout's revision (it grows with every change of structure).
unsigned dbus_menu_revision();
