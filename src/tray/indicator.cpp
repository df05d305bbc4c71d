#include "indicator.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <glib/gstdio.h>

#include <initializer_list>
#include <string>

#include "dbus_menu.h"
#include "fmouse_sys.h"
#include "notice.h"
#include "tray_images.h"

namespace {

constexpr const char *kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char *kWatcherPath = "/StatusNotifierWatcher";
constexpr const char *kItemIface = "org.kde.StatusNotifierItem";
constexpr const char *kItemPath = "/StatusNotifierItem";
constexpr const char *kMenuPath = "/MenuBar";
constexpr int kRegisterMs = 5000;  // asynchronous: only bounds a watcher that never answers
constexpr const char *kId = "vexor-driver";
constexpr const char *kTitle = "Vexor Driver";
// Icon names; the host finds the files in the item's icon theme path.
constexpr const char *kConnectedIcon = "vexor-driver-connected";
constexpr const char *kUnconnectedIcon = "vexor-driver-unconnected";

const char *kXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

GDBusConnection *conn = nullptr;
GtkWidget *item_menu = nullptr;
gchar *icon_dir = nullptr;  // private directory of the two pictures
bool connected_now = false;
bool registered = false;
void (*registered_changed)(bool) = nullptr;
GCancellable *registering = nullptr;  // the registration under way, if any

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

// Hosts that read pictures by name find them in files: the compiled-in ones
// are written to a directory of this user only, removed again at the end.
// Hosts that read pixmaps get them over the bus; the item is served either way.
void write_icons() {
    GError *error = nullptr;
    icon_dir = g_dir_make_tmp("inktray-XXXXXX", &error);
    if (icon_dir == nullptr) {
        fmouse_errf("no directory for the tray pictures: %s\n", error->message);
        g_error_free(error);
        return;
    }
    if (!write_icon(kConnectedIcon, icon0) || !write_icon(kUnconnectedIcon, icon1))
        indicator_remove_files();
}

const char *icon_name() {
    return icon_dir == nullptr ? "" : connected_now ? kConnectedIcon : kUnconnectedIcon;
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

GVariant *no_pixmaps() {
    return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
}

// The panel under the point the host gives (the click, on its icon): the
// topmost mapped top-level window there that is a bar along the monitor,
// at most a quarter of it thick.
bool panel_at(gint px, gint py, const GdkRectangle &mon, GdkRectangle *panel) {
    Display *d = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    Window root = DefaultRootWindow(d), parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, root, &root, &parent, &kids, &n) == 0)
        return false;
    bool found = false;
    for (unsigned i = n; i-- > 0 && !found;) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, kids[i], &a) == 0 || a.map_state != IsViewable ||
            a.c_class == InputOnly)
            continue;
        if (px < a.x || px >= a.x + a.width || py < a.y || py >= a.y + a.height)
            continue;
        found = true;
        *panel = GdkRectangle{a.x, a.y, a.width, a.height};
    }
    if (kids != nullptr)
        XFree(kids);
    return found && (panel->height * 4 <= mon.height || panel->width * 4 <= mon.width);
}

// The menu by the icon, as GTK places a status icon's: below a panel along
// the top, above one along the bottom, beside one along a side. Without a
// panel there, at the point: below it, or above it when the menu would not
// fit below. Kept on the monitor.
void position_at(GtkMenu *m, gint *x, gint *y, gboolean *push_in, gpointer data) {
    gint px = static_cast<gint>(GPOINTER_TO_UINT(data) >> 16) - 0x8000;
    gint py = static_cast<gint>(GPOINTER_TO_UINT(data) & 0xffff) - 0x8000;
    GtkRequisition req;
    gtk_widget_size_request(GTK_WIDGET(m), &req);
    GdkScreen *screen = gtk_widget_get_screen(GTK_WIDGET(m));
    GdkRectangle mon;
    gdk_screen_get_monitor_geometry(screen, gdk_screen_get_monitor_at_point(screen, px, py), &mon);
    GdkRectangle panel;
    *x = px;
    *y = py + req.height <= mon.y + mon.height ? py : py - req.height;
    if (panel_at(px, py, mon, &panel)) {
        if (panel.width >= panel.height) {
            bool top = panel.y + panel.height / 2 < mon.y + mon.height / 2;
            *y = top ? panel.y + panel.height : panel.y - req.height;
        } else {
            bool left = panel.x + panel.width / 2 < mon.x + mon.width / 2;
            *x = left ? panel.x + panel.width : panel.x - req.width;
        }
    }
    *x = CLAMP(*x, mon.x, MAX(mon.x, mon.x + mon.width - req.width));
    *y = CLAMP(*y, mon.y, MAX(mon.y, mon.y + mon.height - req.height));
    *push_in = TRUE;
}

void popup_menu_at(gint x, gint y) {
    guint packed = (static_cast<guint>(CLAMP(x + 0x8000, 0, 0xffff)) << 16) |
                   static_cast<guint>(CLAMP(y + 0x8000, 0, 0xffff));
    gtk_menu_popup(GTK_MENU(item_menu), nullptr, nullptr, position_at, GUINT_TO_POINTER(packed), 0,
                   gtk_get_current_event_time());
}

