#include "x/xsession.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/sandbox.h"

namespace inktest {

namespace {

// Windows come and go while the tests look at them; a request on a window that
// has just gone is not an error of the test.
int ignore_x_errors(Display *, XErrorEvent *) {
    return 0;
}

}  // namespace

bool colour_centre(Display *d, std::uint32_t colour, int *x, int *y) {
    int w = DisplayWidth(d, 0), h = DisplayHeight(d, 0);
    XImage *img = XGetImage(d, DefaultRootWindow(d), 0, 0, w, h, AllPlanes, ZPixmap);
    if (img == nullptr)
        return false;
    long sx = 0, sy = 0, n = 0;
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px)
            if ((XGetPixel(img, px, py) & 0xFFFFFF) == colour) {
                sx += px;
                sy += py;
                ++n;
            }
    XDestroyImage(img);
    if (n == 0)
        return false;
    *x = static_cast<int>((sx + n / 2) / n) + 1;
    *y = static_cast<int>((sy + n / 2) / n) + 1;
    return true;
}

bool xvfb_installed() {
    return access("/usr/bin/Xvfb", X_OK) == 0;
}

bool xephyr_installed() {
    return xvfb_installed() && access("/usr/bin/Xephyr", X_OK) == 0;
}

namespace {

void stop_server(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int st;
    if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 3000ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
}

}  // namespace

std::string spawn_x_server(const char *program, const std::vector<std::string> &args,
                           const std::string &host, pid_t *pid, pid_t group) {
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    *pid = fork();
    if (*pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return "";
    }
    if (*pid == 0) {
        if (group >= 0)
            setpgid(0, group);
        close(fds[0]);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        if (!host.empty())
            setenv("DISPLAY", host.c_str(), 1);
        std::string fd = std::to_string(fds[1]);
        std::vector<std::string> all = {program, "-displayfd", fd};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    if (group >= 0)
        setpgid(*pid, group != 0 ? group : *pid);  // as the child does: no race
    close(fds[1]);
    std::string num;
    auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        struct pollfd p {
            fds[0], POLLIN, 0
        };
        if (::poll(&p, 1, 100) < 0 && errno != EINTR)
            break;
        if ((p.revents & (POLLIN | POLLHUP)) == 0)
            continue;
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        num += c;
    }
    close(fds[0]);
    return num.empty() ? "" : ":" + num;
}

XServer::~XServer() {
    if (dpy_ != nullptr)
        XCloseDisplay(dpy_);
    stop_server(pid_);
    stop_server(host_pid_);
}

bool XServer::open(const std::string &name) {
    if (name.empty())
        return false;
    name_ = name;
    setenv("DISPLAY", name_.c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    XSetErrorHandler(ignore_x_errors);
    dpy_ = XOpenDisplay(name_.c_str());
    return dpy_ != nullptr;
}

pid_t XServer::next_group() const {
    if (group_ == Group::Caller)
        return -1;
    // The first server leads the group, a nested one joins it.
    return host_pid_ > 0 ? host_pid_ : 0;
}

bool XServer::start(int w, int h) {
    std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "x24";
    return open(spawn_x_server("/usr/bin/Xvfb",
                               {"-screen", "0", geometry, "-nolisten", "tcp", "-noreset"}, "",
                               &pid_, next_group()));
}

bool XServer::start_heads(const std::vector<Head> &heads) {
    if (heads.empty())
        return false;
    int w = 0, h = 0;
    std::vector<std::string> args = {"+xinerama", "-ac", "-nolisten", "tcp", "-noreset"};
    for (const auto &hd : heads) {
        w = std::max(w, hd.x + hd.w);
        h = std::max(h, hd.y + hd.h);
        args.push_back("-screen");
        args.push_back(std::to_string(hd.w) + "x" + std::to_string(hd.h) + "+" +
                       std::to_string(hd.x) + "+" + std::to_string(hd.y));
    }
    std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "x24";
    std::string host =
        spawn_x_server("/usr/bin/Xvfb", {"-screen", "0", geometry, "-nolisten", "tcp", "-noreset"},
                       "", &host_pid_, next_group());
    if (host.empty())
        return false;
    host_name_ = host;
    std::string name = spawn_x_server("/usr/bin/Xephyr", args, host, &pid_, next_group());
    // Xephyr writes its display number before it is ready for every request:
    // a first round trip settles it.
    if (!open(name))
        return false;
    XSync(dpy_, False);
    return true;
}

std::vector<XWin> mapped_toplevels(Display *d) {
    std::vector<XWin> out;
    Window root_ret, parent;
    Window *children = nullptr;
    unsigned n = 0;
    XSync(d, False);
    if (!XQueryTree(d, DefaultRootWindow(d), &root_ret, &parent, &children, &n))
        return out;
    for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable)
            continue;
        XWin w;
        w.id = children[i];
        w.x = a.x;
        w.y = a.y;
        w.w = a.width;
        w.h = a.height;
        w.override_redirect = a.override_redirect;
        char *name = nullptr;
        if (XFetchName(d, children[i], &name) && name != nullptr) {
            w.title = name;
            XFree(name);
        }
        out.push_back(w);
    }
    if (children)
        XFree(children);
    return out;
}

