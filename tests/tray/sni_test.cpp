// inktray on a private session bus: the tray icon as a StatusNotifierItem
// where a watcher is on the bus, and the one notice through the desktop's
// notifications where no notification area takes the icon.
//
// Each test starts its own dbus-daemon (a config of its own, a socket in a
// private directory) and gives its address to the tray program only. The
// panel's StatusNotifierWatcher and the notification server are stand-ins
// (bus_standin), since neither desktop component runs here; the test itself
// reads the item and its menu over the bus, as a panel would.
#include <gio/gio.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "sessions/tray_session.h"

using namespace inktest;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kSummary = "Vexor Driver is running";
const std::string kBody =
    "There is no notification area for the pen icon. To calibrate, open the applications menu "
    "and choose \"Calibrate Pen\", or run \"inkctl calibrate\".";

bool dbus_daemon_installed() {
    return access("/usr/bin/dbus-daemon", X_OK) == 0;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string field;
    while (std::getline(in, field, sep))
        out.push_back(field);
    return out;
}

// Lines of a stand-in's record that begin with `call`, split at the tabs.
std::vector<std::vector<std::string>> calls(const Process &p, const std::string &call) {
    std::vector<std::vector<std::string>> out;
    for (const std::string &line : split(p.output(), '\n'))
        if (line.rfind(call + "\t", 0) == 0)
            out.push_back(split(line, '\t'));
    return out;
}

// A dbus-daemon of the test's own, and the test's connection to it.
class PrivateBus {
  public:
    ~PrivateBus() { stop(); }

    bool start() {
        char tmpl[] = "/tmp/inktest-bus-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir_ = tmpl;
        address_ = "unix:path=" + dir_ + "/socket";
        write_file(dir_ + "/bus.conf",
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                   "busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>" +
                       address_ +
                       "</listen><auth>EXTERNAL</auth>"
                       "<policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                       "</policy></busconfig>\n");
        daemon_ = Process::start(
            {"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_ + "/bus.conf"},
            dir_ + "/bus.out");
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
            for (const char *f : {"/watcher.out", "/notifications.out"})
                std::remove((dir_ + f).c_str());
            rmdir(dir_.c_str());
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
        GVariant *r = call(dest, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", iface.c_str(), name.c_str()));
        if (r == nullptr)
            return "";
        GVariant *v = nullptr;
        g_variant_get(r, "(v)", &v);
        std::string s = g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ||
                                g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)
                            ? g_variant_get_string(v, nullptr)
                            : "";
        g_variant_unref(v);
        g_variant_unref(r);
        return s;
    }

    const std::string &address() const { return address_; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_, address_;
    Process daemon_;
    GDBusConnection *conn_ = nullptr;
};

// An item of an exported menu.
struct MenuEntry {
    int id;
    std::string label;
};

class SniTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb_installed())
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): no X server to test on";
        if (!dbus_daemon_installed())
            GTEST_SKIP() << "dbus-daemon is not installed (apt-get install dbus)";
        ASSERT_TRUE(bus.start()) << "the private bus did not start";
    }
    void TearDown() override {
        if (!s.out_file.empty()) {
            std::string out = s.output();
            EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
            EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
        }
    }

    // Starts a stand-in on the private bus and waits until it owns its name.
    void start_standin(Process &p, const std::string &mode) {
        // The stand-in finds the bus as any session program does.
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        p = Process::start({INK_BUS_STANDIN, mode}, bus.dir() + "/" + mode + ".out");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ASSERT_TRUE(p.wait_output("ready\n", 5000ms)) << p.output();
    }
    void start_tray(bool with_host) {
        s.tray_env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
        std::string err = s.start(with_host);
        ASSERT_EQ(err, "") << s.output();
    }

    // The bus name and object path the tray registered its item under.
    void registered_item() {
        ASSERT_TRUE(wait_until(
            [&] { return !calls(watcher, "RegisterStatusNotifierItem").empty(); }, 5000ms))
            << s.output();
        auto c = calls(watcher, "RegisterStatusNotifierItem");
        ASSERT_EQ(c.size(), 1u) << watcher.output();
        ASSERT_EQ(c[0].size(), 3u);
        item_name = c[0][1];
        item_path = c[0][2];
    }
    std::string item_property(const std::string &name) {
        return bus.string_property(item_name, item_path, "org.kde.StatusNotifierItem", name);
    }
    // The visible top-level items of the item's exported menu, in order.
    std::vector<MenuEntry> menu_entries() {
        std::string menu_path = item_property("Menu");
        std::vector<MenuEntry> out;
        const gchar *all_properties[] = {nullptr};
        GVariant *r = bus.call(item_name, menu_path, "com.canonical.dbusmenu", "GetLayout",
                               g_variant_new("(ii^as)", 0, -1, all_properties));
        if (r == nullptr)
            return out;
        GVariant *layout = g_variant_get_child_value(r, 1);
        GVariant *children = g_variant_get_child_value(layout, 2);
        for (gsize i = 0; i < g_variant_n_children(children); ++i) {
            GVariant *boxed = g_variant_get_child_value(children, i);
            GVariant *child = g_variant_get_variant(boxed);
            gint32 id = 0;
            GVariant *props = nullptr;
            g_variant_get_child(child, 0, "i", &id);
            props = g_variant_get_child_value(child, 1);
            gboolean visible = TRUE;
            const gchar *label = nullptr;
            g_variant_lookup(props, "visible", "b", &visible);
            g_variant_lookup(props, "label", "&s", &label);
            if (visible && label != nullptr)
                out.push_back({id, label});
            g_variant_unref(props);
            g_variant_unref(child);
            g_variant_unref(boxed);
        }
        g_variant_unref(children);
        g_variant_unref(layout);
        g_variant_unref(r);
        return out;
    }
    std::vector<std::string> menu_labels() {
        std::vector<std::string> out;
        for (const MenuEntry &e : menu_entries())
            out.push_back(e.label);
        return out;
    }
    // Mean brightness (r + g + b) of the opaque pixels of the picture that
    // the item names, read from its icon theme path as a host does.
    double item_icon_brightness() {
        std::string file =
            item_property("IconThemePath") + "/" + item_property("IconName") + ".png";
        GdkPixbuf *pb = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
        if (pb == nullptr || !gdk_pixbuf_get_has_alpha(pb))
            return -1;
        const guchar *px = gdk_pixbuf_get_pixels(pb);
        int stride = gdk_pixbuf_get_rowstride(pb);
        double sum = 0;
        int n = 0;
        for (int y = 0; y < gdk_pixbuf_get_height(pb); ++y)
            for (int x = 0; x < gdk_pixbuf_get_width(pb); ++x) {
                const guchar *p = px + y * stride + x * 4;
                if (p[3] >= 128) {
                    sum += p[0] + p[1] + p[2];
                    ++n;
                }
            }
        g_object_unref(pb);
        return n == 0 ? -1 : sum / n;
    }
    bool icon_name_becomes(const std::string &name) {
        return wait_until([&] { return item_property("IconName") == name; }, 3000ms);
    }

    PrivateBus bus;
    Process watcher, notifications;
    TraySession s;
    std::string item_name, item_path;
};

