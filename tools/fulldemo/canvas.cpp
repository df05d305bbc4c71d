#include "canvas.h"

#include <poll.h>

#include <cstring>

namespace {

constexpr const char *kLabel =
    "inkfulldemo: what the desktop received from the pen (lines: left button held, "
    "rings: right clicks)";

}  // namespace

bool Canvas::start(const std::string &display, inktest::Rect r, Window keep_above) {
    d_ = XOpenDisplay(display.c_str());
    if (d_ == nullptr)
        return false;
    int w = r.w, h = r.h;
    h_ = h;
    XSetWindowAttributes a;
    a.background_pixel = 0xF7F5EE;
    a.override_redirect = True;
    a.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask;
    win_ = XCreateWindow(d_, DefaultRootWindow(d_), r.x, r.y, static_cast<unsigned>(w),
                         static_cast<unsigned>(h), 0, CopyFromParent, InputOutput, CopyFromParent,
                         CWBackPixel | CWOverrideRedirect | CWEventMask, &a);
    XStoreName(d_, win_, "inkfulldemo canvas");
    ink_ = XCreateGC(d_, win_, 0, nullptr);
    XSetForeground(d_, ink_, 0x1A237E);
    XSetLineAttributes(d_, ink_, 3, LineSolid, CapRound, JoinRound);
    red_ = XCreateGC(d_, win_, 0, nullptr);
    XSetForeground(d_, red_, 0xC62828);
    XSetLineAttributes(d_, red_, 3, LineSolid, CapRound, JoinRound);
    XMapRaised(d_, win_);
    if (keep_above != 0)
        XRaiseWindow(d_, keep_above);
    XSync(d_, False);
    thread_ = std::thread([this] { run(); });
    return true;
}

Canvas::~Canvas() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (d_ != nullptr)
        XCloseDisplay(d_);
}

std::vector<Canvas::Mark> Canvas::right_clicks() {
    std::lock_guard<std::mutex> l(mu_);
    return rights_;
}

std::vector<Canvas::Mark> Canvas::left_presses_at() {
    std::lock_guard<std::mutex> l(mu_);
    return dots_;
}

void Canvas::paint_all() {
    XDrawString(d_, win_, ink_, 12, h_ - 12, kLabel, std::strlen(kLabel));
    for (auto &s : segs_)
        XDrawLine(d_, win_, ink_, s[0], s[1], s[2], s[3]);
    for (auto &m : dots_)
        XFillArc(d_, win_, ink_, m.x - 4, m.y - 4, 8, 8, 0, 360 * 64);
    for (auto &m : rights_)
        ring(m);
}

void Canvas::ring(const Mark &m) {
    XDrawArc(d_, win_, red_, m.x - 16, m.y - 16, 32, 32, 0, 360 * 64);
    XDrawString(d_, win_, red_, m.x + 20, m.y + 4, "right click", 11);
}

void Canvas::run() {
    int lx = 0, ly = 0;
    bool down = false;
    while (!stop_) {
        while (XPending(d_) > 0) {
            XEvent e;
            XNextEvent(d_, &e);
            std::lock_guard<std::mutex> l(mu_);
            if (e.type == Expose && e.xexpose.count == 0) {
                paint_all();
            } else if (e.type == ButtonPress && e.xbutton.button == 1) {
                ++left_presses_;
                down = true;
                lx = e.xbutton.x;
                ly = e.xbutton.y;
                dots_.push_back({lx, ly});
                XFillArc(d_, win_, ink_, lx - 4, ly - 4, 8, 8, 0, 360 * 64);
            } else if (e.type == ButtonRelease && e.xbutton.button == 1) {
                ++left_releases_;
                down = false;
            } else if (e.type == ButtonPress && e.xbutton.button == 3) {
                ++right_presses_;
                rights_.push_back({e.xbutton.x, e.xbutton.y});
                ring(rights_.back());
            } else if (e.type == MotionNotify && down) {
                segs_.push_back({lx, ly, e.xmotion.x, e.xmotion.y});
                XDrawLine(d_, win_, ink_, lx, ly, e.xmotion.x, e.xmotion.y);
                lx = e.xmotion.x;
                ly = e.xmotion.y;
            }
        }
        XFlush(d_);
        struct pollfd p {
            ConnectionNumber(d_), POLLIN, 0
        };
        ::poll(&p, 1, 20);
    }
}
