// A whole desktop as a person sees it, for the full demo: windows anywhere in
// the tree (a window manager may have reparented them), popup menus, a
// program's status icon, a colour on the screen; and the person's keys and
// clicks through XTEST, across the heads of a display of several monitors.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace inktest {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

struct Point {
    int x = -1, y = -1;
};

class Desk {
  public:
    explicit Desk(Display *d);
    int width() const { return w_; }
    int height() const { return h_; }

    // Viewable windows named title anywhere in the tree.
    std::vector<Window> find(const std::string &title);
    // True while a popup menu is open.
    bool popup_shown();
    // The centre of the status icon of the program at exe: a viewable
    // embedded (XEmbed) window of that program's process.
    std::optional<Point> tray_icon(const std::string &exe);
    // Where the screen shows colour 0xRRGGBB (see colour_centre); x -1 when
    // nowhere.
    Point find_colour(std::uint32_t colour);

    void key(unsigned long keysym, Window focus = 0);
    void move(int x, int y);
    void click(int x, int y);

  private:
    template <class F>
    void walk(Window w, const F &f);
    bool viewable(Window w);
    bool has_property(Window w, Atom a);
    long cardinal(Window w, Atom a);
    Rect geometry(Window w);

    Display *d_;
    int w_, h_;
};

}  // namespace inktest
