#include "screen_area.h"

#include <gdk/gdkx.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "fmouse_sys.h"

namespace {

namespace mon = ink::monitors;

ScreenArea area;

// The choice file is read again only when its status changes.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{0, 0};
    timespec ctime{0, 0};
    bool operator==(const FileStamp &o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::string choice_file;
bool choice_read = false;
FileStamp choice_stamp;
mon::Choice choice;
std::string choice_diag;  // the last complaint printed, until the file is good
std::string last_reason;

FileStamp stamp_of(const std::string &path) {
    FileStamp s;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0)
        return s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

const mon::Choice &current_choice() {
    std::string path = mon::choice_path();
    FileStamp now = stamp_of(path);
    if (choice_read && path == choice_file && now == choice_stamp)
        return choice;
    choice_file = path;
    choice_stamp = now;
    choice_read = true;
    std::string diag;
    choice = mon::read_choice(path, &diag);
    if (diag.empty()) {
        choice_diag.clear();
    } else if (diag != choice_diag) {
        choice_diag = diag;
        fmouse_msgf("screen choice: %s\n", diag.c_str());
    }
    return choice;
}

}  // namespace

const ScreenArea &screen_area_update() {
    GdkScreen *screen = gdk_screen_get_default();
    mon::Rect whole{0, 0, gdk_screen_get_width(screen), gdk_screen_get_height(screen)};
    ScreenArea a;
    a.layout = mon::query(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()));
    // GDK's size stands for the whole screen, so that the area of a single
    // monitor follows the screen exactly as the size alone did before.
    // Monitors always lie within the screen: a size that does not hold them
    // all is a stale one (a server can report a single head's size in its
    // screen-change events, and Xlib takes that over), so it grows to them.
    if (a.layout.monitors.size() > 1)
        for (const auto &m : a.layout.monitors) {
            whole.width = std::max(whole.width, m.rect.x + m.rect.width);
            whole.height = std::max(whole.height, m.rect.y + m.rect.height);
        }
    a.layout.screen = whole;
    if (a.layout.monitors.size() == 1) {
        a.layout.monitors[0].rect = whole;
        a.chosen.index = 0;
        a.chosen.rect = whole;
        a.chosen.reason = "the only monitor, the whole screen";
    } else {
        a.chosen = mon::select(a.layout, current_choice());
    }
    a.rect = a.chosen.rect;
    a.whole = a.rect == whole;
    if (a.chosen.reason != last_reason || a.rect != area.rect) {
        last_reason = a.chosen.reason;
        fmouse_msgf("screen area %dx%d+%d+%d: %s\n", a.rect.width, a.rect.height, a.rect.x,
                    a.rect.y, a.chosen.reason.c_str());
    }
    area = std::move(a);
    return area;
}

const ScreenArea &screen_area() {
    return area;
}

void screen_area_centre(GtkWindow *w) {
    if (area.whole || area.rect.width <= 0 || area.rect.height <= 0) {
        gtk_window_set_position(w, GTK_WIN_POS_CENTER);
        return;
    }
    // GTK_WIN_POS_CENTER would take the monitor under the pointer.
    gtk_window_set_position(w, GTK_WIN_POS_NONE);
    GtkRequisition req{0, 0};
    gtk_widget_size_request(GTK_WIDGET(w), &req);
    const ink::monitors::Rect &r = area.rect;
    gtk_window_move(w, r.x + (r.width - req.width) / 2, r.y + (r.height - req.height) / 2);
}