std::vector<XWin> XServer::mapped_toplevels() {
    return inktest::mapped_toplevels(dpy_);
}

std::vector<XWin> XServer::find(const std::string &title) {
    std::vector<XWin> out;
    for (auto &w : mapped_toplevels())
        if (w.title == title)
            out.push_back(w);
    return out;
}

bool XServer::wait_count(const std::string &title, size_t count,
                         std::chrono::milliseconds timeout) {
    return wait_until([&] { return find(title).size() == count; }, timeout);
}

std::vector<XWin> popups(Display *d) {
    std::vector<XWin> out;
    for (auto &w : mapped_toplevels(d))
        if (w.override_redirect && w.w > 40 && w.h > 20 && w.w < DisplayWidth(d, 0))
            out.push_back(w);
    return out;
}

std::vector<XWin> XServer::popups() {
    return inktest::popups(dpy_);
}

XWin XServer::wait_popup(std::chrono::milliseconds timeout) {
    std::vector<XWin> p;
    wait_until([&] { return !(p = popups()).empty(); }, timeout);
    return p.empty() ? XWin() : p.back();
}

std::uint32_t XServer::pixel(int x, int y) {
    XImage *img = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (img == nullptr)
        return 0xFFFFFFFFu;
    unsigned long p = XGetPixel(img, 0, 0);
    XDestroyImage(img);
    return static_cast<std::uint32_t>(p & 0xFFFFFF);
}

void press_key(Display *d, unsigned long keysym, Window focus) {
    if (focus != 0)
        XSetInputFocus(d, focus, RevertToParent, CurrentTime);
    KeyCode kc = XKeysymToKeycode(d, keysym);
    XSync(d, False);
    XTestFakeKeyEvent(d, kc, True, CurrentTime);
    XTestFakeKeyEvent(d, kc, False, CurrentTime);
    XSync(d, False);
}

void move_pointer(Display *d, int x, int y, bool warp) {
    if (warp)
        XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XTestFakeMotionEvent(d, 0, x, y, CurrentTime);
    XSync(d, False);
}

void click(Display *d, int x, int y, unsigned button, bool warp) {
    move_pointer(d, x, y, warp);
    XTestFakeButtonEvent(d, button, True, CurrentTime);
    XTestFakeButtonEvent(d, button, False, CurrentTime);
    XSync(d, False);
}

void XServer::key(unsigned long keysym, Window focus) {
    press_key(dpy_, keysym, focus);
}

void XServer::move_pointer(int x, int y) {
    inktest::move_pointer(dpy_, x, y);
}

void XServer::raise(Window w) {
    XRaiseWindow(dpy_, w);
    XSync(dpy_, False);
}

void XServer::click(int x, int y, unsigned button) {
    inktest::click(dpy_, x, y, button);
}

void XServer::close_request(Window w) {
    XEvent e;
    std::memset(&e, 0, sizeof e);
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(dpy_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy_, w, False, NoEventMask, &e);
    XSync(dpy_, False);
}