// With a watcher on the bus the icon is an item there: its picture follows
// the state, its menu is the tray's menu with the same rules, and a choice
// made through the exported menu does what the tray menu's does.
TEST_F(SniTest, ItemShowsStateAndMenuWhereAWatcherIs) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(registered_item());
    EXPECT_EQ(item_name[0], ':') << "registered under the tray's own connection";

    EXPECT_EQ(item_property("Id"), "vexor-driver");
    EXPECT_EQ(item_property("Title"), "Vexor Driver");
    EXPECT_EQ(item_property("Status"), "Active");
    EXPECT_EQ(item_property("Category"), "Hardware");
    ASSERT_TRUE(icon_name_becomes("vexor-driver-unconnected")) << item_property("IconName");
    double dark = item_icon_brightness();
    ASSERT_GT(dark, 0) << item_property("IconThemePath");
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));

    s.connect();
    ASSERT_TRUE(icon_name_becomes("vexor-driver-connected")) << item_property("IconName");
    EXPECT_GT(item_icon_brightness(), dark + 60) << "connected icon should be brighter";
    EXPECT_TRUE(wait_until([&] { return menu_labels().size() == 4; }, 3000ms));
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"Calibrate (Normal)", "Calibrate (Advanced)",
                                                       "About Vexor Driver", "Exit"}));

    // "Calibrate (Normal)" clicked in the panel's menu.
    int calib_id = -1;
    for (const MenuEntry &e : menu_entries())
        if (e.label == "Calibrate (Normal)")
            calib_id = e.id;
    ASSERT_GE(calib_id, 0);
    std::string err;
    GVariant *r =
        bus.call(item_name, item_property("Menu"), "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", calib_id, "clicked", g_variant_new_int32(0), 0u), &err);
    ASSERT_NE(r, nullptr) << err;
    g_variant_unref(r);
    ASSERT_TRUE(s.x.wait_count(kCalibTitle, 1)) << s.output();
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
    TraySession::pause(1000);  // the menu item's pause
    EXPECT_EQ(s.daemon.calib_mode(), (Bytes{0x00, 0x00}));
    EXPECT_EQ(s.daemon.notify(0x99), 0);
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));

    // Unconnected again: the dark picture, the calibrate items gone.
    ASSERT_EQ(s.daemon.notify(0x66), 0);
    ASSERT_TRUE(icon_name_becomes("vexor-driver-unconnected"));
    EXPECT_TRUE(wait_until([&] { return menu_labels().size() == 2; }, 3000ms));
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));

    // The item is the icon: no look for a notification area, no notice.
    TraySession::pause(2000);
    TraySession::ticks(2);
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(calls(watcher, "RegisterStatusNotifierItem").size(), 1u);

    // "Exit" from the panel's menu ends the tray, and its pictures go.
    std::string icon_dir = item_property("IconThemePath");
    ASSERT_TRUE(exists(icon_dir + "/vexor-driver-connected.png"));
    int exit_id = -1;
    for (const MenuEntry &e : menu_entries())
        if (e.label == "Exit")
            exit_id = e.id;
    ASSERT_GE(exit_id, 0);
    r = bus.call(item_name, item_property("Menu"), "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", exit_id, "clicked", g_variant_new_int32(0), 0u), &err);
    ASSERT_NE(r, nullptr) << err;
    g_variant_unref(r);
    auto st = s.tray.wait(3000ms);
    ASSERT_TRUE(st.has_value()) << s.output();
    EXPECT_TRUE(WIFEXITED(*st));
    EXPECT_EQ(WEXITSTATUS(*st), 0);
    EXPECT_FALSE(exists(icon_dir));
}

