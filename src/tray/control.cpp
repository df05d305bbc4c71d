#include "control.h"

#include <gtk/gtk.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>

#include "ctl_socket.h"
#include "fmouse_sys.h"
#include "ink_time.h"
#include "monitors.h"
#include "screen_area.h"

namespace {

namespace mon = ink::monitors;

constexpr size_t kMaxLine = 256;  // a request longer than this is refused
constexpr long kIdleMs = 2000;    // a connection silent this long is closed
constexpr size_t kMaxClients = 8;
constexpr int kBacklog = 8;

struct Client {
    int fd = -1;
    guint watch = 0;
    guint timer = 0;
    std::string buf;
};

int listen_fd = -1;
guint listen_watch = 0;
std::string sock_path;
dev_t sock_dev = 0;
ino_t sock_ino = 0;
std::list<Client> clients;

// A request as the debug output shows it: printable ASCII only, shortened.
std::string printable(const std::string &s) {
    std::string out;
    for (char c : s.substr(0, 64))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (s.size() > 64)
        out += "...";
    return out;
}

sockaddr_un address(const std::string &path) {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return addr;
}

// Connection ended: its sources go (the one that is running returns FALSE,
// so it is not removed twice) and the client is forgotten.
void drop(std::list<Client>::iterator it, bool from_watch, bool from_timer) {
    if (it->watch != 0 && !from_watch)
        g_source_remove(it->watch);
    if (it->timer != 0 && !from_timer)
        g_source_remove(it->timer);
    close(it->fd);
    clients.erase(it);
}

// The answer, in one go: never waits on a client that does not read (the
// answers are far smaller than a socket's buffer).
void answer(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

std::string rect_text(const mon::Rect &r) {
    return std::to_string(r.width) + "x" + std::to_string(r.height) + "+" + std::to_string(r.x) +
           "+" + std::to_string(r.y);
}

std::string screen_list() {
    const ScreenArea &a = screen_area_update();
    std::string out;
    const auto &mons = a.layout.monitors;
    for (size_t i = 0; i < mons.size(); ++i)
        out += std::to_string(i) + " " + mons[i].name + " " + rect_text(mons[i].rect) +
               (static_cast<int>(i) == a.chosen.index ? " *" : "") + "\n";
    out += "all " + rect_text(a.layout.screen) + (a.chosen.index < 0 ? " *" : "") + "\n";
    return out + ".\n";
}

// A new choice, written as the Screen submenu writes it: a monitor by its
// name, or by its place when names repeat. The next tick takes it up.
std::string screen_set(const std::string &arg) {
    const ScreenArea &a = screen_area_update();
    const auto &mons = a.layout.monitors;
    mon::Choice c;
    if (arg == "all") {
        c.kind = mon::Choice::Kind::All;
    } else {
        int found = -1;
        if (arg.find_first_not_of("0123456789") == std::string::npos && arg.size() <= 4) {
            int n = std::atoi(arg.c_str());
            if (n < static_cast<int>(mons.size()))
                found = n;
        } else {
            for (size_t i = 0; i < mons.size() && found < 0; ++i)
                if (mons[i].name == arg)
                    found = static_cast<int>(i);
        }
        if (found < 0)
            return "refused there is no monitor " + arg + "\n";
        bool unique = true;
        for (size_t i = 0; i < mons.size(); ++i)
            if (static_cast<int>(i) != found && mons[i].name == mons[found].name)
                unique = false;
        c.kind = unique ? mon::Choice::Kind::Name : mon::Choice::Kind::Index;
        c.index = found;
        c.name = mons[found].name;
    }
    std::string err;
    if (!mon::write_choice(mon::choice_path(), c, &err)) {
        fmouse_errf("screen choice not saved: %s\n", err.c_str());
        return "refused the choice was not saved: " + err + "\n";
    }
    fmouse_msgf("screen chosen: %s\n", mon::format_choice(c).c_str());
    return "ok\n";
}

std::string menu(MenuRequest r) {
    return control_menu_request(r) + "\n";
}

std::string handle(const std::string &line) {
    if (line == "status")
        return menu(MenuRequest::Status);
    if (line == "calibrate normal")
        return menu(MenuRequest::CalibrateNormal);
    if (line == "calibrate advanced")
        return menu(MenuRequest::CalibrateAdvanced);
    if (line == "about")
        return menu(MenuRequest::About);
    if (line == "screen list")
        return screen_list();
    const std::string screen = "screen ";
    if (line.compare(0, screen.size(), screen) == 0 && line.size() > screen.size())
        return screen_set(line.substr(screen.size()));
    return "refused unknown request\n";
}

gboolean on_idle(gpointer data) {
    auto *c = static_cast<Client *>(data);
    for (auto it = clients.begin(); it != clients.end(); ++it)
        if (&*it == c) {
            fmouse_msg("control: a connection sent no request, closed\n");
            drop(it, false, true);
            break;
        }
    return FALSE;
}

// Reads what has come; a whole line (or the end of the client's writing) is
// one request, answered at once.
gboolean on_client(GIOChannel *, GIOCondition, gpointer data) {
    auto *c = static_cast<Client *>(data);
    auto it = clients.begin();
    while (it != clients.end() && &*it != c)
        ++it;
    if (it == clients.end())
        return FALSE;
    char buf[kMaxLine + 1];
    ssize_t r = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return TRUE;
    if (r > 0)
        c->buf.append(buf, static_cast<size_t>(r));
    size_t nl = c->buf.find('\n');
    if (nl == std::string::npos && r > 0 && c->buf.size() <= kMaxLine)
        return TRUE;  // more to come
    bool too_long = nl == std::string::npos ? c->buf.size() > kMaxLine : nl > kMaxLine;
    if (too_long) {
        fmouse_msg("control: request too long, refused\n");
        answer(c->fd, "refused request too long\n");
    } else if (nl != std::string::npos || (r == 0 && !c->buf.empty())) {
        std::string line = c->buf.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        fmouse_msgf("control: %s\n", printable(line).c_str());
        // The answer may take a while (a calibrate item pauses); the client
        // waits for it.
        answer(c->fd, handle(line));
    }
    drop(it, true, false);
    return FALSE;
}

gboolean on_listen(GIOChannel *, GIOCondition, gpointer) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return TRUE;
    struct ucred cred {
        0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)
    };
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) {
        fmouse_errf("control: connection of another user (uid %d) closed\n",
                    static_cast<int>(cred.uid));
        close(fd);
        return TRUE;
    }
    if (clients.size() >= kMaxClients) {
        fmouse_err("control: too many connections, one closed\n");
        close(fd);
        return TRUE;
    }
    clients.emplace_back();
    Client &c = clients.back();
    c.fd = fd;
    GIOChannel *ch = g_io_channel_unix_new(fd);
    c.watch =
        g_io_add_watch(ch, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_client, &c);
    g_io_channel_unref(ch);  // the watch holds it
    c.timer = g_timeout_add(static_cast<guint>(ink::time::budget_ms(kIdleMs)), on_idle, &c);
    return TRUE;
}

