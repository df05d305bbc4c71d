#include "status_notifier_item.h"

#include <glib/gstdio.h>

#include <initializer_list>
#include <utility>

#include "dbus_menu.h"
#include "fmouse_sys.h"
#include "menu_popup.h"
#include "notice.h"
#include "status_notifier_dbus.h"
#include "tray_images.h"

namespace {

constexpr const char *kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char *kWatcherPath = "/StatusNotifierWatcher";
constexpr const char *kItemPath = "/StatusNotifierItem";
constexpr const char *kMenuPath = "/MenuBar";
constexpr int kCallMs = 5000;  // asynchronous: only bounds a watcher that never answers
constexpr const char *kId = "vexor-driver";
constexpr const char *kTitle = "Vexor Driver";
// Icon names; the host finds the files in the item's icon theme path.
constexpr const char *kConnectedIcon = "vexor-driver-connected";
constexpr const char *kUnconnectedIcon = "vexor-driver-unconnected";

InkStatusNotifierItem *item = nullptr;
GDBusConnection *item_bus = nullptr;  // the item's connection, once there
InkStatusNotifierWatcher *watcher = nullptr;  // follows whoever owns the watcher's name
GtkWidget *item_menu = nullptr;
gchar *icon_dir = nullptr;  // private directory of the two pictures
bool connected_now = false;
bool shown = false;
void (*shown_changed)(bool) = nullptr;
GCancellable *asking = nullptr;  // the question to the watcher under way, if any

// Hosts that read pictures by name find them in files: the compiled-in ones
// are written to a directory of this user only, removed again at the end.
// Hosts that read pixmaps get them over the bus; the item is served either way.
void write_icons() {
    GError *error = nullptr;
    icon_dir = g_dir_make_tmp("inktray-XXXXXX", &error);
    for (auto [name, record] : {std::pair{kConnectedIcon, icon0}, {kUnconnectedIcon, icon1}}) {
        if (icon_dir == nullptr)
            break;
        gchar *file = g_strdup_printf("%s/%s.png", icon_dir, name);
        GdkPixbuf *pb = pixbuf_from_inline(record);
        if (!gdk_pixbuf_save(pb, file, "png", &error, nullptr))
            status_item_remove_files();
        g_object_unref(pb);
        g_free(file);
    }
    if (error != nullptr) {
        fmouse_errf("tray pictures not written: %s\n", error->message);
        g_error_free(error);
    }
}

// The picture as the item's pixmaps carry it: ARGB, 8 bits each, in network
// byte order, row after row without padding.
GVariant *pixmaps() {
    GdkPixbuf *pb = pixbuf_from_inline(connected_now ? icon0 : icon1);
    int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
    int stride = gdk_pixbuf_get_rowstride(pb), n = gdk_pixbuf_get_n_channels(pb);
    const guchar *px = gdk_pixbuf_get_pixels(pb);
    auto *argb = static_cast<guchar *>(g_malloc(static_cast<gsize>(w) * h * 4));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const guchar *p = px + y * stride + x * n;
            guchar *q = argb + (static_cast<gsize>(y) * w + x) * 4;
            q[0] = n == 4 ? p[3] : 0xff;
            q[1] = p[0];
            q[2] = p[1];
            q[3] = p[2];
        }
    g_object_unref(pb);
    GVariant *data = g_variant_new_from_data(G_VARIANT_TYPE_BYTESTRING, argb,
                                             static_cast<gsize>(w) * h * 4, TRUE, g_free, argb);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(iiay)"));
    g_variant_builder_add(&b, "(ii@ay)", w, h, data);
    return g_variant_builder_end(&b);
}

gboolean on_open_menu(InkStatusNotifierItem *, GDBusMethodInvocation *inv, gint x, gint y,
                      gpointer method) {
    // A click on the item opens the tray menu, as a click on the status
    // icon does: the menu is all the tray offers.
    fmouse_msgf("item %s at %d,%d: menu\n", static_cast<const char *>(method), x, y);
    menu_popup_at(item_menu, ClickPoint{x, y});
    g_dbus_method_invocation_return_value(inv, nullptr);
    return TRUE;
}

// The other click and the wheel mean nothing here; they are not errors.
gboolean on_ignored(InkStatusNotifierItem *, GDBusMethodInvocation *inv) {
    g_dbus_method_invocation_return_value(inv, nullptr);
    return TRUE;
}

// The state's picture, by name and as pixmaps, and the tooltip.
void show_state() {
    const char *name = icon_dir == nullptr ? "" : connected_now ? kConnectedIcon : kUnconnectedIcon;
    ink_status_notifier_item_set_icon_name(item, name);
    ink_status_notifier_item_set_icon_pixmap(item, pixmaps());
    ink_status_notifier_item_set_tool_tip(
        item, g_variant_new("(s@a(iiay)ss)", name,
                            g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0), kTitle, ""));
}

void set_shown(bool now) {
    if (now == shown)
        return;
    shown = now;
    if (shown_changed != nullptr)
        shown_changed(now);
}

void forget_question() {
    if (asking != nullptr)
        g_cancellable_cancel(asking);
    g_clear_object(&asking);
}

// False, and the error reported, for a failed call; a cancelled one was
// replaced by a newer question, which `asking` is now.
bool answered(GError *error, const char *what) {
    if (error == nullptr)
        return true;
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        fmouse_errf("%s: %s\n", what, error->message);
        g_clear_object(&asking);
    }
    g_error_free(error);
    return false;
}

