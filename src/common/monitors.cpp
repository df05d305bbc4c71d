#include "monitors.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ink::monitors {

namespace {

constexpr size_t kMaxChoiceBytes = 256;
constexpr size_t kMaxNameLength = 64;

std::vector<Monitor> randr_monitors(Display *dpy, Window root) {
    std::vector<Monitor> out;
    int ev = 0, er = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &ev, &er) || !XRRQueryVersion(dpy, &major, &minor))
        return out;
    if (major < 1 || (major == 1 && minor < 5))
        return out;
    int n = 0;
    XRRMonitorInfo *m = XRRGetMonitors(dpy, root, True, &n);
    if (m == nullptr)
        return out;
    for (int i = 0; i < n; ++i) {
        if (m[i].width <= 0 || m[i].height <= 0)
            continue;
        Monitor mon;
        char *name = m[i].name != None ? XGetAtomName(dpy, m[i].name) : nullptr;
        mon.name = name != nullptr ? name : "monitor-" + std::to_string(i);
        if (name != nullptr)
            XFree(name);
        mon.rect = {m[i].x, m[i].y, m[i].width, m[i].height};
        mon.primary = m[i].primary != 0;
        out.push_back(mon);
    }
    XRRFreeMonitors(m);
    return out;
}

std::vector<Monitor> xinerama_heads(Display *dpy) {
    std::vector<Monitor> out;
    int ev = 0, er = 0;
    if (!XineramaQueryExtension(dpy, &ev, &er) || !XineramaIsActive(dpy))
        return out;
    int n = 0;
    XineramaScreenInfo *s = XineramaQueryScreens(dpy, &n);
    if (s == nullptr)
        return out;
    for (int i = 0; i < n; ++i) {
        if (s[i].width <= 0 || s[i].height <= 0)
            continue;
        Monitor mon;
        mon.name = "XINERAMA-" + std::to_string(i);
        mon.rect = {s[i].x_org, s[i].y_org, s[i].width, s[i].height};
        out.push_back(mon);
    }
    XFree(s);
    return out;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

// The default rules, for a layout of n monitors.
Selection by_default(const Layout &layout, std::string why) {
    Selection s;
    const auto &m = layout.monitors;
    if (m.size() == 1) {
        s.index = 0;
    } else if (m.size() == 2) {
        s.index = m[0].primary ? 1 : 0;
    } else {
        s.rect = layout.screen;
        s.reason = why + "; " + std::to_string(m.size()) +
                   " monitors: the whole screen until one is chosen";
        return s;
    }
    s.rect = m[static_cast<size_t>(s.index)].rect;
    s.reason = why + "; " +
               (m.size() == 1 ? std::string("the only monitor ")
                              : std::string("the monitor that is not the primary, ")) +
               m[static_cast<size_t>(s.index)].name;
    return s;
}

}  // namespace

Layout query(Display *dpy) {
    Layout l;
    int scr = DefaultScreen(dpy);
    // The root window's own size: the size Xlib keeps can be stale, taken
    // from a screen-change event that a server with Xinerama heads sends with
    // the size of its first head.
    l.screen = {0, 0, DisplayWidth(dpy, scr), DisplayHeight(dpy, scr)};
    Window root_ret;
    int gx, gy;
    unsigned gw, gh, border, depth;
    if (XGetGeometry(dpy, RootWindow(dpy, scr), &root_ret, &gx, &gy, &gw, &gh, &border, &depth))
        l.screen = {0, 0, static_cast<int>(gw), static_cast<int>(gh)};
    std::vector<Monitor> randr = randr_monitors(dpy, RootWindow(dpy, scr));
    std::vector<Monitor> heads = xinerama_heads(dpy);
    if (!randr.empty() && heads.size() <= randr.size()) {
        l.monitors = std::move(randr);
        l.source = Source::RandR;
    } else if (!heads.empty()) {
        l.monitors = std::move(heads);
        l.source = Source::Xinerama;
    } else {
        l.monitors.push_back(Monitor{"screen", l.screen, true});
        l.source = Source::Screen;
    }
    bool any = false;
    for (auto &m : l.monitors) {
        m.primary = m.primary && !any;  // at most one
        any = any || m.primary;
    }
    if (!any)
        l.monitors[0].primary = true;
    return l;
}

