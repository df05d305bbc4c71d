// Opening a menu by a point the desktop gives, such as a click on the tray
// icon drawn by a panel elsewhere. Main thread only.
#pragma once

#include <gtk/gtk.h>

// A point in root coordinates.
struct ClickPoint {
    gint x = 0, y = 0;
};

// Opens `menu` by `at`, as GTK places a status icon's menu by the icon.
void menu_popup_at(GtkWidget *menu, ClickPoint at);
