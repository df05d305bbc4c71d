// The tray icon as a StatusNotifierItem, for desktops whose panel hosts such
// items instead of (or besides) a notification area: served on the session
// bus by the program itself (org.kde.StatusNotifierItem, its menu through
// dbus_menu), with the same two pictures and the program's own GtkMenu.
//
// The item is offered to every StatusNotifierWatcher that owns its bus name
// for the whole run: one that comes after the program, or again after a
// restart, gets it too. Main thread only.
#pragma once

#include <gtk/gtk.h>

// Serves the item and its menu once the session bus is connected (in the
// background; nothing without a bus). `on_registered` is called with true
// each time a watcher has taken the item, with false when the watcher
// holding it has gone.
void indicator_start(GtkWidget *menu, void (*on_registered)(bool registered));
// True while a watcher holds the item.
bool indicator_registered();
// The connected (bright) or unconnected (dark) picture.
void indicator_set_connected(bool connected);
// Removes the pictures written for the item's host.
void indicator_remove_files();
