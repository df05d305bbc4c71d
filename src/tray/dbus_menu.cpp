#include "dbus_menu.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fmouse_sys.h"

namespace {

constexpr const char *kIface = "com.canonical.dbusmenu";
constexpr const char *kIdKey = "ink-dbusmenu-id";
constexpr const char *kPngKey = "ink-dbusmenu-png";

const char *kXml = R"xml(<node>
  <interface name="com.canonical.dbusmenu">
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
  </interface>
</node>)xml";

struct VariantUnref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
using Value = std::unique_ptr<GVariant, VariantUnref>;
using Props = std::map<std::string, Value>;

// One entry of the exported menu: its properties and its children's ids.
struct Node {
    Props props;
    std::vector<int> children;
};
using Snapshot = std::map<int, Node>;

GDBusConnection *conn = nullptr;
std::string object_path;
GtkWidget *root_menu = nullptr;
std::map<int, GtkWidget *> items;  // id -> menu item, while the item lives
int next_id = 1;                   // 0 is the menu itself
unsigned revision = 1;
Snapshot shown;  // what the panel was last told
guint idle_refresh = 0;

Value value(GVariant *v) {
    return Value(g_variant_ref_sink(v));
}

bool equal(const Props &a, const Props &b) {
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || !g_variant_equal(i->second.get(), j->second.get()))
            return false;
    return true;
}

gboolean on_idle_refresh(gpointer) {
    idle_refresh = 0;
    dbus_menu_refresh();
    return FALSE;
}

void schedule_refresh() {
    if (idle_refresh == 0)
        idle_refresh = g_idle_add(on_idle_refresh, nullptr);
}

void on_item_changed(GObject *, GParamSpec *, gpointer) {
    schedule_refresh();
}

void on_item_toggled(GtkCheckMenuItem *, gpointer) {
    schedule_refresh();
}

void on_item_destroy(GtkWidget *w, gpointer) {
    items.erase(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), kIdKey)));
    schedule_refresh();
}

// The item's id, given the first time it is seen; its change signals are
// followed from then on.
int id_of(GtkWidget *w) {
    int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), kIdKey));
    if (id != 0)
        return id;
    id = next_id++;
    g_object_set_data(G_OBJECT(w), kIdKey, GINT_TO_POINTER(id));
    items[id] = w;
    g_signal_connect(w, "destroy", G_CALLBACK(on_item_destroy), nullptr);
    g_signal_connect(w, "notify::visible", G_CALLBACK(on_item_changed), nullptr);
    g_signal_connect(w, "notify::sensitive", G_CALLBACK(on_item_changed), nullptr);
    if (GTK_IS_CHECK_MENU_ITEM(w))
        g_signal_connect(w, "toggled", G_CALLBACK(on_item_toggled), nullptr);
    return id;
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

Props item_props(GtkWidget *w) {
    Props p;
    p["visible"] = value(g_variant_new_boolean(gtk_widget_get_visible(w)));
    if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
        p["type"] = value(g_variant_new_string("separator"));
        return p;
    }
    p["type"] = value(g_variant_new_string("standard"));
    p["label"] = value(
        g_variant_new_string(escaped_label(gtk_menu_item_get_label(GTK_MENU_ITEM(w))).c_str()));
    p["enabled"] = value(g_variant_new_boolean(gtk_widget_get_sensitive(w)));
    if (GVariant *icon = icon_data(w))
        p["icon-data"] = value(icon);
    if (GTK_IS_CHECK_MENU_ITEM(w)) {
        p["toggle-type"] =
            value(g_variant_new_string(GTK_IS_RADIO_MENU_ITEM(w) ? "radio" : "checkmark"));
        p["toggle-state"] = value(
            g_variant_new_int32(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(w)) ? 1 : 0));
    }
    if (gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)) != nullptr)
        p["children-display"] = value(g_variant_new_string("submenu"));
    return p;
}

void walk(GtkWidget *shell, int parent, Snapshot &s) {
    GList *children = gtk_container_get_children(GTK_CONTAINER(shell));
    for (GList *c = children; c != nullptr; c = c->next) {
        auto *w = static_cast<GtkWidget *>(c->data);
        if (!GTK_IS_MENU_ITEM(w))
            continue;
        int id = id_of(w);
        s[parent].children.push_back(id);
        s[id].props = item_props(w);
        GtkWidget *sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(w));
        if (sub != nullptr)
            walk(sub, id, s);
    }
    g_list_free(children);
}

