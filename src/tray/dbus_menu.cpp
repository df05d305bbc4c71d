#include "dbus_menu.h"

#include <map>
#include <set>
#include <string>

#include "dbusmenu_dbus.h"
#include "fmouse_sys.h"

namespace {

constexpr const char *kIdKey = "ink-dbusmenu-id";
constexpr const char *kPngKey = "ink-dbusmenu-png";

InkDbusmenu *skeleton = nullptr;
GtkWidget *root_menu = nullptr;
std::map<int, GtkWidget *> items;  // id -> menu item, while the item lives
int next_id = 1;                   // 0 is the menu itself
unsigned revision = 1;
bool layout_changed = false;  // since the panel was last told
std::set<int> changed;        // items whose properties changed since then
guint telling = 0;            // the idle source that tells the panel

// What changed goes to the panel once the main loop is idle: a new layout
// when items came or went, else the changed items' properties.
gboolean tell_panel(gpointer);

void later() {
    if (telling == 0)
        telling = g_idle_add(tell_panel, nullptr);
}

void on_layout_changed() {
    layout_changed = true;
    later();
}

void on_item_changed(GtkWidget *w) {
    changed.insert(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), kIdKey)));
    later();
}

void on_item_destroy(GtkWidget *w) {
    items.erase(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), kIdKey)));
    on_layout_changed();
}

// The item's id, given the first time the panel sees it; its signals are
// followed from then on.
int id_of(GtkWidget *w) {
    int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), kIdKey));
    if (id != 0)
        return id;
    id = next_id++;
    g_object_set_data(G_OBJECT(w), kIdKey, GINT_TO_POINTER(id));
    items[id] = w;
    g_signal_connect(w, "destroy", G_CALLBACK(on_item_destroy), nullptr);
    g_signal_connect(w, "notify::submenu", G_CALLBACK(on_layout_changed), nullptr);
    for (const char *s : {"notify::visible", "notify::sensitive", "notify::label", "toggled"})
        if (g_signal_parse_name(s, G_OBJECT_TYPE(w), nullptr, nullptr, TRUE))
            g_signal_connect(w, s, G_CALLBACK(on_item_changed), nullptr);
    return id;
}

// True for the menu and the submenus of items the panel has seen.
bool exported_shell(GtkWidget *shell) {
    if (shell == nullptr || shell == root_menu)
        return shell != nullptr;
    GtkWidget *owner = GTK_IS_MENU(shell) ? gtk_menu_get_attach_widget(GTK_MENU(shell)) : nullptr;
    return owner != nullptr && g_object_get_data(G_OBJECT(owner), kIdKey) != nullptr;
}

// Any widget's new parent: an item put into or taken out of an exported
// menu changes the layout.
gboolean on_parent_set(GSignalInvocationHint *, guint, const GValue *params, gpointer) {
    auto *w = static_cast<GtkWidget *>(g_value_get_object(&params[0]));
    auto *old = static_cast<GtkWidget *>(g_value_get_object(&params[1]));
    if (GTK_IS_MENU_ITEM(w) && (exported_shell(gtk_widget_get_parent(w)) || exported_shell(old)))
        on_layout_changed();
    return TRUE;
}

// The picture of an image menu item as PNG bytes, encoded once a pixbuf.
GVariant *icon_data(GtkWidget *w) {
    if (!GTK_IS_IMAGE_MENU_ITEM(w))
        return nullptr;
    GtkWidget *img = gtk_image_menu_item_get_image(GTK_IMAGE_MENU_ITEM(w));
    if (img == nullptr || !GTK_IS_IMAGE(img) ||
        gtk_image_get_storage_type(GTK_IMAGE(img)) != GTK_IMAGE_PIXBUF)
        return nullptr;
    GdkPixbuf *pb = gtk_image_get_pixbuf(GTK_IMAGE(img));
    auto *png = static_cast<GBytes *>(g_object_get_data(G_OBJECT(pb), kPngKey));
    if (png == nullptr) {
        gchar *buf = nullptr;
        gsize len = 0;
        if (!gdk_pixbuf_save_to_buffer(pb, &buf, &len, "png", nullptr, nullptr))
            return nullptr;
        png = g_bytes_new_take(buf, len);
        g_object_set_data_full(G_OBJECT(pb), kPngKey, png,
                               reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    }
    return g_variant_new_from_bytes(G_VARIANT_TYPE_BYTESTRING, png, TRUE);
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

struct Props {
    GVariantBuilder b;
    const gchar *const *names;  // only these, when any are named
    void add(const char *key, GVariant *v) {
        if (names == nullptr || names[0] == nullptr || g_strv_contains(names, key))
            g_variant_builder_add(&b, "{sv}", key, v);
        else
            g_variant_unref(g_variant_ref_sink(v));
    }
};

// The properties of an item, or of the menu itself (nullptr), as the
// panel reads them: all of them, or those in `names` when any are.
GVariant *props(GtkWidget *w, const gchar *const *names) {
    Props p{{}, names};
    g_variant_builder_init(&p.b, G_VARIANT_TYPE("a{sv}"));
    if (w == nullptr || gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)) != nullptr)
        p.add("children-display", g_variant_new_string("submenu"));
    if (w == nullptr)
        return g_variant_builder_end(&p.b);
    p.add("visible", g_variant_new_boolean(gtk_widget_get_visible(w)));
    if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
        p.add("type", g_variant_new_string("separator"));
        return g_variant_builder_end(&p.b);
    }
    p.add("type", g_variant_new_string("standard"));
    p.add("label",
          g_variant_new_string(escaped_label(gtk_menu_item_get_label(GTK_MENU_ITEM(w))).c_str()));
    p.add("enabled", g_variant_new_boolean(gtk_widget_get_sensitive(w)));
    if (GVariant *icon = icon_data(w))
        p.add("icon-data", icon);
    if (GTK_IS_CHECK_MENU_ITEM(w)) {
        p.add("toggle-type",
              g_variant_new_string(GTK_IS_RADIO_MENU_ITEM(w) ? "radio" : "checkmark"));
        p.add("toggle-state",
              g_variant_new_int32(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w)) ? 1 : 0));
    }
    return g_variant_builder_end(&p.b);
}

