#include "x/desk.h"

#include <X11/Xatom.h>
#include <unistd.h>

#include <algorithm>

#include "x/xsession.h"

namespace inktest {

namespace {

std::string exe_of(long pid) {
    char buf[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

Desk::Desk(Display *d) : d_(d), w_(DisplayWidth(d, 0)), h_(DisplayHeight(d, 0)) {}

std::vector<Window> Desk::find(const std::string &title) {
    std::vector<Window> out;
    XSync(d_, False);
    walk(DefaultRootWindow(d_), [&](Window w) {
        char *name = nullptr;
        if (XFetchName(d_, w, &name) && name != nullptr) {
            if (title == name && viewable(w))
                out.push_back(w);
            XFree(name);
        }
    });
    return out;
}

bool Desk::popup_shown() {
    return !popups(d_).empty();
}

std::optional<Point> Desk::tray_icon(const std::string &exe) {
    std::optional<Point> out;
    Atom xembed = XInternAtom(d_, "_XEMBED_INFO", False);
    Atom wm_pid = XInternAtom(d_, "_NET_WM_PID", False);
    walk(DefaultRootWindow(d_), [&](Window w) {
        if (out || !has_property(w, xembed) || !viewable(w))
            return;
        long pid = cardinal(w, wm_pid);
        if (pid <= 0 || exe_of(pid) != exe)
            return;
        Rect g = geometry(w);
        out = Point{g.x + g.w / 2, g.y + g.h / 2};
    });
    return out;
}

Point Desk::find_colour(std::uint32_t colour) {
    Point p;
    colour_centre(d_, colour, &p.x, &p.y);
    return p;
}

void Desk::key(unsigned long keysym, Window focus) {
    press_key(d_, keysym, focus);
}

void Desk::move(int x, int y) {
    move_pointer(d_, x, y, true);
}

void Desk::click(int x, int y) {
    inktest::click(d_, x, y, 1, true);
}

template <class F>
void Desk::walk(Window w, const F &f) {
    f(w);
    Window r, p, *c = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d_, w, &r, &p, &c, &n))
        return;
    std::vector<Window> kids(c, c + n);
    if (c)
        XFree(c);
    for (Window k : kids)
        walk(k, f);
}

bool Desk::viewable(Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(d_, w, &a) && a.map_state == IsViewable;
}

bool Desk::has_property(Window w, Atom a) {
    int n = 0;
    Atom *props = XListProperties(d_, w, &n);
    bool found = props != nullptr && std::find(props, props + n, a) != props + n;
    if (props)
        XFree(props);
    return found;
}

long Desk::cardinal(Window w, Atom a) {
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char *data = nullptr;
    long v = -1;
    if (XGetWindowProperty(d_, w, a, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after, &data) ==
            Success &&
        data != nullptr && n == 1 && format == 32)
        v = *reinterpret_cast<long *>(data);
    if (data)
        XFree(data);
    return v;
}

Rect Desk::geometry(Window w) {
    XWindowAttributes a;
    Rect g;
    if (!XGetWindowAttributes(d_, w, &a))
        return g;
    Window child;
    XTranslateCoordinates(d_, w, DefaultRootWindow(d_), 0, 0, &g.x, &g.y, &child);
    g.w = a.width;
    g.h = a.height;
    return g;
}

}  // namespace inktest