Snapshot take_snapshot() {
    Snapshot s;
    s[0].props["children-display"] = value(g_variant_new_string("submenu"));
    if (root_menu != nullptr)
        walk(root_menu, 0, s);
    return s;
}

bool same_structure(const Snapshot &a, const Snapshot &b) {
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || i->second.children != j->second.children)
            return false;
    return true;
}

void emit(const char *signal, GVariant *args) {
    if (conn == nullptr || g_dbus_connection_is_closed(conn)) {
        g_variant_unref(g_variant_ref_sink(args));
        return;
    }
    g_dbus_connection_emit_signal(conn, nullptr, object_path.c_str(), kIface, signal, args,
                                  nullptr);
}

// The properties of a node, those named in `names` only when any are.
GVariant *props_variant(const Props &p, GVariant *names) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    for (const auto &[k, v] : p) {
        bool wanted = names == nullptr || g_variant_n_children(names) == 0;
        for (gsize i = 0; !wanted && i < g_variant_n_children(names); ++i) {
            const gchar *n = nullptr;
            g_variant_get_child(names, i, "&s", &n);
            wanted = k == n;
        }
        if (wanted)
            g_variant_builder_add(&b, "{sv}", k.c_str(), v.get());
    }
    return g_variant_builder_end(&b);
}

GVariant *layout(const Snapshot &s, int id, int depth, GVariant *names) {
    const Node &n = s.at(id);
    GVariantBuilder kids;
    g_variant_builder_init(&kids, G_VARIANT_TYPE("av"));
    if (depth != 0)
        for (int child : n.children)
            g_variant_builder_add(&kids, "v", layout(s, child, depth < 0 ? -1 : depth - 1, names));
    return g_variant_new("(i@a{sv}av)", id, props_variant(n.props, names), &kids);
}

// A click on an item chosen in the panel: carried out from the main loop,
// after the answer has gone, and only on an item the menu offers.
gboolean on_idle_activate(gpointer data) {
    auto it = items.find(GPOINTER_TO_INT(data));
    if (it == items.end())
        return FALSE;
    GtkWidget *w = it->second;
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
    if (items.find(id) == items.end() && id != 0)
        return false;
    if (std::string(event_id) == "clicked" && id != 0)
        g_idle_add(on_idle_activate, GINT_TO_POINTER(id));
    return true;
}

void on_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
             GVariant *params, GDBusMethodInvocation *inv, gpointer) {
    std::string m = method;
    if (m == "GetLayout") {
        gint32 parent = 0, depth = -1;
        GVariant *names = nullptr;
        g_variant_get(params, "(ii@as)", &parent, &depth, &names);
        dbus_menu_refresh();
        if (shown.find(parent) == shown.end()) {
            g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                  "no menu item %d", parent);
        } else {
            g_dbus_method_invocation_return_value(
                inv,
                g_variant_new("(u@(ia{sv}av))", revision, layout(shown, parent, depth, names)));
        }
        g_variant_unref(names);
    } else if (m == "GetGroupProperties") {
        GVariant *ids = nullptr, *names = nullptr;
        g_variant_get(params, "(@ai@as)", &ids, &names);
        dbus_menu_refresh();
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(ia{sv})"));
        if (g_variant_n_children(ids) == 0) {
            for (const auto &[id, n] : shown)
                g_variant_builder_add(&b, "(i@a{sv})", id, props_variant(n.props, names));
        }
        for (gsize i = 0; i < g_variant_n_children(ids); ++i) {
            gint32 id = 0;
            g_variant_get_child(ids, i, "i", &id);
            auto it = shown.find(id);
            if (it != shown.end())
                g_variant_builder_add(&b, "(i@a{sv})", id, props_variant(it->second.props, names));
        }
        g_dbus_method_invocation_return_value(inv, g_variant_new("(a(ia{sv}))", &b));
        g_variant_unref(ids);
        g_variant_unref(names);
    } else if (m == "GetProperty") {
        gint32 id = 0;
        const gchar *name = nullptr;
        g_variant_get(params, "(i&s)", &id, &name);
        dbus_menu_refresh();
        auto it = shown.find(id);
        const Value *v = nullptr;
        if (it != shown.end()) {
            auto p = it->second.props.find(name);
            if (p != it->second.props.end())
                v = &p->second;
        }
        if (v == nullptr)
            g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                  "no property %s of menu item %d", name, id);
        else
            g_dbus_method_invocation_return_value(inv, g_variant_new("(v)", v->get()));
    } else if (m == "Event") {
        gint32 id = 0;
        const gchar *event_id = nullptr;
        g_variant_get(params, "(i&svu)", &id, &event_id, nullptr, nullptr);
        if (event(id, event_id))
            g_dbus_method_invocation_return_value(inv, nullptr);
        else
            g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                                  "no menu item %d", id);
    } else if (m == "EventGroup") {
        GVariant *events = g_variant_get_child_value(params, 0);
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        for (gsize i = 0; i < g_variant_n_children(events); ++i) {
            gint32 id = 0;
            const gchar *event_id = nullptr;
            g_variant_get_child(events, i, "(i&svu)", &id, &event_id, nullptr, nullptr);
            if (!event(id, event_id))
                g_variant_builder_add(&errors, "i", id);
        }
        g_variant_unref(events);
        g_dbus_method_invocation_return_value(inv, g_variant_new("(ai)", &errors));
    } else if (m == "AboutToShow") {
        g_dbus_method_invocation_return_value(inv, g_variant_new("(b)", FALSE));
    } else if (m == "AboutToShowGroup") {
        GVariant *ids = g_variant_get_child_value(params, 0);
        GVariantBuilder updates, errors;
        g_variant_builder_init(&updates, G_VARIANT_TYPE("ai"));
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        for (gsize i = 0; i < g_variant_n_children(ids); ++i) {
            gint32 id = 0;
            g_variant_get_child(ids, i, "i", &id);
            if (shown.find(id) == shown.end())
                g_variant_builder_add(&errors, "i", id);
        }
        g_variant_unref(ids);
        g_dbus_method_invocation_return_value(inv, g_variant_new("(aiai)", &updates, &errors));
    } else {
        g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                              "no method %s", method);
    }
}