void on_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
             GVariant *params, GDBusMethodInvocation *inv, gpointer) {
    std::string m = method;
    if (m == "Activate" || m == "ContextMenu") {
        // A click on the item opens the tray menu, as a click on the status
        // icon does: the menu is all the tray offers.
        gint32 x = 0, y = 0;
        g_variant_get(params, "(ii)", &x, &y);
        fmouse_msgf("item %s at %d,%d: menu\n", method, x, y);
        popup_menu_at(x, y);
    } else if (m != "SecondaryActivate" && m != "Scroll") {
        g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                              "no method %s", method);
        return;
    }
    g_dbus_method_invocation_return_value(inv, nullptr);
}

GVariant *on_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                 const gchar *property, GError **error, gpointer) {
    std::string p = property;
    if (p == "Category")
        return g_variant_new_string("Hardware");
    if (p == "Id")
        return g_variant_new_string(kId);
    if (p == "Title")
        return g_variant_new_string(kTitle);
    if (p == "Status")
        return g_variant_new_string("Active");
    if (p == "WindowId")
        return g_variant_new_int32(0);
    if (p == "IconName")
        return g_variant_new_string(icon_name());
    if (p == "IconThemePath")
        return g_variant_new_string(icon_dir != nullptr ? icon_dir : "");
    if (p == "IconPixmap")
        return pixmaps();
    if (p == "OverlayIconName" || p == "AttentionIconName" || p == "AttentionMovieName")
        return g_variant_new_string("");
    if (p == "OverlayIconPixmap" || p == "AttentionIconPixmap")
        return no_pixmaps();
    if (p == "ToolTip")
        return g_variant_new("(s@a(iiay)ss)", icon_name(), no_pixmaps(), kTitle, "");
    if (p == "ItemIsMenu")
        return g_variant_new_boolean(FALSE);
    if (p == "Menu")
        return g_variant_new_object_path(kMenuPath);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
    return nullptr;
}

const GDBusInterfaceVTable kVtable = {on_call, on_get, nullptr, {}};

void set_registered(bool now) {
    if (now == registered)
        return;
    registered = now;
    if (registered_changed != nullptr)
        registered_changed(now);
}

void on_registered(GObject *source, GAsyncResult *res, gpointer) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (reply == nullptr) {
        // Cancelled: the watcher went while it was asked, and `registering`
        // is already someone else's business.
        if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            fmouse_errf("status notifier item not registered: %s\n", error->message);
            g_clear_object(&registering);
        }
        g_error_free(error);
        return;
    }
    g_variant_unref(reply);
    g_clear_object(&registering);
    fmouse_msg("tray icon shown as a status notifier item\n");
    set_registered(true);
}

// A watcher owns its name (at start, later, or again after a restart): the
// item is offered to it under the program's own connection.
void on_watcher_appeared(GDBusConnection *c, const gchar *, const gchar *owner, gpointer) {
    fmouse_msgf("status notifier watcher found (%s): registering the item\n", owner);
    if (registering != nullptr)
        g_cancellable_cancel(registering);
    g_clear_object(&registering);
    registering = g_cancellable_new();
    g_dbus_connection_call(c, owner, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
                           g_variant_new("(s)", g_dbus_connection_get_unique_name(c)), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kRegisterMs, registering, on_registered,
                           nullptr);
}

void on_watcher_vanished(GDBusConnection *, const gchar *, gpointer) {
    if (registering != nullptr)
        g_cancellable_cancel(registering);
    g_clear_object(&registering);
    if (registered)
        fmouse_msg("status notifier watcher gone: tray icon in the system tray\n");
    set_registered(false);
}

void emit(const char *signal) {
    if (conn == nullptr || g_dbus_connection_is_closed(conn))
        return;
    g_dbus_connection_emit_signal(conn, nullptr, kItemPath, kItemIface, signal, nullptr, nullptr);
}

// The session bus is there: the item and its menu are served, and offered
// to every watcher that owns the watcher's name from now on.
void on_bus_ready(GDBusConnection *bus) {
    GError *error = nullptr;
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kXml, &error);
    if (info == nullptr) {
        fmouse_errf("item interface not parsed: %s\n", error->message);
        g_error_free(error);
        return;
    }
    guint id = g_dbus_connection_register_object(bus, kItemPath, info->interfaces[0], &kVtable,
                                                 nullptr, nullptr, &error);
    g_dbus_node_info_unref(info);
    if (id == 0) {
        fmouse_errf("status notifier item not served: %s\n", error->message);
        g_error_free(error);
        return;
    }
    if (!dbus_menu_export(bus, kMenuPath, item_menu)) {
        g_dbus_connection_unregister_object(bus, id);
        return;
    }
    conn = bus;
    write_icons();
    g_bus_watch_name_on_connection(bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                   on_watcher_appeared, on_watcher_vanished, nullptr, nullptr);
}

}  // namespace

void indicator_start(GtkWidget *menu, void (*on_registered_changed)(bool)) {
    item_menu = menu;
    registered_changed = on_registered_changed;
    tray_bus_connect(on_bus_ready);
}

bool indicator_registered() {
    return registered;
}

void indicator_set_connected(bool connected) {
    if (connected == connected_now)
        return;
    connected_now = connected;
    emit("NewIcon");
    emit("NewToolTip");
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
