// inkwake's own inhibitor, for desktops whose screensaver command has no
// --inhibit: it takes an inhibition of the screensaver on the session bus,
// holds it until SIGTERM, then releases it.
#pragma once

// Runs in a child forked by inkwake before any GLib use, with SIGTERM blocked
// (so that no SIGTERM is lost before its handler is in place). Returns only
// after SIGTERM, with the exit status (0).
//
// The first service on the bus among org.freedesktop.ScreenSaver and
// org.gnome.SessionManager that grants the inhibition holds it. With no bus,
// no such service, or once the bus connection closes or the service leaves
// the bus, nothing is inhibited, which the debug output says; the holder
// still waits for its SIGTERM, since the daemon ends the calibration's
// inhibition by ending it.
int run_bus_holder();
