// The monitors of an X display and the user's choice of the one the camera
// sees (the projector), shared by the tray program and the pointer consumer.
//
// The daemon knows a single screen size. With several monitors that size is
// the chosen monitor's, the tray program places the calibration targets in
// its pixels, and the pointer consumer offsets every record by the monitor's
// origin. The choice is one line in $XDG_CONFIG_HOME/vexor-driver/screen:
//   all          the whole X screen
//   monitor N    the N-th monitor (0-based) in the display's order
//   NAME         the monitor of that name (a connector name such as HDMI-1)
// With no usable choice: one monitor is taken; of two, the one that is not
// the primary (a laptop's panel normally is); with more, the whole screen.
#pragma once

#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace ink::monitors {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect &o) const {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
    bool operator!=(const Rect &o) const { return !(*this == o); }
};

struct Monitor {
    std::string name;
    Rect rect;
    bool primary = false;
};

// Where the list came from.
enum class Source { RandR, Xinerama, Screen };

struct Layout {
    std::vector<Monitor> monitors;  // never empty once queried
    Rect screen;                    // the whole X screen, at (0, 0)
    Source source = Source::Screen;
};

// The display's monitors: RandR 1.5 monitors, unless the Xinerama extension
// reports more heads than RandR does (a server whose screen is laid out by
// Xinerama has RandR monitors that miss heads); else Xinerama heads; else the
// whole screen as one monitor named "screen". Exactly one monitor is primary:
// RandR's primary, else the first.
Layout query(Display *dpy);

// The event base of RandR on dpy, and the input mask that reports layout
// changes on the root window selected; -1 without RandR.
int select_layout_events(Display *dpy);

struct Choice {
    enum class Kind { Default, All, Index, Name };
    Kind kind = Kind::Default;
    int index = 0;
    std::string name;
};

// Parses the file's text: one of the three forms, blanks around it and one
// final newline allowed. Returns false with *err saying why otherwise.
bool parse_choice(const std::string &text, Choice *out, std::string *err);

// The line that stands for a choice ("all", "monitor 1", "HDMI-1").
std::string format_choice(const Choice &c);

// $XDG_CONFIG_HOME/vexor-driver/screen, or ~/.config/vexor-driver/screen
// when XDG_CONFIG_HOME is unset or not absolute. Empty when neither is known.
std::string choice_path();

// Reads the choice file. A missing file is the default choice; a file that
// cannot be read or does not parse too, with *diag saying so (empty when
// all is well).
Choice read_choice(const std::string &path, std::string *diag);

// Writes the choice atomically (a temporary file in the same directory,
// renamed over the old one), making the directory when missing.
bool write_choice(const std::string &path, const Choice &c, std::string *err);

struct Selection {
    Rect rect;
    int index = -1;      // the monitor taken; -1: the whole screen
    std::string reason;  // one line for the debug output
};

// The rectangle the suite works in, by the rules above. A choice naming a
// monitor that is not there falls back to the default rules.
Selection select(const Layout &layout, const Choice &choice);

// Short text for a monitor in a menu: "HDMI-1 (1280×720)".
std::string describe(const Monitor &m);

}  // namespace ink::monitors