// The node of `id` (the item `w`, or the menu for 0) and its children down
// to `depth` levels (all for -1), read from the GtkMenu as it is now.
GVariant *layout(int id, GtkWidget *w, int depth, const gchar *const *names) {
    GVariantBuilder kids;
    g_variant_builder_init(&kids, G_VARIANT_TYPE("av"));
    GtkWidget *shell = w == nullptr ? root_menu : gtk_menu_item_get_submenu(GTK_MENU_ITEM(w));
    if (depth != 0 && shell != nullptr) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(shell));
        for (GList *c = children; c != nullptr; c = c->next) {
            auto *child = static_cast<GtkWidget *>(c->data);
            if (GTK_IS_MENU_ITEM(child))
                g_variant_builder_add(
                    &kids, "v", layout(id_of(child), child, depth < 0 ? -1 : depth - 1, names));
        }
        g_list_free(children);
    }
    return g_variant_new("(i@a{sv}av)", id, props(w, names), &kids);
}

gboolean tell_panel(gpointer) {
    telling = 0;
    if (layout_changed) {
        layout_changed = false;
        changed.clear();
        ink_dbusmenu_emit_layout_updated(skeleton, ++revision, 0);
        return FALSE;
    }
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    for (int id : changed) {
        auto it = items.find(id);
        if (it != items.end())
            g_variant_builder_add(&updated, "(i@a{sv})", id, props(it->second, nullptr));
    }
    changed.clear();
    ink_dbusmenu_emit_items_properties_updated(
        skeleton, g_variant_builder_end(&updated),
        g_variant_new_array(G_VARIANT_TYPE("(ias)"), nullptr, 0));
    return FALSE;
}

// The item of an id, nullptr for the menu itself; false for an id the menu
// does not have.
bool find(int id, GtkWidget **w) {
    auto it = items.find(id);
    *w = it != items.end() ? it->second : nullptr;
    return id == 0 || *w != nullptr;
}

gboolean no_item(GDBusMethodInvocation *inv, int id) {
    g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "no menu item %d", id);
    return TRUE;
}

gboolean on_get_layout(InkDbusmenu *o, GDBusMethodInvocation *inv, gint parent, gint depth,
                       const gchar *const *names) {
    GtkWidget *w = nullptr;
    if (!find(parent, &w))
        return no_item(inv, parent);
    ink_dbusmenu_complete_get_layout(o, inv, revision, layout(parent, w, depth, names));
    return TRUE;
}

gboolean on_get_group_properties(InkDbusmenu *o, GDBusMethodInvocation *inv, GVariant *ids,
                                 const gchar *const *names) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(ia{sv})"));
    GVariantIter it;
    gint32 id = 0;
    g_variant_iter_init(&it, ids);
    while (g_variant_iter_next(&it, "i", &id)) {
        GtkWidget *w = nullptr;
        if (find(id, &w))
            g_variant_builder_add(&b, "(i@a{sv})", id, props(w, names));
    }
    ink_dbusmenu_complete_get_group_properties(o, inv, g_variant_builder_end(&b));
    return TRUE;
}

gboolean on_get_property(InkDbusmenu *o, GDBusMethodInvocation *inv, gint id, const gchar *name) {
    GtkWidget *w = nullptr;
    const gchar *only[] = {name, nullptr};
    GVariant *all = find(id, &w) ? g_variant_ref_sink(props(w, only)) : nullptr;
    GVariant *v = all != nullptr ? g_variant_lookup_value(all, name, nullptr) : nullptr;
    if (v == nullptr)
        g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                              "no property %s of menu item %d", name, id);
    else
        ink_dbusmenu_complete_get_property(o, inv, g_variant_new_variant(v));
    if (v != nullptr)
        g_variant_unref(v);
    if (all != nullptr)
        g_variant_unref(all);
    return TRUE;
}

