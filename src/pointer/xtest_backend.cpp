#include "xtest_backend.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "fmouse_sys.h"

namespace ink::pointer {

XTestBackend::~XTestBackend() {
    if (dpy_ != nullptr)
        XCloseDisplay(dpy_);
}

int XTestBackend::open(const char *display) {
    dpy_ = XOpenDisplay(display);
    if (dpy_ == nullptr) {
        fmouse_errf("xtest: cannot open display %s\n", display ? display : "(DISPLAY)");
        return -1;
    }
    int ev, err, major, minor;
    if (!XTestQueryExtension(dpy_, &ev, &err, &major, &minor)) {
        fmouse_err("xtest: the display has no XTEST extension\n");
        XCloseDisplay(dpy_);
        dpy_ = nullptr;
        return -1;
    }
    width_ = DisplayWidth(dpy_, DefaultScreen(dpy_));
    height_ = DisplayHeight(dpy_, DefaultScreen(dpy_));
    fmouse_msgf("xtest: display %s, %d x %d\n", DisplayString(dpy_), width_, height_);
    return 0;
}

void XTestBackend::reach(int x, int y) {
    Window root = DefaultRootWindow(dpy_), r, c;
    int rx, ry, wx, wy;
    unsigned mask;
    if (!XQueryPointer(dpy_, root, &r, &c, &rx, &ry, &wx, &wy, &mask) || (rx == x && ry == y))
        return;
    XWarpPointer(dpy_, None, root, 0, 0, 0, 0, x, y);
    XTestFakeMotionEvent(dpy_, DefaultScreen(dpy_), x, y, CurrentTime);
}

int XTestBackend::perform(const Action *actions, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Action &a = actions[i];
        switch (a.kind) {
            case ActionKind::Move:
                XTestFakeMotionEvent(dpy_, DefaultScreen(dpy_), a.x, a.y, CurrentTime);
                // A server whose screen is laid out by Xinerama over several
                // X screens keeps fake motion on the head the pointer is on.
                // Before a press, one look tells whether the pointer got
                // there; if not, it is warped, and the stroke that follows
                // stays on that head.
                if (i + 1 < n && actions[i + 1].kind == ActionKind::Press)
                    reach(a.x, a.y);
                break;
            case ActionKind::Press:
            case ActionKind::Release:
                XTestFakeButtonEvent(dpy_, a.button == Button::Left ? 1 : 3,
                                     a.kind == ActionKind::Press ? True : False, CurrentTime);
                break;
            case ActionKind::ProximityIn:
            case ActionKind::ProximityOut:
                break;  // a core pointer has no proximity
        }
    }
    // A lost display connection ends the program through Xlib's I/O error
    // handler; a flush that fails otherwise is reported.
    return XFlush(dpy_) ? 0 : -1;
}

}  // namespace ink::pointer