bool XServer::screenshot(
    const std::string &png, int x, int y, int w, int h,
    const std::function<bool(std::uint32_t (*)(void *, int, int), void *)> &accept) {
    if (w <= 0 || h <= 0) {
        x = y = 0;
        w = DisplayWidth(dpy_, 0);
        h = DisplayHeight(dpy_, 0);
    }
    // One GetImage request: the picture is consistent even while targets blink.
    XImage *img = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, static_cast<unsigned>(w),
                            static_cast<unsigned>(h), AllPlanes, ZPixmap);
    if (img == nullptr)
        return false;
    auto at = [](void *im, int px, int py) {
        return static_cast<std::uint32_t>(XGetPixel(static_cast<XImage *>(im), px, py) & 0xFFFFFF);
    };
    if (accept && !accept(at, img)) {
        XDestroyImage(img);
        return false;
    }
    std::string ppm = png + ".ppm";
    FILE *f = std::fopen(ppm.c_str(), "wb");
    if (f == nullptr) {
        XDestroyImage(img);
        return false;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", w, h);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            unsigned long p = XGetPixel(img, col, row);
            unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16),
                                    static_cast<unsigned char>(p >> 8),
                                    static_cast<unsigned char>(p)};
            std::fwrite(rgb, 1, 3, f);
        }
    XDestroyImage(img);
    bool ok = std::fclose(f) == 0;
    std::string cmd = "convert '" + ppm + "' '" + png + "' >/dev/null 2>&1";
    ok = ok && std::system(cmd.c_str()) == 0;
    std::remove(ppm.c_str());
    return ok;
}

TrayHost::~TrayHost() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (dpy_ != nullptr)
        XCloseDisplay(dpy_);
}

bool TrayHost::start(const std::string &display) {
    dpy_ = XOpenDisplay(display.c_str());
    if (dpy_ == nullptr)
        return false;
    Window root = DefaultRootWindow(dpy_);
    int sw = DisplayWidth(dpy_, 0);
    XSetWindowAttributes attr;
    attr.background_pixel = 0x3C3F44;
    attr.override_redirect = True;
    panel_ =
        XCreateWindow(dpy_, root, 0, 0, static_cast<unsigned>(sw), kPanelHeight, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attr);
    XSelectInput(dpy_, panel_, SubstructureNotifyMask);
    XMapWindow(dpy_, panel_);

    Atom sel = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_S0", False);
    Atom orientation = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_ORIENTATION", False);
    long horizontal = 0;
    XChangeProperty(dpy_, panel_, orientation, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&horizontal), 1);
    XSetSelectionOwner(dpy_, sel, panel_, CurrentTime);
    if (XGetSelectionOwner(dpy_, sel) != panel_)
        return false;

    // Tell running clients that a tray manager is there.
    XEvent e;
    std::memset(&e, 0, sizeof e);
    e.xclient.type = ClientMessage;
    e.xclient.window = root;
    e.xclient.message_type = XInternAtom(dpy_, "MANAGER", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = CurrentTime;
    e.xclient.data.l[1] = static_cast<long>(sel);
    e.xclient.data.l[2] = static_cast<long>(panel_);
    XSendEvent(dpy_, root, False, StructureNotifyMask, &e);
    XSync(dpy_, False);
    thread_ = std::thread([this] { run(); });
    return true;
}

bool TrayHost::wait_icon(std::chrono::milliseconds timeout) {
    return wait_until([&] { return docked_.load(); }, timeout);
}

void TrayHost::run() {
    Atom opcode = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_OPCODE", False);
    Atom xembed = XInternAtom(dpy_, "_XEMBED", False);
    constexpr long kRequestDock = 0;
    constexpr long kEmbeddedNotify = 0;
    constexpr int kIconSize = 24;
    int slot = 0;
    while (!stop_) {
        while (XPending(dpy_) > 0) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            if (ev.type != ClientMessage || ev.xclient.message_type != opcode ||
                ev.xclient.data.l[1] != kRequestDock)
                continue;
            Window icon = static_cast<Window>(ev.xclient.data.l[2]);
            int sw = DisplayWidth(dpy_, 0);
            int x = sw - (slot + 1) * (kIconSize + 4);
            ++slot;
            XSelectInput(dpy_, icon, StructureNotifyMask);
            XReparentWindow(dpy_, icon, panel_, x, 1);
            XResizeWindow(dpy_, icon, kIconSize, kIconSize);
            XMapRaised(dpy_, icon);
            XEvent n;
            std::memset(&n, 0, sizeof n);
            n.xclient.type = ClientMessage;
            n.xclient.window = icon;
            n.xclient.message_type = xembed;
            n.xclient.format = 32;
            n.xclient.data.l[0] = CurrentTime;
            n.xclient.data.l[1] = kEmbeddedNotify;
            n.xclient.data.l[3] = static_cast<long>(panel_);
            n.xclient.data.l[4] = 0;
            XSendEvent(dpy_, icon, False, NoEventMask, &n);
            XSync(dpy_, False);
            icon_x_ = x + kIconSize / 2;
            icon_y_ = 1 + kIconSize / 2;
            docked_ = true;
        }
        struct timespec ts {
            0, 10000000
        };
        nanosleep(&ts, nullptr);
    }
}

}  // namespace inktest