void on_item_taken(GObject *, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    ink_status_notifier_watcher_call_register_status_notifier_item_finish(watcher, res, &error);
    if (!answered(error, "status notifier item not registered"))
        return;
    g_clear_object(&asking);
    fmouse_msg("tray icon shown as a status notifier item\n");
    set_shown(true);
}

// The watcher's answer whether a host shows its items: the item is offered
// while one does; without one the icon stays in the notification area.
void on_host_answer(GObject *, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(watcher), res, &error);
    if (!answered(error, "status notifier watcher not asked for a host"))
        return;
    GVariant *v = nullptr;
    g_variant_get(reply, "(v)", &v);
    bool host = g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(v);
    g_variant_unref(v);
    g_variant_unref(reply);
    if (!host || shown) {
        g_clear_object(&asking);
        if (!host)
            fmouse_msg(shown ? "status notifier host gone: tray icon in the system tray\n"
                             : "status notifier watcher without a host: tray icon in the system "
                               "tray\n");
        set_shown(host);
        return;
    }
    fmouse_msg("status notifier host there: registering the item\n");
    ink_status_notifier_watcher_call_register_status_notifier_item(
        watcher,
        g_dbus_connection_get_unique_name(g_dbus_proxy_get_connection(G_DBUS_PROXY(watcher))),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallMs, asking, on_item_taken, nullptr);
}

// Asks the watcher whether a host is registered with it: when it comes, and
// whenever it tells of a host that came or went.
void ask_watcher() {
    forget_question();
    asking = g_cancellable_new();
    g_dbus_proxy_call(G_DBUS_PROXY(watcher), "org.freedesktop.DBus.Properties.Get",
                      g_variant_new("(ss)", kWatcherName, "IsStatusNotifierHostRegistered"),
                      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallMs, asking, on_host_answer, nullptr);
}

// A watcher owns its name (at start, later, or again after a restart), or
// has gone.
void on_watcher_owner(GObject *, GParamSpec *, gpointer) {
    gchar *owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(watcher));
    if (owner != nullptr) {
        fmouse_msgf("status notifier watcher found (%s)\n", owner);
        ask_watcher();
    } else {
        forget_question();
        if (shown)
            fmouse_msg("status notifier watcher gone: tray icon in the system tray\n");
        set_shown(false);
    }
    g_free(owner);
}

void on_watcher_proxy(GObject *, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    watcher = ink_status_notifier_watcher_proxy_new_finish(res, &error);
    if (watcher == nullptr) {
        fmouse_errf("status notifier watcher not followed: %s\n", error->message);
        g_error_free(error);
        return;
    }
    g_signal_connect(watcher, "notify::g-name-owner", G_CALLBACK(on_watcher_owner), nullptr);
    g_signal_connect_swapped(watcher, "status-notifier-host-registered", G_CALLBACK(ask_watcher),
                             nullptr);
    g_signal_connect_swapped(watcher, "status-notifier-host-unregistered", G_CALLBACK(ask_watcher),
                             nullptr);
    on_watcher_owner(nullptr, nullptr, nullptr);
}

// The session bus is there: the item and its menu are served, and the
// watcher's name is followed from now on.
void on_bus_ready(GDBusConnection *bus) {
    item_bus = bus;
    item = ink_status_notifier_item_skeleton_new();
    write_icons();
    ink_status_notifier_item_set_category(item, "Hardware");
    ink_status_notifier_item_set_id(item, kId);
    ink_status_notifier_item_set_title(item, kTitle);
    ink_status_notifier_item_set_status(item, "Active");
    ink_status_notifier_item_set_icon_theme_path(item, icon_dir != nullptr ? icon_dir : "");
    ink_status_notifier_item_set_menu(item, kMenuPath);
    // The others (overlay and attention pictures, WindowId, ItemIsMenu) read
    // as empty, 0 and false.
    show_state();
    g_signal_connect(item, "handle-activate", G_CALLBACK(on_open_menu),
                     const_cast<char *>("Activate"));
    g_signal_connect(item, "handle-context-menu", G_CALLBACK(on_open_menu),
                     const_cast<char *>("ContextMenu"));
    g_signal_connect(item, "handle-secondary-activate", G_CALLBACK(on_ignored), nullptr);
    g_signal_connect(item, "handle-scroll", G_CALLBACK(on_ignored), nullptr);
    GError *error = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(item), bus, kItemPath,
                                          &error)) {
        fmouse_errf("status notifier item not served: %s\n", error->message);
        g_error_free(error);
        return;
    }
    dbus_menu_export(kMenuPath, item_menu);
    ink_status_notifier_watcher_proxy_new(
        bus,
        static_cast<GDBusProxyFlags>(G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES |
                                     G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START),
        kWatcherName, kWatcherPath, nullptr, on_watcher_proxy, nullptr);
}

}  // namespace

void status_item_start(GtkWidget *menu, void (*on_shown)(bool)) {
    item_menu = menu;
    shown_changed = on_shown;
    tray_bus_connect(on_bus_ready);
}

bool status_item_shown() {
    return shown;
}

void status_item_set_connected(bool connected) {
    if (connected == connected_now)
        return;
    connected_now = connected;
    if (item == nullptr)
        return;
    show_state();
    ink_status_notifier_item_emit_new_icon(item);
    ink_status_notifier_item_emit_new_tool_tip(item);
}

void status_item_end() {
    // A panel's click on Exit ends the program right after its call: the
    // answer still waiting to be sent goes out first.
    if (item_bus != nullptr)
        g_dbus_connection_flush_sync(item_bus, nullptr, nullptr);
    status_item_remove_files();
}

void status_item_remove_files() {
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