GVariant *on_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                 const gchar *property, GError **error, gpointer) {
    std::string p = property;
    if (p == "Version")
        return g_variant_new_uint32(3);
    if (p == "TextDirection")
        return g_variant_new_string(gtk_widget_get_default_direction() == GTK_TEXT_DIR_RTL ? "rtl"
                                                                                           : "ltr");
    if (p == "Status")
        return g_variant_new_string("normal");
    if (p == "IconThemePath")
        return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
    return nullptr;
}

const GDBusInterfaceVTable kVtable = {on_call, on_get, nullptr, {}};

}  // namespace

bool dbus_menu_export(GDBusConnection *bus, const char *path, GtkWidget *menu) {
    GError *error = nullptr;
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kXml, &error);
    if (info == nullptr) {
        fmouse_errf("menu interface not parsed: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    guint id = g_dbus_connection_register_object(bus, path, info->interfaces[0], &kVtable, nullptr,
                                                 nullptr, &error);
    g_dbus_node_info_unref(info);
    if (id == 0) {
        fmouse_errf("menu not served on the session bus: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    conn = bus;
    object_path = path;
    root_menu = menu;
    shown = take_snapshot();
    return true;
}

void dbus_menu_refresh() {
    if (root_menu == nullptr)
        return;
    Snapshot now = take_snapshot();
    if (!same_structure(now, shown)) {
        shown = std::move(now);
        ++revision;
        emit("LayoutUpdated", g_variant_new("(ui)", revision, 0));
        return;
    }
    GVariantBuilder updated, removed;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    g_variant_builder_init(&removed, G_VARIANT_TYPE("a(ias)"));
    bool any = false;
    for (auto &[id, n] : now) {
        const Props &old = shown[id].props;
        if (equal(old, n.props))
            continue;
        any = true;
        Props changed;
        for (const auto &[k, v] : n.props) {
            auto o = old.find(k);
            if (o == old.end() || !g_variant_equal(o->second.get(), v.get()))
                changed[k] = Value(g_variant_ref(v.get()));
        }
        g_variant_builder_add(&updated, "(i@a{sv})", id, props_variant(changed, nullptr));
        GVariantBuilder gone;
        g_variant_builder_init(&gone, G_VARIANT_TYPE("as"));
        bool any_gone = false;
        for (const auto &[k, v] : old)
            if (n.props.find(k) == n.props.end()) {
                g_variant_builder_add(&gone, "s", k.c_str());
                any_gone = true;
            }
        if (any_gone)
            g_variant_builder_add(&removed, "(ias)", id, &gone);
        else
            g_variant_builder_clear(&gone);
    }
    if (!any) {
        g_variant_builder_clear(&updated);
        g_variant_builder_clear(&removed);
        return;
    }
    shown = std::move(now);
    emit("ItemsPropertiesUpdated", g_variant_new("(a(ia{sv})a(ias))", &updated, &removed));
}

unsigned dbus_menu_revision() {
    return revision;
}
