#include "bus_holder.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "fmouse_sys.h"
#include "ink_time.h"

namespace {

constexpr const char *kAppName = "Vexor Driver";
constexpr const char *kReason = "Calibrating the pen";
// The session manager's inhibit flag that keeps the session from going idle
// (and so the screensaver from starting).
constexpr guint32 kIdleFlag = 8;

constexpr long kConnectMs = 3000;  // connecting to the bus, authentication included
constexpr long kCallMs = 3000;     // asking the bus for an owner, taking the inhibition
// Releasing: shorter than the 2 s the daemon gives inkwake to end once it has
// signalled the holder, so an answer that does not come costs no SIGTERM to
// inkwake.
constexpr long kReleaseMs = 1500;

struct Service {
    const char *name;
    const char *path;
    const char *iface;
    const char *release;  // the method that ends the inhibition (cookie)
    bool session_manager;
};

// In the order they are tried. The screensaver interface is served by most
// desktops (and by GNOME's session for compatibility); the session manager's
// is GNOME's own.
const Service kServices[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
     "UnInhibit", false},
    {"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
     "Uninhibit", true},
};
constexpr size_t kServiceCount = sizeof kServices / sizeof kServices[0];

enum class Step {
    Idle,        // nothing in flight, nothing held: only SIGTERM is awaited
    Connecting,  // the bus connection is being set up
    Asking,      // NameHasOwner for kServices[service]
    Inhibiting,  // Inhibit sent to kServices[service]
    Holding,     // kServices[service] granted cookie
    Releasing,   // the release of cookie is in flight
};

struct Holder {
    GMainLoop *loop = nullptr;
    GCancellable *connect_cancel = nullptr;
    guint connect_timeout = 0;
    bool connect_timed_out = false;
    GDBusConnection *bus = nullptr;
    bool closed = false;
    Step step = Step::Idle;
    size_t service = 0;
    guint32 cookie = 0;
    guint watch = 0;      // the owner changes of kServices[service]
    bool ending = false;  // SIGTERM has come
};

int call_timeout(long ms) {
    return static_cast<int>(ink::time::budget_ms(ms));
}

void quit(Holder &h) {
    g_main_loop_quit(h.loop);
}

// The connection is marked closed before the calls in flight fail and before
// its "closed" signal is emitted: a call that fails on a closed connection is
// not reported as the service's failure.
bool bus_closed(const Holder &h) {
    return h.closed || g_dbus_connection_is_closed(h.bus);
}

// The session bus as GLib finds it, but never started on demand: a bus that
// this inhibitor had launched would have no screensaver on it.
std::string session_bus_address() {
    const char *env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (env != nullptr && env[0] != '\0')
        return env;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] == '\0')
        return "";
    std::string socket = std::string(runtime) + "/bus";
    struct stat st;
    if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return "";
    gchar *escaped = g_dbus_address_escape_value(socket.c_str());
    std::string address = std::string("unix:path=") + escaped;
    g_free(escaped);
    return address;
}

void ask(Holder &h);

void on_released(GObject *source, GAsyncResult *res, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (reply != nullptr) {
        fmouse_msgf("inkwake: released the inhibition, cookie %u\n", h.cookie);
        g_variant_unref(reply);
    } else {
        fmouse_errf("inkwake: releasing the inhibition failed: %s\n", error->message);
        g_error_free(error);
    }
    h.step = Step::Idle;
    quit(h);
}

void release(Holder &h) {
    const Service &s = kServices[h.service];
    h.step = Step::Releasing;
    g_dbus_connection_call(h.bus, s.name, s.path, s.iface, s.release,
                           g_variant_new("(u)", h.cookie), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           call_timeout(kReleaseMs), nullptr, on_released, &h);
}

// What remains to do once SIGTERM has come and nothing is in flight.
void finish(Holder &h) {
    if (h.step == Step::Holding)
        release(h);
    else
        quit(h);
}

// The owner of the holder's service has changed: the one that granted the
// inhibition has left the bus, and the inhibition went with it. (Watched
// through the bus's own signal, subscribed to before Inhibit is sent, so
// that no departure after the grant is missed.)
void on_owner_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                      GVariant *args, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    const gchar *name, *old_owner, *new_owner;
    g_variant_get(args, "(&s&s&s)", &name, &old_owner, &new_owner);
    if (h.step != Step::Holding || h.closed || old_owner[0] == '\0')
        return;
    fmouse_msgf(
        "inkwake: %s has left the session bus: nothing inhibited now, waiting to be ended\n", name);
    h.step = Step::Idle;
}

void on_closed(GDBusConnection *, gboolean, GError *, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    if (h.closed)
        return;
    h.closed = true;
    fmouse_msg(
        "inkwake: the session bus connection has closed: nothing inhibited now, waiting to be "
        "ended\n");
    if (h.step == Step::Holding)
        h.step = Step::Idle;
}

