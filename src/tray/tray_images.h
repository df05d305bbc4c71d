// Pictures compiled into the tray program (GdkPixdata records, RGBA, raw),
// generated at build time from the PNG files in images/.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

extern const unsigned char icon0[];            // 20x20 tray icon, connected
extern const unsigned char icon1[];            // 20x20 tray icon, unconnected
extern const unsigned char icon2[];            // 20x20 "Calibrate (Normal)"
extern const unsigned char icon3[];            // 20x20 "Calibrate (Advanced)"
extern const unsigned char icon4[];            // 20x20 "About Vexor Driver"
extern const unsigned char icon5[];            // 20x20 "Exit"
extern const unsigned char cali_black_icon[];  // 16x16 settled target
extern const unsigned char cali_green_icon[];  // 16x16 blinking target
extern const unsigned char calibrate_start[];  // 32x32 transparent window icon
extern const unsigned char condial[];          // 32x32 transparent window icon

// A new pixbuf over a compiled-in record, sharing its pixels (no copy). The
// caller owns the reference.
GdkPixbuf *pixbuf_from_inline(const unsigned char *record);
