#include "notice.h"

#include "fmouse_sys.h"

namespace {

constexpr int kConnectMs = 1000;  // connecting and authenticating to the bus
constexpr int kCallMs = 1000;     // a call at start-up, before the main loop runs
constexpr int kNoticeCallMs = 3000;
constexpr const char *kAppName = "Vexor Driver";
constexpr const char *kNotifyName = "org.freedesktop.Notifications";
constexpr const char *kNotifyPath = "/org/freedesktop/Notifications";

bool bus_looked_for = false;
GDBusConnection *bus = nullptr;
bool notice_sent = false;

bool session_names_a_bus() {
    const char *addr = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (addr != nullptr && *addr != '\0')
        return true;
    gchar *sock = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
    bool there = g_file_test(sock, G_FILE_TEST_EXISTS);
    g_free(sock);
    return there;
}

struct BusWait {
    GDBusConnection *conn = nullptr;
    GError *error = nullptr;
    bool done = false;
};

void on_bus(GObject *, GAsyncResult *res, gpointer data) {
    auto *w = static_cast<BusWait *>(data);
    w->conn = g_bus_get_finish(res, &w->error);
    w->done = true;
}

gboolean on_connect_timeout(gpointer data) {
    g_cancellable_cancel(static_cast<GCancellable *>(data));
    return FALSE;
}

// Connects with a bounded wait: gives up after kConnectMs, since a bus that
// accepts the connection but never answers would otherwise hold the start-up
// for ever. Called before the main loop runs, and before the program's own
// timers exist, so that only GDK's events are dispatched meanwhile; the
// connection belongs to the main context, where its closing is seen.
GDBusConnection *connect_bounded() {
    GCancellable *cancel = g_cancellable_new();
    guint timer = g_timeout_add(kConnectMs, on_connect_timeout, cancel);
    BusWait w;
    g_bus_get(G_BUS_TYPE_SESSION, cancel, on_bus, &w);
    while (!w.done)
        g_main_context_iteration(nullptr, TRUE);
    if (!g_cancellable_is_cancelled(cancel))
        g_source_remove(timer);
    g_object_unref(cancel);
    if (w.conn == nullptr) {
        fmouse_msgf("no session bus: %s\n", w.error != nullptr ? w.error->message : "?");
        g_clear_error(&w.error);
    }
    return w.conn;
}

void on_notify(GObject *source, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (reply == nullptr) {
        fmouse_msgf("notice not shown: %s\n", error->message);
        g_error_free(error);
        return;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    fmouse_msgf("notice shown (%u)\n", id);
}

struct Notice {
    gchar *summary;
    gchar *body;
};

void on_server_owner(GObject *source, GAsyncResult *res, gpointer data) {
    auto *n = static_cast<Notice *>(data);
    GDBusConnection *conn = G_DBUS_CONNECTION(source);
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(conn, res, &error);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    } else {
        fmouse_msgf("no notice: %s\n", error->message);
        g_error_free(error);
    }
    if (reply != nullptr && !owned)
        fmouse_msg("no notification server: no notice\n");
    if (owned) {
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_dbus_connection_call(conn, kNotifyName, kNotifyPath, kNotifyName, "Notify",
                               g_variant_new("(susssasa{sv}i)", kAppName, 0u, "", n->summary,
                                             n->body, &actions, &hints, -1),
                               G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                               kNoticeCallMs, nullptr, on_notify, nullptr);
    }
    g_free(n->summary);
    g_free(n->body);
    delete n;
}

}  // namespace

GDBusConnection *tray_session_bus() {
    if (!bus_looked_for) {
        bus_looked_for = true;
        if (session_names_a_bus())
            bus = connect_bounded();
        else
            fmouse_msg("no session bus\n");
        // The bus ending is no reason for the tray to end.
        if (bus != nullptr)
            g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    return bus;
}

bool tray_bus_name_owned(GDBusConnection *conn, const char *name) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(
        conn, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        kCallMs, nullptr, &error);
    if (reply == nullptr) {
        fmouse_msgf("%s not asked for: %s\n", name, error->message);
        g_error_free(error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned != FALSE;
}

void notice_send_once(const char *summary, const char *body) {
    if (notice_sent)
        return;
    notice_sent = true;
    GDBusConnection *conn = tray_session_bus();
    if (conn == nullptr || g_dbus_connection_is_closed(conn)) {
        fmouse_msg("no session bus: no notice\n");
        return;
    }
    auto *n = new Notice{g_strdup(summary), g_strdup(body)};
    g_dbus_connection_call(conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner",
                           g_variant_new("(s)", kNotifyName), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NONE, kNoticeCallMs, nullptr, on_server_owner, n);
}
