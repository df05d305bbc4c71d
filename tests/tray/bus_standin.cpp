// Stand-ins for desktop components that cannot run in the tests, served on
// the test's private session bus. Each records the calls it gets on standard
// output, one line a call, fields separated by tabs:
//
//   bus_standin watcher        org.kde.StatusNotifierWatcher, the panel's
//                              registry of StatusNotifierItems (a host is
//                              said to be there); records
//                              "RegisterStatusNotifierItem <sender> <argument>"
//   bus_standin watcher-without-host
//                              the same, with no host until SIGUSR1 registers
//                              one and SIGUSR2 takes it away again (each
//                              said with its signal; recorded as "host 1"
//                              and "host 0")
//   bus_standin notifications  org.freedesktop.Notifications; records
//                              "Notify <app> <replaces> <icon> <summary> <body>
//                              <timeout>", then, when the call has the hint,
//                              "image-data <width> <height> <rowstride>
//                              <has alpha> <bits> <channels> <bytes in hex>"
//   bus_standin screensaver|session RECORD COOKIE [--refuse]
//                              org.freedesktop.ScreenSaver or GNOME's
//                              org.gnome.SessionManager: Inhibit answers
//                              COOKIE (with --refuse an error); records in
//                              RECORD "<method> <arguments> from <caller's
//                              pid>", e.g. "Inhibit ('Vexor Driver',
//                              'Calibrating the pen') from 1234"
//
// A further argument names a file to record in instead of standard output
// (for a stand-in that the bus starts itself). "ready" is printed on
// standard output once the name is owned. Ends on SIGTERM.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *kWatcherXml = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>)";

const char *kNotificationsXml = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
  </interface>
</node>)";

const char *kScreensaverXml =
    "<node><interface name='org.freedesktop.ScreenSaver'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='UnInhibit'><arg type='u' direction='in'/></method>"
    "</interface></node>";

const char *kSessionXml =
    "<node><interface name='org.gnome.SessionManager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='Uninhibit'><arg type='u' direction='in'/></method>"
    "</interface></node>";

struct Mode {
    const char *bus_name;
    const char *path;
    const char *xml;
};

GMainLoop *loop = nullptr;
std::string registered;  // the last item registered with the watcher
bool host = true;        // the watcher says a host is registered
GDBusConnection *bus = nullptr;
guint32 next_id = 1;
bool inhibitor = false;  // a screensaver or session stand-in
guint32 cookie = 0;
bool refuse = false;

FILE *out = stdout;

void record(const std::string &line) {
    std::fputs((line + "\n").c_str(), out);
    std::fflush(out);
}

void record_image(GVariant *hints) {
    GVariant *img = g_variant_lookup_value(hints, "image-data", G_VARIANT_TYPE("(iiibiiay)"));
    if (img == nullptr)
        return;
    gint32 w, h, stride, bits, channels;
    gboolean alpha;
    GVariant *data = nullptr;
    g_variant_get(img, "(iiibii@ay)", &w, &h, &stride, &alpha, &bits, &channels, &data);
    gsize n = 0;
    auto *bytes = static_cast<const guint8 *>(g_variant_get_fixed_array(data, &n, 1));
    std::string hex;
    char buf[3];
    for (gsize i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        hex += buf;
    }
    record("image-data\t" + std::to_string(w) + "\t" + std::to_string(h) + "\t" +
           std::to_string(stride) + "\t" + std::to_string(alpha) + "\t" + std::to_string(bits) +
           "\t" + std::to_string(channels) + "\t" + hex);
    g_variant_unref(data);
    g_variant_unref(img);
}

