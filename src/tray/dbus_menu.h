// The program's own GtkMenu, exported on the session bus as a
// com.canonical.dbusmenu object, for the panel that shows the tray icon as a
// StatusNotifierItem: the panel draws the menu itself from the items'
// labels, pictures, enabled and visible states, separators, submenus and
// radio marks, and sends the user's choice back, which activates the GtkMenu
// item as a click in it would.
//
// Served by libdbusmenu-glib's server, the one the panels' menu clients are
// made against, over a mirror of the GtkMenu that follows the menu's own
// signals: items shown, hidden, made sensitive, relabelled or their marks
// set change the mirror's properties at once; items added or removed are
// mirrored again once a turn of the main loop. Main thread only.
#pragma once

#include <gtk/gtk.h>

// Serves `menu` at `path` on the session bus the program is connected to.
void dbus_menu_export(const char *path, GtkWidget *menu);
