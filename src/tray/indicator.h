// The tray icon as a StatusNotifierItem, for desktops whose panel hosts such
// items instead of (or besides) a notification area. It shows the same two
// pictures and the program's own GtkMenu. Main thread only.
#pragma once

#include <gtk/gtk.h>

// Creates the item with `menu` when a StatusNotifierWatcher is on the session
// bus; false (and nothing made) otherwise. Should the watcher go, the item
// shows through the status icon that `fallback` returns (the program's own),
// in the item's current picture; it is hidden again when a watcher returns.
bool indicator_create(GtkWidget *menu, GtkStatusIcon *(*fallback)());
// True once the item has been made: the GtkStatusIcon is not used then.
bool indicator_active();
// The connected (bright) or unconnected (dark) picture.
void indicator_set_connected(bool connected);
// Removes the pictures written for the item's host.
void indicator_remove_files();
