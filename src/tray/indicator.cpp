#include "indicator.h"

#include <glib/gstdio.h>
#include <libayatana-appindicator/app-indicator.h>

#include <initializer_list>

#include "fmouse_sys.h"
#include "notice.h"
#include "tray_images.h"

namespace {

constexpr const char *kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char *kId = "vexor-driver";
constexpr const char *kTitle = "Vexor Driver";
// Icon names; the host finds the files in the item's icon theme path.
constexpr const char *kConnectedIcon = "vexor-driver-connected";
constexpr const char *kUnconnectedIcon = "vexor-driver-unconnected";

AppIndicator *indicator = nullptr;
gchar *icon_dir = nullptr;  // private directory of the two pictures
bool connected_now = false;
GtkStatusIcon *(*make_fallback)() = nullptr;

// The library's own stand-in status icon, made when the watcher goes, reads
// past its icon search path and crashes the program (AddressSanitizer shows
// it; without it the read may go unnoticed). The program's own status icon
// stands in instead, with its handlers and the same menu.
GtkStatusIcon *fallback_icon(AppIndicator *) {
    GtkStatusIcon *icon = make_fallback != nullptr ? make_fallback() : nullptr;
    if (icon != nullptr) {
        GdkPixbuf *pb = pixbuf_from_inline(connected_now ? icon0 : icon1);
        gtk_status_icon_set_from_pixbuf(icon, pb);
        g_object_unref(pb);
    }
    return icon;
}

// A watcher is back: the item shows there again, the status icon is hidden
// (it stays the program's, to show again should the watcher go once more).
void unfallback_icon(AppIndicator *, GtkStatusIcon *icon) {
    if (icon != nullptr)
        gtk_status_icon_set_visible(icon, FALSE);
}

bool write_icon(const char *name, const unsigned char *record) {
    gchar *file = g_strdup_printf("%s/%s.png", icon_dir, name);
    GdkPixbuf *pb = pixbuf_from_inline(record);
    GError *error = nullptr;
    bool ok = gdk_pixbuf_save(pb, file, "png", &error, nullptr) != FALSE;
    if (!ok) {
        fmouse_errf("tray picture %s not written: %s\n", file, error->message);
        g_error_free(error);
    }
    g_object_unref(pb);
    g_free(file);
    return ok;
}

// The host reads pictures by name from files: the compiled-in ones are
// written to a directory of this user only, removed again at the end.
bool write_icons() {
    GError *error = nullptr;
    icon_dir = g_dir_make_tmp("inktray-XXXXXX", &error);
    if (icon_dir == nullptr) {
        fmouse_errf("no directory for the tray pictures: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    if (write_icon(kConnectedIcon, icon0) && write_icon(kUnconnectedIcon, icon1))
        return true;
    indicator_remove_files();
    return false;
}

void on_connection_changed(AppIndicator *, gboolean connected, gpointer) {
    if (connected)
        fmouse_msg("tray icon shown as a status notifier item\n");
    else
        fmouse_msg("status notifier watcher gone: tray icon in the system tray\n");
}

}  // namespace

bool indicator_create(GtkWidget *menu, GtkStatusIcon *(*fallback)()) {
    GDBusConnection *bus = tray_session_bus();
    if (bus == nullptr || !tray_bus_name_owned(bus, kWatcherName))
        return false;
    if (!write_icons())
        return false;
    make_fallback = fallback;
    // Kept for the life of the program: the class's stand-in functions.
    auto *klass = static_cast<AppIndicatorClass *>(g_type_class_ref(APP_INDICATOR_TYPE));
    klass->fallback = fallback_icon;
    klass->unfallback = unfallback_icon;
    indicator = app_indicator_new_with_path(kId, kUnconnectedIcon, APP_INDICATOR_CATEGORY_HARDWARE,
                                            icon_dir);
    app_indicator_set_title(indicator, kTitle);
    app_indicator_set_icon_full(indicator, kUnconnectedIcon, kTitle);
    app_indicator_set_menu(indicator, GTK_MENU(menu));
    app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
    g_signal_connect(indicator, APP_INDICATOR_SIGNAL_CONNECTION_CHANGED,
                     G_CALLBACK(on_connection_changed), nullptr);
    fmouse_msg("status notifier watcher found: tray icon as a status notifier item\n");
    return true;
}

bool indicator_active() {
    return indicator != nullptr;
}

void indicator_set_connected(bool connected) {
    connected_now = connected;
    if (indicator == nullptr)
        return;
    // The item lives on the session bus (the library's connection is this
    // one). Once the bus has gone the item shows nothing, the program's own
    // status icon carries the state, and the library would only warn at
    // every change that it cannot tell the bus.
    GDBusConnection *bus = tray_session_bus();
    if (bus == nullptr || g_dbus_connection_is_closed(bus))
        return;
    const char *name = connected ? kConnectedIcon : kUnconnectedIcon;
    app_indicator_set_icon_full(indicator, name, kTitle);
}

void indicator_remove_files() {
    if (icon_dir == nullptr)
        return;
    for (const char *name : {kConnectedIcon, kUnconnectedIcon}) {
        gchar *file = g_strdup_printf("%s/%s.png", icon_dir, name);
        g_remove(file);
        g_free(file);
    }
    g_rmdir(icon_dir);
    g_free(icon_dir);
    icon_dir = nullptr;
}