guint32 pid_of(GDBusConnection *conn, const char *sender) {
    GVariant *r = g_dbus_connection_call_sync(conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    guint32 pid = 0;
    if (r != nullptr) {
        g_variant_get(r, "(u)", &pid);
        g_variant_unref(r);
    }
    return pid;
}

void on_call(GDBusConnection *conn, const gchar *sender, const gchar *path, const gchar *iface,
             const gchar *method, GVariant *params, GDBusMethodInvocation *inv, gpointer) {
    if (inhibitor) {
        gchar *printed = g_variant_print(params, FALSE);
        record(std::string(method) + " " + printed + " from " +
               std::to_string(pid_of(conn, sender)));
        g_free(printed);
        if (std::strcmp(method, "Inhibit") != 0)
            g_dbus_method_invocation_return_value(inv, nullptr);
        else if (refuse)
            g_dbus_method_invocation_return_dbus_error(
                inv, "org.freedesktop.DBus.Error.AccessDenied", "inhibition refused");
        else
            g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", cookie));
    } else if (std::strcmp(method, "RegisterStatusNotifierItem") == 0) {
        const gchar *service = nullptr;
        g_variant_get(params, "(&s)", &service);
        // A bus name, or an object path under the caller's own name.
        registered = service[0] == '/' ? std::string(sender) + service : std::string(service);
        record(std::string("RegisterStatusNotifierItem\t") + sender + "\t" + service);
        g_dbus_connection_emit_signal(conn, nullptr, path, iface, "StatusNotifierItemRegistered",
                                      g_variant_new("(s)", registered.c_str()), nullptr);
        g_dbus_method_invocation_return_value(inv, nullptr);
    } else if (std::strcmp(method, "RegisterStatusNotifierHost") == 0) {
        g_dbus_method_invocation_return_value(inv, nullptr);
    } else if (std::strcmp(method, "Notify") == 0) {
        const gchar *app, *icon, *summary, *body;
        guint32 replaces;
        gint32 timeout;
        GVariant *hints = nullptr;
        g_variant_get(params, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary, &body,
                      nullptr, &hints, &timeout);
        record(std::string("Notify\t") + app + "\t" + std::to_string(replaces) + "\t" + icon +
               "\t" + summary + "\t" + body + "\t" + std::to_string(timeout));
        record_image(hints);
        g_variant_unref(hints);
        g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", next_id++));
    } else if (std::strcmp(method, "GetCapabilities") == 0) {
        const gchar *caps[] = {"body", nullptr};
        g_dbus_method_invocation_return_value(inv, g_variant_new("(^as)", caps));
    } else if (std::strcmp(method, "GetServerInformation") == 0) {
        g_dbus_method_invocation_return_value(
            inv, g_variant_new("(ssss)", "stand-in", "tests", "1", "1.2"));
    } else {
        g_dbus_method_invocation_return_value(inv, nullptr);
    }
}

GVariant *on_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                 const gchar *property, GError **, gpointer) {
    if (std::strcmp(property, "RegisteredStatusNotifierItems") == 0) {
        const gchar *none[] = {nullptr};
        const gchar *one[] = {registered.c_str(), nullptr};
        return g_variant_new_strv(registered.empty() ? none : one, -1);
    }
    if (std::strcmp(property, "IsStatusNotifierHostRegistered") == 0)
        return g_variant_new_boolean(host);
    return g_variant_new_int32(0);
}

const GDBusInterfaceVTable kVtable = {on_call, on_get, nullptr, {}};

void on_bus(GDBusConnection *conn, const gchar *, gpointer data) {
    bus = conn;
    const Mode *m = static_cast<const Mode *>(data);
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(m->xml, nullptr);
    g_dbus_connection_register_object(conn, m->path, info->interfaces[0], &kVtable, nullptr,
                                      nullptr, nullptr);
    g_dbus_node_info_unref(info);
}

void on_name(GDBusConnection *, const gchar *, gpointer) {
    std::puts("ready");
    std::fflush(stdout);
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer) {
    record(std::string("lost\t") + name);
    g_main_loop_quit(loop);
}

// A host registers (SIGUSR1) or goes (SIGUSR2), as a watcher says it.
gboolean on_host(gpointer now) {
    host = now != nullptr;
    record(std::string("host\t") + (host ? "1" : "0"));
    g_dbus_connection_emit_signal(
        bus, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
        host ? "StatusNotifierHostRegistered" : "StatusNotifierHostUnregistered", nullptr, nullptr);
    return TRUE;
}

gboolean on_term(gpointer) {
    g_main_loop_quit(loop);
    return FALSE;
}

}  // namespace

int main(int argc, char **argv) {
    static const Mode kWatcher{"org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                               kWatcherXml};
    static const Mode kNotifications{"org.freedesktop.Notifications",
                                     "/org/freedesktop/Notifications", kNotificationsXml};
    static const Mode kScreensaver{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                   kScreensaverXml};
    static const Mode kSession{"org.gnome.SessionManager", "/org/gnome/SessionManager",
                               kSessionXml};
    const Mode *m = nullptr;
    if ((argc == 4 || argc == 5) &&
        (std::strcmp(argv[1], "screensaver") == 0 || std::strcmp(argv[1], "session") == 0)) {
        m = std::strcmp(argv[1], "screensaver") == 0 ? &kScreensaver : &kSession;
        inhibitor = true;
        cookie = static_cast<guint32>(std::strtoul(argv[3], nullptr, 10));
        refuse = argc == 5 && std::strcmp(argv[4], "--refuse") == 0;
    } else if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "watcher") == 0)
        m = &kWatcher;
    else if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "watcher-without-host") == 0)
        m = &kWatcher, host = false;
    else if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "notifications") == 0)
        m = &kNotifications;
    if (m == nullptr) {
        std::fputs(
            "usage: bus_standin watcher|watcher-without-host|notifications [record file]\n"
            "       bus_standin screensaver|session RECORD COOKIE [--refuse]\n",
            stderr);
        return 2;
    }
    if (argc >= 3 && (out = std::fopen(argv[2], "a")) == nullptr) {
        std::perror(argv[2]);
        return 2;
    }
    loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, on_term, nullptr);
    g_unix_signal_add(SIGUSR1, on_host, GINT_TO_POINTER(1));
    g_unix_signal_add(SIGUSR2, on_host, nullptr);
    g_bus_own_name(G_BUS_TYPE_SESSION, m->bus_name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, on_bus,
                   on_name, on_name_lost, const_cast<Mode *>(m), nullptr);
    g_main_loop_run(loop);
    return 0;
}
