#include "notice.h"

#include "fmouse_sys.h"
#include "tray_images.h"

namespace {

// Enough for the bus to start an activatable server, which it may have to
// do first.
constexpr int kNoticeCallMs = 10000;
constexpr const char *kAppName = "Vexor Driver";
// The pen's icon by name, for servers that show the application's icon; the
// picture itself goes in the "image-data" hint.
constexpr const char *kAppIcon = "vexor-driver";
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

void (*bus_ready)(GDBusConnection *) = nullptr;

void on_bus(GObject *, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    bus = g_bus_get_finish(res, &error);
    if (bus == nullptr) {
        fmouse_msgf("no session bus: %s\n", error->message);
        g_error_free(error);
        return;
    }
    // The bus ending is no reason for the tray to end.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    if (bus_ready != nullptr)
        bus_ready(bus);
}

void on_notify(GObject *source, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (reply == nullptr) {
        if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN))
            fmouse_msg("no notification server: no notice\n");
        else
            fmouse_msgf("notice not shown: %s\n", error->message);
        g_error_free(error);
        return;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    fmouse_msgf("notice shown (%u)\n", id);
}

// The pen's picture in the notice's "image-data" hint: width, height, row
// stride, alpha, bits per sample, channels, then the RGB(A) rows.
GVariant *image_data(const unsigned char *record) {
    GdkPixbuf *pb = pixbuf_from_inline(record);
    int h = gdk_pixbuf_get_height(pb), stride = gdk_pixbuf_get_rowstride(pb);
    int n = gdk_pixbuf_get_n_channels(pb);
    gsize len =
        static_cast<gsize>(stride) * (h - 1) +
        static_cast<gsize>(gdk_pixbuf_get_width(pb)) * n * gdk_pixbuf_get_bits_per_sample(pb) / 8;
    GVariant *data =
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, gdk_pixbuf_get_pixels(pb), len, 1);
    GVariant *v =
        g_variant_new("(iiibii@ay)", gdk_pixbuf_get_width(pb), h, stride,
                      gdk_pixbuf_get_has_alpha(pb), gdk_pixbuf_get_bits_per_sample(pb), n, data);
    g_object_unref(pb);
    return v;
}

}  // namespace

void tray_bus_connect(void (*ready)(GDBusConnection *)) {
    if (bus_looked_for)
        return;
    bus_looked_for = true;
    bus_ready = ready;
    if (!session_names_a_bus()) {
        fmouse_msg("no session bus\n");
        return;
    }
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_bus, nullptr);
}

GDBusConnection *tray_session_bus() {
    return bus;
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
    // The bus may start a notification server that is only activatable; the
    // call is asynchronous and bounded, so a server that never comes holds
    // nothing up.
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "image-data", image_data(icon0));
    g_dbus_connection_call(conn, kNotifyName, kNotifyPath, kNotifyName, "Notify",
                           g_variant_new("(susssasa{sv}i)", kAppName, 0u, kAppIcon, summary, body,
                                         &actions, &hints, -1),
                           G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kNoticeCallMs, nullptr,
                           on_notify, nullptr);
}
