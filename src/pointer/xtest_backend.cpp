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

int XTestBackend::perform(const Action *actions, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Action &a = actions[i];
        switch (a.kind) {
            case ActionKind::Move:
                XTestFakeMotionEvent(dpy_, DefaultScreen(dpy_), a.x, a.y, CurrentTime);
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
