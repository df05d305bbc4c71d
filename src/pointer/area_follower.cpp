#include "area_follower.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "fmouse_sys.h"

namespace ink::pointer {

namespace {

// In the file's own directory: the file appearing, being replaced (renamed
// over), written in place or removed, and the directory itself going away.
constexpr std::uint32_t kDirMask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                   IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// In a parent, while the directory is missing: something appearing in it.
constexpr std::uint32_t kParentMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool is_dir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// dir, or the nearest of its parents that exists.
std::string nearest_existing(std::string dir) {
    while (!dir.empty() && dir != "/" && !is_dir(dir)) {
        std::size_t slash = dir.rfind('/');
        dir = slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
    }
    return dir.empty() ? "/" : dir;
}

}  // namespace

AreaFollower::~AreaFollower() {
    if (inotify_fd_ >= 0)
        close(inotify_fd_);
}

void AreaFollower::start(Display *dpy, const std::string &choice_path) {
    dpy_ = dpy;
    if (dpy_ == nullptr)
        return;  // no monitors: records keep the whole screen's coordinates
    randr_base_ = ink::monitors::select_layout_events(dpy_);
    // A new screen size, and a RandR monitor added or removed, come as the
    // root window's ConfigureNotify.
    XSelectInput(dpy_, DefaultRootWindow(dpy_), StructureNotifyMask);
    layout_ = ink::monitors::query(dpy_);
    path_ = choice_path;
    std::size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        dir_ = path_.substr(0, slash);
        inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_fd_ < 0)
            fmouse_errf("inotify: %s; changes of %s are not followed\n", std::strerror(errno),
                        path_.c_str());
        else
            arm_watch();
    }
    read_choice();
    reselect();
}

int AreaFollower::display_fd() const {
    return dpy_ != nullptr ? ConnectionNumber(dpy_) : -1;
}

bool AreaFollower::events_queued() const {
    return dpy_ != nullptr && XEventsQueued(dpy_, QueuedAlready) > 0;
}

void AreaFollower::arm_watch() {
    // A directory made between the look and the watch would be missed: look
    // again after every new watch until the nearest existing one is watched.
    for (;;) {
        std::string d = nearest_existing(dir_);
        if (d == watched_ && wd_ >= 0)
            return;
        if (wd_ >= 0)
            inotify_rm_watch(inotify_fd_, wd_);
        wd_ = inotify_add_watch(inotify_fd_, d.c_str(), d == dir_ ? kDirMask : kParentMask);
        if (wd_ < 0) {
            fmouse_errf("inotify on %s: %s; changes of %s are not followed\n", d.c_str(),
                        std::strerror(errno), path_.c_str());
            watched_.clear();
            return;
        }
        if (d != watched_ && d != dir_)
            fmouse_msgf("%s is missing: watching %s until it is there\n", dir_.c_str(), d.c_str());
        watched_ = d;
    }
}

bool AreaFollower::drain_watch() {
    if (inotify_fd_ < 0)
        return false;
    bool any = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(inotify_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        any = true;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            // The watched directory went away or moved: watch anew.
            if (e->wd == wd_ && (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                if ((e->mask & IN_IGNORED) == 0)
                    inotify_rm_watch(inotify_fd_, wd_);
                wd_ = -1;
                watched_.clear();
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (any)
        arm_watch();
    return any;
}

bool AreaFollower::drain_display() {
    if (dpy_ == nullptr)
        return false;
    bool changed = false;
    // Querying the layout takes round trips, during which more events may
    // be queued: go on until none is left.
    while (XPending(dpy_) > 0) {
        bool layout = false;
        while (XPending(dpy_) > 0) {
            XEvent e;
            XNextEvent(dpy_, &e);
            bool randr = randr_base_ >= 0 && (e.type == randr_base_ + RRScreenChangeNotify ||
                                              e.type == randr_base_ + RRNotify);
            bool root = e.type == ConfigureNotify && e.xconfigure.window == DefaultRootWindow(dpy_);
            if (randr || root) {
                // Keeps Xlib's idea of the screen size up to date.
                XRRUpdateConfiguration(&e);
                layout = true;
            }
        }
        if (layout) {
            layout_ = ink::monitors::query(dpy_);
            changed = true;
        }
    }
    return changed;
}

void AreaFollower::read_choice() {
    std::string diag;
    choice_ = ink::monitors::read_choice(path_, &diag);
    if (!diag.empty() && diag != diag_)
        fmouse_msgf("%s\n", diag.c_str());
    diag_ = diag;
}

bool AreaFollower::reselect() {
    ink::monitors::Selection s = ink::monitors::select(layout_, choice_);
    bool moved = s.rect != selection_.rect;
    if (moved || s.reason != selection_.reason)
        fmouse_msgf("pointer area %d,%d %dx%d of the %dx%d screen: %s\n", s.rect.x, s.rect.y,
                    s.rect.width, s.rect.height, layout_.screen.width, layout_.screen.height,
                    s.reason.c_str());
    selection_ = std::move(s);
    return moved;
}

bool AreaFollower::update() {
    if (dpy_ == nullptr)
        return false;
    ink::monitors::Rect screen = layout_.screen;
    bool file = drain_watch();
    if (file)
        read_choice();
    bool layout = drain_display();
    if (!file && !layout)
        return false;
    bool moved = reselect();
    return moved || screen != layout_.screen;
}

}  // namespace ink::pointer