int select_layout_events(Display *dpy) {
    int ev = 0, er = 0;
    if (!XRRQueryExtension(dpy, &ev, &er))
        return -1;
    XRRSelectInput(dpy, DefaultRootWindow(dpy),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    return ev;
}

bool parse_choice(const std::string &text, Choice *out, std::string *err) {
    // One line: a newline may end it, nothing may follow.
    std::string line = text;
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (line.find('\n') != std::string::npos) {
        *err = "more than one line";
        return false;
    }
    line = trim(line);
    Choice c;
    if (line.empty()) {
        *err = "empty";
        return false;
    }
    if (line == "all") {
        c.kind = Choice::Kind::All;
    } else if (line.compare(0, 7, "monitor") == 0 &&
               (line.size() == 7 || line[7] == ' ' || line[7] == '\t')) {
        std::string n = trim(line.substr(7));
        if (n.empty() || n.size() > 3 || n.find_first_not_of("0123456789") != std::string::npos) {
            *err = "\"" + line + "\": monitor takes a number from 0 to 999";
            return false;
        }
        c.kind = Choice::Kind::Index;
        c.index = std::atoi(n.c_str());
    } else {
        if (line.size() > kMaxNameLength) {
            *err = "a monitor name is at most 64 characters";
            return false;
        }
        for (char ch : line)
            if (!is_name_char(ch)) {
                *err = "\"" + line +
                       "\" is neither all, monitor N nor a monitor name (letters, digits, - _ .)";
                return false;
            }
        c.kind = Choice::Kind::Name;
        c.name = line;
    }
    *out = c;
    return true;
}

std::string format_choice(const Choice &c) {
    switch (c.kind) {
        case Choice::Kind::All:
            return "all";
        case Choice::Kind::Index:
            return "monitor " + std::to_string(c.index);
        case Choice::Kind::Name:
            return c.name;
        case Choice::Kind::Default:
            break;
    }
    return "";
}

std::string choice_path() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd *pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] != '/')
            return "";
        base = std::string(home) + "/.config";
    }
    return base + "/vexor-driver/screen";
}

Choice read_choice(const std::string &path, std::string *diag) {
    diag->clear();
    Choice c;
    if (path.empty())
        return c;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT)
            *diag = path + ": " + std::strerror(errno) + "; the default rules apply";
        return c;
    }
    struct stat st;
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *diag = path + ": not a regular file; the default rules apply";
    } else {
        char buf[kMaxChoiceBytes + 1];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0)
            *diag = path + ": " + std::strerror(errno) + "; the default rules apply";
        else if (static_cast<size_t>(n) > kMaxChoiceBytes)
            *diag = path + ": longer than one line; the default rules apply";
        else
            text.assign(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (!diag->empty())
        return c;
    std::string err;
    if (!parse_choice(text, &c, &err)) {
        *diag = path + ": " + err + "; the default rules apply";
        return Choice{};
    }
    return c;
}

bool write_choice(const std::string &path, const Choice &c, std::string *err) {
    size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos || c.kind == Choice::Kind::Default) {
        *err = "no place for the choice";
        return false;
    }
    // Make the directories down to the file's, as far as they are missing.
    std::string dir = path.substr(0, slash);
    for (size_t at = 1; at != std::string::npos;) {
        at = dir.find('/', at + 1);
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *err = part + ": " + std::strerror(errno);
            return false;
        }
    }
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *err = dir + ": " + std::strerror(errno);
        return false;
    }
    std::string line = format_choice(c) + "\n";
    bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
              fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(name.data(), path.c_str()) != 0) {
        *err = path + ": " + std::strerror(errno);
        unlink(name.data());
        return false;
    }
    return true;
}

Selection select(const Layout &layout, const Choice &choice) {
    const auto &m = layout.monitors;
    switch (choice.kind) {
        case Choice::Kind::All: {
            Selection s;
            s.rect = layout.screen;
            s.reason = "the whole screen, as chosen";
            return s;
        }
        case Choice::Kind::Index:
            if (choice.index >= 0 && static_cast<size_t>(choice.index) < m.size()) {
                Selection s;
                s.index = choice.index;
                s.rect = m[static_cast<size_t>(s.index)].rect;
                s.reason =
                    "monitor " + std::to_string(s.index) + " (" + m[s.index].name + "), as chosen";
                return s;
            }
            return by_default(
                layout, "the chosen monitor " + std::to_string(choice.index) + " is not there");
        case Choice::Kind::Name:
            for (size_t i = 0; i < m.size(); ++i)
                if (m[i].name == choice.name) {
                    Selection s;
                    s.index = static_cast<int>(i);
                    s.rect = m[i].rect;
                    s.reason = "monitor " + m[i].name + ", as chosen";
                    return s;
                }
            return by_default(layout, "the chosen monitor " + choice.name + " is not there");
        case Choice::Kind::Default:
            break;
    }
    return by_default(layout, "no monitor chosen");
}

std::string describe(const Monitor &m) {
    return m.name + " (" + std::to_string(m.rect.width) + "\u00d7" + std::to_string(m.rect.height) +
           ")";
}

}  // namespace ink::monitors