// Neither a notification area nor a watcher: one notice, once the tray has
// given a tray manager its time to dock the icon.
TEST_F(SniTest, OneNoticeWithoutNotificationAreaOrWatcher) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_TRUE(wait_until([&] { return !calls(notifications, "Notify").empty(); }, 3000ms))
        << s.output();
    EXPECT_NE(s.output().find("FMOUSE ERR: no system tray: the tray icon is not shown\n"),
              std::string::npos)
        << "the notice comes after the look for a tray manager";
    auto c = calls(notifications, "Notify");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0],
              (std::vector<std::string>{"Notify", "Vexor Driver", "0", "", kSummary, kBody, "-1"}));

    // Once per run: the state changing, and time passing, bring no other.
    s.connect();
    ASSERT_EQ(s.daemon.notify(0x66), 0);
    TraySession::pause(2000);
    TraySession::ticks(2);
    EXPECT_EQ(calls(notifications, "Notify").size(), 1u) << notifications.output();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(wait_until(
        [&] { return s.output().find("FMOUSE MSG: notice shown (1)\n") != std::string::npos; },
        3000ms))
        << s.output();
}

// A bus without a notification server: nothing is sent, nothing fails.
TEST_F(SniTest, NoNoticeWithoutNotificationServer) {
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    EXPECT_TRUE(wait_until(
        [&] {
            return s.output().find("FMOUSE MSG: no notification server: no notice\n") !=
                   std::string::npos;
        },
        3000ms))
        << s.output();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.poll(), 0);
    EXPECT_TRUE(s.tray.running());
    // The missing tray manager is the one error; the missing server is none.
    EXPECT_EQ(count_of(s.output(), "FMOUSE ERR"), 1u) << s.output();
}

// The icon docked in a notification area: no notice.
TEST_F(SniTest, NoNoticeWhenTheIconIsDocked) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(true));
    TraySession::pause(2000);
    TraySession::ticks(3);
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
    EXPECT_NE(s.output().find("tray icon shown in the system tray\n"), std::string::npos);
}

// The watcher and then the whole bus going away while the tray runs: it goes
// on serving the daemon, in both looks.
TEST_F(SniTest, KeepsServingWhenWatcherAndBusEnd) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(registered_item());

    watcher.signal(SIGTERM);
    ASSERT_TRUE(watcher.wait(3000ms).has_value());
    // The item falls back to the program's own status icon (the library's
    // own stand-in crashes the program under AddressSanitizer).
    EXPECT_TRUE(wait_until(
        [&] { return s.output().find("status notifier watcher gone") != std::string::npos; },
        3000ms))
        << s.output();
    TraySession::ticks(2);
    s.connect();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));

    bus.kill();
    TraySession::ticks(2);
    // Each state is shown (a tick apart, so that the second does not
    // overtake the first): the icon changes twice with the bus gone.
    EXPECT_EQ(s.daemon.notify(0x66), 0);
    TraySession::ticks(2);
    EXPECT_EQ(s.daemon.notify(0x88), 0);
    TraySession::ticks(2);
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.screen(0xF1), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.poll(), 0);
    EXPECT_TRUE(s.tray.running());
}

// The bus going away after the notice, under the GtkStatusIcon.
TEST_F(SniTest, KeepsServingWhenTheBusEndsAfterTheNotice) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_TRUE(wait_until([&] { return !calls(notifications, "Notify").empty(); }, 3000ms));
    bus.kill();
    TraySession::ticks(2);
    s.connect();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.poll(), 0);
    EXPECT_TRUE(s.tray.running());
}

}  // namespace