// A socket file left at the name: true when a tray answers on it. One that
// accepts no more connections just now (its queue is full) is alive too.
bool alive(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr = address(path);
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return live;
}

}  // namespace

void control_start() {
    const char *display = std::getenv("DISPLAY");
    std::string err;
    std::string path = ink::ctl::socket_path(display ? display : "", true, &err);
    if (path.empty()) {
        fmouse_errf("control socket not served: %s\n", err.c_str());
        return;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISSOCK(st.st_mode) && alive(path)) {
            fmouse_errf(
                "control socket %s: another inktray of this display serves it; "
                "not served\n",
                path.c_str());
            return;
        }
        if (unlink(path.c_str()) != 0) {
            fmouse_errf("control socket %s: cannot remove the old file: %s\n", path.c_str(),
                        std::strerror(errno));
            return;
        }
        fmouse_msgf("control socket %s: the old one of a tray that has gone replaced\n",
                    path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fmouse_errf("control socket %s: %s\n", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return;
    }
    // The directory is the user's alone already; the socket is too.
    if (chmod(path.c_str(), 0600) != 0 || lstat(path.c_str(), &st) != 0 ||
        listen(fd, kBacklog) != 0) {
        fmouse_errf("control socket %s: %s\n", path.c_str(), std::strerror(errno));
        unlink(path.c_str());
        close(fd);
        return;
    }
    listen_fd = fd;
    sock_path = path;
    sock_dev = st.st_dev;
    sock_ino = st.st_ino;
    GIOChannel *ch = g_io_channel_unix_new(fd);
    listen_watch = g_io_add_watch(ch, G_IO_IN, on_listen, nullptr);
    g_io_channel_unref(ch);
    fmouse_msgf("control socket %s served\n", path.c_str());
}

void control_stop() {
    while (!clients.empty())
        drop(clients.begin(), false, false);
    if (listen_fd < 0)
        return;
    if (listen_watch != 0)
        g_source_remove(listen_watch);
    listen_watch = 0;
    close(listen_fd);
    listen_fd = -1;
    // Only our own socket: a later tray may have replaced it meanwhile.
    struct stat st;
    if (lstat(sock_path.c_str(), &st) == 0 && st.st_dev == sock_dev && st.st_ino == sock_ino)
        unlink(sock_path.c_str());
}
