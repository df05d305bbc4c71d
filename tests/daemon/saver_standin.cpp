// Stand-in for a desktop service that cannot run here: the screensaver
// service (org.freedesktop.ScreenSaver) or GNOME's session manager
// (org.gnome.SessionManager). It owns the name on the test's private session
// bus, serves Inhibit and its release there, and records each call.
//
//   inkwake_saver_standin screensaver|session LOG COOKIE [--refuse]
//
// Every call appends a line to LOG: "<method> <arguments> from <caller's pid>",
// e.g. "Inhibit ('Vexor Driver', 'Calibrating the pen') from 1234". Inhibit
// answers COOKIE, or with --refuse an error. "ready" goes to standard output
// once the name is owned. It runs until killed; it never connects to any bus
// but the one DBUS_SESSION_BUS_ADDRESS names.
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Standin {
    const char *name;
    const char *path;
    const char *xml;
};

const Standin kScreensaver = {
    "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
    "<node><interface name='org.freedesktop.ScreenSaver'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='UnInhibit'><arg type='u' direction='in'/></method>"
    "</interface></node>"};

const Standin kSession = {
    "org.gnome.SessionManager", "/org/gnome/SessionManager",
    "<node><interface name='org.gnome.SessionManager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='Uninhibit'><arg type='u' direction='in'/></method>"
    "</interface></node>"};

const Standin *standin;
const char *log_path;
guint32 cookie;
bool refuse;

guint32 pid_of(GDBusConnection *bus, const char *sender) {
    GVariant *r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
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

void on_call(GDBusConnection *bus, const gchar *sender, const gchar *, const gchar *,
             const gchar *method, GVariant *args, GDBusMethodInvocation *call, gpointer) {
    gchar *printed = g_variant_print(args, FALSE);
    FILE *f = std::fopen(log_path, "a");
    if (f != nullptr) {
        std::fprintf(f, "%s %s from %u\n", method, printed, pid_of(bus, sender));
        std::fclose(f);
    }
    g_free(printed);
    if (std::strcmp(method, "Inhibit") == 0) {
        if (refuse)
            g_dbus_method_invocation_return_dbus_error(
                call, "org.freedesktop.DBus.Error.AccessDenied", "inhibition refused");
        else
            g_dbus_method_invocation_return_value(call, g_variant_new("(u)", cookie));
    } else {
        g_dbus_method_invocation_return_value(call, nullptr);
    }
}

void on_acquired(GDBusConnection *, const gchar *, gpointer) {
    std::printf("ready\n");
    std::fflush(stdout);
}

void on_lost(GDBusConnection *, const gchar *name, gpointer) {
    std::fprintf(stderr, "saver_standin: lost %s\n", name);
    std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 ||
        (std::strcmp(argv[1], "screensaver") != 0 && std::strcmp(argv[1], "session") != 0)) {
        std::fprintf(stderr, "usage: %s screensaver|session LOG COOKIE [--refuse]\n", argv[0]);
        return 2;
    }
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || address[0] == '\0') {
        std::fprintf(stderr, "saver_standin: no private bus given\n");
        return 2;
    }
    standin = std::strcmp(argv[1], "screensaver") == 0 ? &kScreensaver : &kSession;
    log_path = argv[2];
    cookie = static_cast<guint32>(std::strtoul(argv[3], nullptr, 10));
    refuse = argc > 4 && std::strcmp(argv[4], "--refuse") == 0;

    GError *error = nullptr;
    GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (bus == nullptr) {
        std::fprintf(stderr, "saver_standin: %s\n", error->message);
        return 1;
    }
    GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(standin->xml, nullptr);
    static const GDBusInterfaceVTable vtable = {on_call, nullptr, nullptr, {}};
    g_dbus_connection_register_object(bus, standin->path, node->interfaces[0], &vtable, nullptr,
                                      nullptr, nullptr);
    g_bus_own_name_on_connection(bus, standin->name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                 on_acquired, on_lost, nullptr, nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
    return 0;
}
