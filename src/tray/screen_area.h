// The area of the X screen the tray program works in: the monitor the camera
// sees (chosen by the user, or by the default rules of ink::monitors), or the
// whole screen. The daemon is told its size, the calibration window covers it
// and the dialogs are centred on it. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include "monitors.h"

struct ScreenArea {
    ink::monitors::Rect rect;         // in root-window pixels
    bool whole = true;                // the rectangle is the whole screen
    ink::monitors::Layout layout;     // the monitors it was chosen from
    ink::monitors::Selection chosen;  // index into layout.monitors, or -1
};

// Reads the monitors, the choice file and the screen size again and selects
// the area. The whole screen's size is GDK's; with a single monitor the area
// is that whole screen. The selection's reason and a choice file that does
// not parse go to the debug output when they change.
const ScreenArea &screen_area_update();

// The area of the last update.
const ScreenArea &screen_area();

// Centres a window on the area before it is shown: GTK_WIN_POS_CENTER for
// the whole screen, else an explicit position from the window's requested
// size. Call it once the window's contents are in place.
void screen_area_centre(GtkWindow *w);
