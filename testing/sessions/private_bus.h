// A private session bus for the tests (a dbus-daemon of the test's own, with
// a directory of services it may start), the test's connection to it, and
// reading a menu exported on it as a panel does.
#pragma once

#include <gio/gio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/env.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace inktest {

using namespace std::chrono_literals;

// A dbus-daemon of the test's own, and the test's connection to it.
class PrivateBus {
  public:
    ~PrivateBus() { stop(); }

    // The bus starts the services whose files are in services_dir() itself,
    // with its own XDG directories in the private directory; it listens on
    // dir()/socket_name ("bus": where a session finds its bus under
    // XDG_RUNTIME_DIR).
    bool start(const std::string &socket_name = "socket") {
        char tmpl[] = "/tmp/inktest-bus-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir_ = tmpl;
        address_ = "unix:path=" + dir_ + "/" + socket_name;
        for (const char *d : {"/services", "/config", "/cache", "/data"})
            mkdir((dir_ + d).c_str(), 0700);
        write_file(dir_ + "/bus.conf",
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                   "busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>" +
                       address_ + "</listen><auth>EXTERNAL</auth><servicedir>" + services_dir() +
                       "</servicedir>"
                       "<policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                       "</policy></busconfig>\n");
        {
            EnvFor env(xdg_env());
            // A group of its own: the services it starts end with it.
            daemon_ = Process::start(
                {"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_ + "/bus.conf"},
                dir_ + "/bus.out", "", Process::Group::Own);
        }
        return wait_until(
            [&] {
                conn_ = g_dbus_connection_new_for_address_sync(
                    address_.c_str(),
                    static_cast<GDBusConnectionFlags>(
                        G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                    nullptr, nullptr, nullptr);
                return conn_ != nullptr;
            },
            5000ms);
    }

    // The private XDG directories (the panel's settings live there).
    EnvFor::Vars xdg_env() const {
        return {{"XDG_CONFIG_HOME", dir_ + "/config"},
                {"XDG_CACHE_HOME", dir_ + "/cache"},
                {"XDG_DATA_HOME", dir_ + "/data"},
                {"NO_AT_BRIDGE", "1"},
                {"SESSION_MANAGER", std::nullopt}};
    }
    std::string services_dir() const { return dir_ + "/services"; }
    // A service the bus starts when its name is called.
    void add_service(const std::string &name, const std::string &exec) {
        write_file(services_dir() + "/" + name + ".service",
                   "[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n");
    }
    // The environment of the services the bus starts from now on.
    bool set_activation_env(const std::string &key, const std::string &value) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a{ss}"));
        g_variant_builder_add(&b, "{ss}", key.c_str(), value.c_str());
        GVariant *r = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "UpdateActivationEnvironment", g_variant_new("(a{ss})", &b));
        if (r != nullptr)
            g_variant_unref(r);
        return r != nullptr;
    }
    bool name_owned(const std::string &name) {
        GVariant *r = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", g_variant_new("(s)", name.c_str()));
        gboolean owned = FALSE;
        if (r != nullptr) {
            g_variant_get(r, "(b)", &owned);
            g_variant_unref(r);
        }
        return owned != FALSE;
    }
    // A property's value, nullptr when it cannot be read.
    GVariant *property(const std::string &dest, const std::string &path, const std::string &iface,
                       const std::string &name) {
        GVariant *r = call(dest, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", iface.c_str(), name.c_str()));
        if (r == nullptr)
            return nullptr;
        GVariant *v = nullptr;
        g_variant_get(r, "(v)", &v);
        g_variant_unref(r);
        return v;
    }
    // Counts the signals `name` of `iface` from now on; read with signals().
    void follow_signal(const std::string &iface, const std::string &name) {
        g_dbus_connection_signal_subscribe(
            conn_, nullptr, iface.c_str(), name.c_str(), nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *sig,
               GVariant *, gpointer self) { ++static_cast<PrivateBus *>(self)->signals_[sig]; },
            this, nullptr);
    }
    int signals(const std::string &name) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return signals_[name];
    }

    // The bus ends under its clients.
    void kill() {
        if (conn_ != nullptr)
            g_object_unref(conn_);
        conn_ = nullptr;
        daemon_.signal(SIGKILL);
        daemon_.wait(3000ms);
    }

    void stop() {
        kill();
        if (!dir_.empty()) {
            std::remove((dir_ + "/bus.conf").c_str());
            std::remove((dir_ + "/bus.out").c_str());
            std::string rm = "rm -rf '" + dir_ + "'";
            if (std::system(rm.c_str()) != 0)
                std::fprintf(stderr, "%s failed\n", rm.c_str());
            dir_.clear();
        }
    }

    // A method call with a time limit; nullptr (and the error in *err) on failure.
    GVariant *call(const std::string &dest, const std::string &path, const std::string &iface,
                   const std::string &method, GVariant *args, std::string *err = nullptr) {
        GError *error = nullptr;
        GVariant *r = g_dbus_connection_call_sync(conn_, dest.c_str(), path.c_str(), iface.c_str(),
                                                  method.c_str(), args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (r == nullptr) {
            if (err != nullptr)
                *err = error->message;
            g_error_free(error);
        }
        return r;
    }

    // A string property, or "" when it cannot be read.
    std::string string_property(const std::string &dest, const std::string &path,
                                const std::string &iface, const std::string &name) {
        GVariant *v = property(dest, path, iface, name);
        if (v == nullptr)
            return "";
        std::string s = g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ||
                                g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)
                            ? g_variant_get_string(v, nullptr)
                            : "";
        g_variant_unref(v);
        return s;
    }

    const std::string &address() const { return address_; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_, address_;
    Process daemon_;
    GDBusConnection *conn_ = nullptr;
    std::map<std::string, int> signals_;
};

// The item's menu as a panel reads it: GetLayout of the whole tree.
struct MenuEntry {
    int id;
    std::string label;
    bool enabled = true;
    std::string toggle_type;
    int toggle_state = -1;
    std::string children_display;
    std::vector<MenuEntry> children;
};

inline MenuEntry read_entry(GVariant *node) {
    MenuEntry e;
    GVariant *props = nullptr, *children = nullptr;
    g_variant_get(node, "(i@a{sv}@av)", &e.id, &props, &children);
    const gchar *label = nullptr, *toggle = nullptr, *display = nullptr;
    gboolean enabled = TRUE;
    if (g_variant_lookup(props, "label", "&s", &label))
        e.label = label;
    if (g_variant_lookup(props, "toggle-type", "&s", &toggle))
        e.toggle_type = toggle;
    g_variant_lookup(props, "toggle-state", "i", &e.toggle_state);
    if (g_variant_lookup(props, "children-display", "&s", &display))
        e.children_display = display;
    g_variant_lookup(props, "enabled", "b", &enabled);
    e.enabled = enabled != FALSE;
    gboolean visible = TRUE;
    g_variant_lookup(props, "visible", "b", &visible);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant *boxed = g_variant_get_child_value(children, i);
        GVariant *child = g_variant_get_variant(boxed);
        MenuEntry c = read_entry(child);
        GVariant *cprops = g_variant_get_child_value(child, 1);
        gboolean cvisible = TRUE;
        g_variant_lookup(cprops, "visible", "b", &cvisible);
        if (cvisible)
            e.children.push_back(c);
        g_variant_unref(cprops);
        g_variant_unref(child);
        g_variant_unref(boxed);
    }
    g_variant_unref(props);
    g_variant_unref(children);
    return e;
}

}  // namespace inktest