void on_inhibited(GObject *source, GAsyncResult *res, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    const Service &s = kServices[h.service];
    if (reply == nullptr) {
        h.step = Step::Idle;
        g_dbus_connection_signal_unsubscribe(h.bus, h.watch);
        h.watch = 0;
        if (!bus_closed(h))
            fmouse_errf("inkwake: %s refused the inhibition: %s\n", s.name, error->message);
        g_error_free(error);
        if (h.ending) {
            quit(h);
            return;
        }
        ++h.service;
        ask(h);
        return;
    }
    g_variant_get(reply, "(u)", &h.cookie);
    g_variant_unref(reply);
    h.step = Step::Holding;
    fmouse_msgf("inkwake: inhibited through %s, cookie %u\n", s.name, h.cookie);
    if (h.ending)
        finish(h);
}

void inhibit(Holder &h) {
    const Service &s = kServices[h.service];
    GVariant *args = s.session_manager ? g_variant_new("(susu)", kAppName, 0u, kReason, kIdleFlag)
                                       : g_variant_new("(ss)", kAppName, kReason);
    h.step = Step::Inhibiting;
    h.watch = g_dbus_connection_signal_subscribe(
        h.bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        "/org/freedesktop/DBus", s.name, G_DBUS_SIGNAL_FLAGS_NONE, on_owner_changed, &h, nullptr);
    g_dbus_connection_call(h.bus, s.name, s.path, s.iface, "Inhibit", args, G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, call_timeout(kCallMs), nullptr,
                           on_inhibited, &h);
}

void on_owner(GObject *source, GAsyncResult *res, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    h.step = Step::Idle;
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    } else {
        if (!bus_closed(h))
            fmouse_errf("inkwake: the session bus does not say whether %s is there: %s\n",
                        kServices[h.service].name, error->message);
        g_error_free(error);
    }
    if (h.ending) {
        quit(h);
        return;
    }
    if (owned) {
        inhibit(h);
        return;
    }
    ++h.service;
    ask(h);
}

// Asks whether kServices[h.service] or a later one is on the bus. Only a
// service that is running is called: a call to one that is not could have the
// bus start it, only to be inhibited.
void ask(Holder &h) {
    if (bus_closed(h))
        return;
    if (h.service >= kServiceCount) {
        fmouse_msg(
            "inkwake: no screensaver service on the session bus: nothing inhibited, waiting to be "
            "ended\n");
        return;
    }
    h.step = Step::Asking;
    g_dbus_connection_call(h.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner",
                           g_variant_new("(s)", kServices[h.service].name), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NONE, call_timeout(kCallMs), nullptr, on_owner, &h);
}

gboolean on_connect_timeout(gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    h.connect_timeout = 0;
    h.connect_timed_out = true;
    g_cancellable_cancel(h.connect_cancel);
    return G_SOURCE_REMOVE;
}

void on_connected(GObject *, GAsyncResult *res, gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    if (h.connect_timeout != 0) {
        g_source_remove(h.connect_timeout);
        h.connect_timeout = 0;
    }
    GError *error = nullptr;
    h.bus = g_dbus_connection_new_for_address_finish(res, &error);
    h.step = Step::Idle;
    if (h.bus == nullptr) {
        if (!h.ending) {
            if (h.connect_timed_out)
                fmouse_err(
                    "inkwake: the session bus did not answer: nothing inhibited, waiting to be "
                    "ended\n");
            else
                fmouse_errf(
                    "inkwake: cannot connect to the session bus: %s: nothing inhibited, waiting "
                    "to be ended\n",
                    error->message);
        }
        g_error_free(error);
        if (h.ending)
            quit(h);
        return;
    }
    // The connection stays open for as long as the inhibition is held (a
    // service may drop the inhibitions of a connection that closes), and its
    // closing must not end the holder, which the daemon still has to find.
    g_dbus_connection_set_exit_on_close(h.bus, FALSE);
    g_signal_connect(h.bus, "closed", G_CALLBACK(on_closed), &h);
    if (h.ending) {
        quit(h);
        return;
    }
    ask(h);
}

void connect(Holder &h) {
    std::string address = session_bus_address();
    if (address.empty()) {
        fmouse_msg("inkwake: no session bus: nothing inhibited, waiting to be ended\n");
        return;
    }
    h.step = Step::Connecting;
    h.connect_cancel = g_cancellable_new();
    h.connect_timeout =
        g_timeout_add(static_cast<guint>(ink::time::budget_ms(kConnectMs)), on_connect_timeout, &h);
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, h.connect_cancel, on_connected, &h);
}

gboolean on_sigterm(gpointer data) {
    Holder &h = *static_cast<Holder *>(data);
    if (h.ending)
        return G_SOURCE_CONTINUE;
    h.ending = true;
    switch (h.step) {
        case Step::Inhibiting:
            // The service may grant it still: its answer brings the cookie to
            // release (within the call's timeout).
        case Step::Releasing:
            break;
        case Step::Connecting:
            g_cancellable_cancel(h.connect_cancel);
            quit(h);
            break;
        default:
            finish(h);
            break;
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

int run_bus_holder() {
    Holder h;
    h.loop = g_main_loop_new(nullptr, FALSE);
    // The handler first, then SIGTERM unblocked: one that came since the fork
    // is taken now.
    signal(SIGTERM, SIG_DFL);
    g_unix_signal_add(SIGTERM, on_sigterm, &h);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);

    connect(h);
    g_main_loop_run(h.loop);
    return 0;
}