// A click on an item chosen in the panel: carried out from the main loop,
// after the answer has gone, and only on an item the menu offers.
gboolean on_idle_activate(gpointer data) {
    GtkWidget *w = nullptr;
    if (!find(GPOINTER_TO_INT(data), &w) || w == nullptr)
        return FALSE;
    if (!gtk_widget_get_visible(w) || !gtk_widget_is_sensitive(w)) {
        fmouse_msg("menu choice refused: the item is not offered\n");
        return FALSE;
    }
    fmouse_msgf("menu choice from the panel: %s\n", gtk_menu_item_get_label(GTK_MENU_ITEM(w)));
    gtk_menu_item_activate(GTK_MENU_ITEM(w));
    return FALSE;
}

// An event for an item; false for an id the menu does not have.
bool event(int id, const char *event_id) {
    GtkWidget *w = nullptr;
    if (!find(id, &w))
        return false;
    if (std::string(event_id) == "clicked" && w != nullptr)
        g_idle_add(on_idle_activate, GINT_TO_POINTER(id));
    return true;
}

gboolean on_event(InkDbusmenu *o, GDBusMethodInvocation *inv, gint id, const gchar *event_id) {
    if (!event(id, event_id))
        return no_item(inv, id);
    ink_dbusmenu_complete_event(o, inv);
    return TRUE;
}

gboolean on_event_group(InkDbusmenu *o, GDBusMethodInvocation *inv, GVariant *events) {
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    GVariantIter it;
    gint32 id = 0;
    const gchar *event_id = nullptr;
    g_variant_iter_init(&it, events);
    while (g_variant_iter_next(&it, "(i&svu)", &id, &event_id, nullptr, nullptr))
        if (!event(id, event_id))
            g_variant_builder_add(&errors, "i", id);
    ink_dbusmenu_complete_event_group(o, inv, g_variant_builder_end(&errors));
    return TRUE;
}

// The panel is told of every change as it happens: nothing to update before
// a menu opens.
gboolean on_about_to_show(InkDbusmenu *o, GDBusMethodInvocation *inv) {
    ink_dbusmenu_complete_about_to_show(o, inv, FALSE);
    return TRUE;
}

gboolean on_about_to_show_group(InkDbusmenu *o, GDBusMethodInvocation *inv, GVariant *ids) {
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    GVariantIter it;
    gint32 id = 0;
    g_variant_iter_init(&it, ids);
    while (g_variant_iter_next(&it, "i", &id)) {
        GtkWidget *w = nullptr;
        if (!find(id, &w))
            g_variant_builder_add(&errors, "i", id);
    }
    ink_dbusmenu_complete_about_to_show_group(o, inv,
                                              g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                              g_variant_builder_end(&errors));
    return TRUE;
}

}  // namespace

bool dbus_menu_export(GDBusConnection *bus, const char *path, GtkWidget *menu) {
    skeleton = ink_dbusmenu_skeleton_new();
    ink_dbusmenu_set_version(skeleton, 3);
    ink_dbusmenu_set_text_direction(
        skeleton, gtk_widget_get_default_direction() == GTK_TEXT_DIR_RTL ? "rtl" : "ltr");
    ink_dbusmenu_set_status(skeleton, "normal");
    const gchar *no_paths[] = {nullptr};
    ink_dbusmenu_set_icon_theme_path(skeleton, no_paths);
    g_signal_connect(skeleton, "handle-get-layout", G_CALLBACK(on_get_layout), nullptr);
    g_signal_connect(skeleton, "handle-get-group-properties", G_CALLBACK(on_get_group_properties),
                     nullptr);
    g_signal_connect(skeleton, "handle-get-property", G_CALLBACK(on_get_property), nullptr);
    g_signal_connect(skeleton, "handle-event", G_CALLBACK(on_event), nullptr);
    g_signal_connect(skeleton, "handle-event-group", G_CALLBACK(on_event_group), nullptr);
    g_signal_connect(skeleton, "handle-about-to-show", G_CALLBACK(on_about_to_show), nullptr);
    g_signal_connect(skeleton, "handle-about-to-show-group", G_CALLBACK(on_about_to_show_group),
                     nullptr);
    GError *error = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton), bus, path, &error)) {
        fmouse_errf("menu not served on the session bus: %s\n", error->message);
        g_error_free(error);
        g_clear_object(&skeleton);
        return false;
    }
    root_menu = menu;
    g_signal_add_emission_hook(g_signal_lookup("parent-set", GTK_TYPE_WIDGET), 0, on_parent_set,
                               nullptr, nullptr);
    return true;
}
