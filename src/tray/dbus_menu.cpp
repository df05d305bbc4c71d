#include "dbus_menu.h"

#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <string>

#include "fmouse_sys.h"

namespace {

constexpr const char *kMirrorKey = "ink-dbusmenu-item";

DbusmenuServer *server = nullptr;
DbusmenuMenuitem *root = nullptr;
GtkWidget *root_menu = nullptr;
guint remirror = 0;  // the idle source that mirrors the menu's items again

DbusmenuMenuitem *mirror_of(GtkWidget *w) {
    return static_cast<DbusmenuMenuitem *>(g_object_get_data(G_OBJECT(w), kMirrorKey));
}

// Underscores mark access keys in a panel's labels: a plain one is doubled.
std::string escaped_label(const char *label) {
    std::string out;
    for (const char *p = label; p != nullptr && *p != '\0'; ++p) {
        out += *p;
        if (*p == '_')
            out += '_';
    }
    return out;
}

// The item's state copied to its mirror; the server tells the panel what
// changed.
void copy_state(GtkWidget *w) {
    DbusmenuMenuitem *mi = mirror_of(w);
    dbusmenu_menuitem_property_set_bool(mi, "visible", gtk_widget_get_visible(w));
    if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
        dbusmenu_menuitem_property_set(mi, "type", "separator");
        return;
    }
    dbusmenu_menuitem_property_set(
        mi, "label", escaped_label(gtk_menu_item_get_label(GTK_MENU_ITEM(w))).c_str());
    dbusmenu_menuitem_property_set_bool(mi, "enabled", gtk_widget_get_sensitive(w));
    if (GTK_IS_CHECK_MENU_ITEM(w)) {
        dbusmenu_menuitem_property_set(mi, "toggle-type",
                                       GTK_IS_RADIO_MENU_ITEM(w) ? "radio" : "checkmark");
        dbusmenu_menuitem_property_set_int(
            mi, "toggle-state", gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w)) ? 1 : 0);
    }
}

// The picture of an image menu item, as PNG bytes.
void copy_picture(GtkWidget *w) {
    GtkWidget *img =
        GTK_IS_IMAGE_MENU_ITEM(w) ? gtk_image_menu_item_get_image(GTK_IMAGE_MENU_ITEM(w)) : nullptr;
    if (img == nullptr || !GTK_IS_IMAGE(img) ||
        gtk_image_get_storage_type(GTK_IMAGE(img)) != GTK_IMAGE_PIXBUF)
        return;
    gchar *png = nullptr;
    gsize len = 0;
    if (gdk_pixbuf_save_to_buffer(gtk_image_get_pixbuf(GTK_IMAGE(img)), &png, &len, "png", nullptr,
                                  nullptr))
        dbusmenu_menuitem_property_set_byte_array(mirror_of(w), "icon-data",
                                                  reinterpret_cast<guchar *>(png), len);
    g_free(png);
}

// A click on an item chosen in the panel (the server passes it on from the
// main loop, after its answer): carried out only on an item the menu offers.
void on_activated(DbusmenuMenuitem *, guint, gpointer data) {
    auto *w = static_cast<GtkWidget *>(data);
    if (!gtk_widget_get_visible(w) || !gtk_widget_is_sensitive(w)) {
        fmouse_msg("menu choice refused: the item is not offered\n");
        return;
    }
    fmouse_msgf("menu choice from the panel: %s\n", gtk_menu_item_get_label(GTK_MENU_ITEM(w)));
    gtk_menu_item_activate(GTK_MENU_ITEM(w));
}

gboolean mirror_all(gpointer);

void mirror_later() {
    if (remirror == 0)
        remirror = g_idle_add(mirror_all, nullptr);
}

// The item's mirror stays in the exported menu until it is mirrored again,
// but no longer stands for the item.
void on_destroy(GtkWidget *w) {
    g_signal_handlers_disconnect_by_data(mirror_of(w), w);
    g_object_set_data(G_OBJECT(w), kMirrorKey, nullptr);
    mirror_later();
}

// The item's mirror, made the first time it is seen; the item's signals are
// followed from then on.
DbusmenuMenuitem *mirror(GtkWidget *w) {
    if (DbusmenuMenuitem *mi = mirror_of(w))
        return mi;
    DbusmenuMenuitem *mi = dbusmenu_menuitem_new();
    g_object_set_data_full(G_OBJECT(w), kMirrorKey, mi, g_object_unref);
    g_signal_connect(mi, "item-activated", G_CALLBACK(on_activated), w);
    g_signal_connect(w, "destroy", G_CALLBACK(on_destroy), nullptr);
    g_signal_connect(w, "notify::submenu", G_CALLBACK(mirror_later), nullptr);
    for (const char *s : {"notify::visible", "notify::sensitive", "notify::label", "toggled"})
        if (g_signal_parse_name(s, G_OBJECT_TYPE(w), nullptr, nullptr, TRUE))
            g_signal_connect(w, s, G_CALLBACK(copy_state), nullptr);
    copy_picture(w);
    return mi;
}

// The children of `parent` made the mirrors of the items of `shell`, in order
// (the library marks a mirror with children as having a submenu).
void mirror_children(DbusmenuMenuitem *parent, GtkWidget *shell) {
    g_list_free_full(dbusmenu_menuitem_take_children(parent), g_object_unref);
    GList *children = shell != nullptr ? gtk_container_get_children(GTK_CONTAINER(shell)) : nullptr;
    for (GList *c = children; c != nullptr; c = c->next) {
        auto *w = static_cast<GtkWidget *>(c->data);
        if (!GTK_IS_MENU_ITEM(w))
            continue;
        DbusmenuMenuitem *mi = mirror(w);
        dbusmenu_menuitem_child_append(parent, mi);
        copy_state(w);
        mirror_children(mi, gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)));
    }
    g_list_free(children);
}

gboolean mirror_all(gpointer) {
    remirror = 0;
    mirror_children(root, root_menu);
    return FALSE;
}

// Any menu item's new parent: an item put into or taken out of a menu may
// change the exported one.
gboolean on_parent_set(GSignalInvocationHint *, guint, const GValue *params, gpointer) {
    if (GTK_IS_MENU_ITEM(g_value_get_object(&params[0])))
        mirror_later();
    return TRUE;
}

}  // namespace

void dbus_menu_export(const char *path, GtkWidget *menu) {
    root_menu = menu;
    root = dbusmenu_menuitem_new_with_id(0);
    mirror_children(root, menu);
    server = dbusmenu_server_new(path);
    dbusmenu_server_set_root(server, root);
    g_signal_add_emission_hook(g_signal_lookup("parent-set", GTK_TYPE_WIDGET), 0, on_parent_set,
                               nullptr, nullptr);
}
