// The wait dialog, the About dialog and the connected and unconnected looks of
// the tray. Main thread only.
#pragma once

#include <gtk/gtk.h>

// Opens the wait dialog unless it is already open.
void con_dial();
// Destroys the wait dialog if there is one and clears its flag.
void con_dial_close();
// Tray icon and menu for a usable (connected) or absent (unconnected) unit.
void connected();
void uconnected();
// "About Vexor Driver": opens the About dialog unless it or the calibration
// window is open.
void menuItem3_on_click(GtkMenuItem *item, gpointer data);
