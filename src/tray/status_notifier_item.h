// The tray icon as a StatusNotifierItem, for desktops whose panel hosts such
// items instead of (or besides) a notification area: served on the session
// bus by the program itself (org.kde.StatusNotifierItem, its menu through
// dbus_menu), with the same two pictures and the program's own GtkMenu.
//
// The item is offered to the StatusNotifierWatcher that owns its bus name
// while the watcher says a host is there to show it: a watcher or a host
// that comes after the program, or again after a restart, gets it too; a
// watcher without a host leaves the icon to the notification area. Main
// thread only.
#pragma once

#include <gtk/gtk.h>

// Serves the item and its menu once the session bus is connected (in the
// background; nothing without a bus). `on_shown` is called with true each
// time a watcher with a host has taken the item, with false when the
// watcher or its host has gone.
void status_item_start(GtkWidget *menu, void (*on_shown)(bool shown));
// True while a watcher with a host holds the item.
bool status_item_shown();
// The connected (bright) or unconnected (dark) picture.
void status_item_set_connected(bool connected);
// Removes the pictures written for the item's host.
void status_item_remove_files();
// At the program's end: sends the answers still queued on the bus (a
// panel's Exit), then removes the pictures.
void status_item_end();
