// inktray on a private session bus: the tray icon as a StatusNotifierItem
// where a watcher is on the bus, the icon in whichever host comes (also
// late, also again after a restart), and the one notice through the
// desktop's notifications where nothing has taken the icon after the grace
// period.
//
// Each test starts its own dbus-daemon (a config of its own, a socket and a
// directory of activatable services in a private directory) and gives its
// address to the tray program only. PanelTest runs the real panel,
// xfce4-panel with its Status Tray (an XEmbed notification area, a
// StatusNotifierWatcher and its host); SniTest uses stand-ins for the
// watcher and the notification server (bus_standin), where they make a
// fault easier to provoke or a call easier to see. The tests read the item
// and its menu over the bus, as a panel does.
#include <gio/gio.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

#include "sessions/private_bus.h"
#include "sessions/tray_session.h"

using namespace inktest;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kSummary = "Vexor Driver is running";
const std::string kBody =
    "There is no notification area for the pen icon. To calibrate, open the applications menu "
    "and choose \"Calibrate Pen\", or run \"inkctl calibrate\".";

// Grace period of the tray before its notice, as the tray scales it.
const long kGraceMs = ink::time::pause_ms(30000);

bool dbus_daemon_installed() {
    return access("/usr/bin/dbus-daemon", X_OK) == 0;
}

bool xfce_panel_installed() {
    return access("/usr/bin/xfce4-panel", X_OK) == 0;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string field;
    while (std::getline(in, field, sep))
        out.push_back(field);
    return out;
}

// Lines of a record that begin with `call`, split at the tabs; only whole
// lines (a line being written may be read in part).
std::vector<std::vector<std::string>> calls(const std::string &record, const std::string &call) {
    std::vector<std::vector<std::string>> out;
    for (const std::string &line : split(record.substr(0, record.rfind('\n') + 1), '\n'))
        if (line.rfind(call + "\t", 0) == 0)
            out.push_back(split(line, '\t'));
    return out;
}

// The same of a stand-in's record.
std::vector<std::vector<std::string>> calls(const Process &p, const std::string &call) {
    return calls(p.output(), call);
}

// The pixels of one of the tray's PNG pictures as the item's pixmaps carry
// them: A, R, G, B a pixel.
Bytes argb_of_png(const std::string &name) {
    GdkPixbuf *pb =
        gdk_pixbuf_new_from_file((std::string(INK_TRAY_IMAGES) + "/" + name).c_str(), nullptr);
    Bytes out;
    if (pb == nullptr)
        return out;
    int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
    const guchar *px = gdk_pixbuf_get_pixels(pb);
    for (int y = 0; y < gdk_pixbuf_get_height(pb); ++y)
        for (int x = 0; x < gdk_pixbuf_get_width(pb); ++x) {
            const guchar *p = px + y * stride + x * n;
            out.insert(out.end(), {n == 4 ? p[3] : std::uint8_t{0xFF}, p[0], p[1], p[2]});
        }
    g_object_unref(pb);
    return out;
}

// The same picture as rows of R, G, B, A.
std::string rgba_hex_of_png(const std::string &name) {
    Bytes argb = argb_of_png(name);
    std::string hex;
    char buf[3];
    for (size_t i = 0; i + 3 < argb.size(); i += 4)
        for (size_t k : {1, 2, 3, 0}) {
            std::snprintf(buf, sizeof buf, "%02x", argb[i + k]);
            hex += buf;
        }
    return hex;
}

// What the tests share: the private bus, the X server with the tray and its
// fake daemon, and reading the item as a panel does.
class BusTest : public ::testing::Test {
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
    // Each gets an output file of its own: the child empties its file only
    // once it runs, and a reused one would show the last stand-in's record
    // until then.
    void start_standin(Process &p, const std::string &mode) {
        // The stand-in finds the bus as any session program does.
        EnvFor env({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
        p = Process::start({INK_BUS_STANDIN, mode},
                           bus.dir() + "/" + mode + std::to_string(++standins) + ".out");
        ASSERT_TRUE(p.wait_output("ready\n", 5000ms)) << p.output();
    }
    void start_tray(bool with_host) {
        s.tray_env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
        std::string err = s.start(with_host);
        ASSERT_EQ(err, "") << s.output();
        tray_started = std::chrono::steady_clock::now();
    }
    // Waits until the grace period of the tray has passed, and a little more.
    void past_grace() {
        auto until = tray_started + std::chrono::milliseconds(kGraceMs + 1000);
        while (std::chrono::steady_clock::now() < until)
            TraySession::sleep_ms(50);
    }
    long ms_since_start() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - tray_started)
            .count();
    }

    std::string item_property(const std::string &name) {
        return bus.string_property(item_name, item_path, "org.kde.StatusNotifierItem", name);
    }
    MenuEntry menu_tree() {
        const gchar *all_properties[] = {nullptr};
        GVariant *r = bus.call(item_name, item_property("Menu"), "com.canonical.dbusmenu",
                               "GetLayout", g_variant_new("(ii^as)", 0, -1, all_properties));
        if (r == nullptr)
            return {};
        GVariant *layout = g_variant_get_child_value(r, 1);
        MenuEntry root = read_entry(layout);
        g_variant_unref(layout);
        g_variant_unref(r);
        return root;
    }
    // The visible top-level items of the item's exported menu, in order.
    std::vector<MenuEntry> menu_entries() { return menu_tree().children; }
    std::vector<std::string> menu_labels() {
        std::vector<std::string> out;
        for (const MenuEntry &e : menu_entries())
            out.push_back(e.label);
        return out;
    }
    int menu_id(const std::string &label) {
        for (const MenuEntry &e : menu_entries())
            if (e.label == label)
                return e.id;
        return -1;
    }
    // A click on the item of the exported menu, as the panel sends it.
    void click_menu(int id) {
        std::string err;
        GVariant *r =
            bus.call(item_name, item_property("Menu"), "com.canonical.dbusmenu", "Event",
                     g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), &err);
        ASSERT_NE(r, nullptr) << err;
        g_variant_unref(r);
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
    // The item's pixmap: width, height and the bytes, as a host reads it.
    Bytes item_pixmap(int *w, int *h) {
        GVariant *v =
            bus.property(item_name, item_path, "org.kde.StatusNotifierItem", "IconPixmap");
        Bytes out;
        *w = *h = 0;
        if (v == nullptr)
            return out;
        if (g_variant_n_children(v) == 1) {
            GVariant *data = nullptr;
            g_variant_get_child(v, 0, "(ii@ay)", w, h, &data);
            gsize n = 0;
            auto *p = static_cast<const std::uint8_t *>(g_variant_get_fixed_array(data, &n, 1));
            out.assign(p, p + n);
            g_variant_unref(data);
        }
        g_variant_unref(v);
        return out;
    }
    // Waits until the tray has had its `answers`-th answer from a watcher.
    void wait_answers(size_t answers) {
        ASSERT_TRUE(wait_until(
            [&] {
                return count_of(s.output(), "tray icon shown as a status notifier item\n") >=
                       answers;
            },
            5000ms))
            << s.output();
    }
    bool icon_name_becomes(const std::string &name) {
        return wait_until([&] { return item_property("IconName") == name; }, 3000ms);
    }

    PrivateBus bus;
    Process watcher, notifications;
    TraySession s;
    std::chrono::steady_clock::time_point tray_started;
    std::string item_name, item_path;
    int standins = 0;
};

class SniTest : public BusTest {
  protected:
    // The bus name and object path the tray registered its item under with
    // the stand-in watcher (its n-th registration there, from 1), once the
    // tray has had its `answers`-th answer from a watcher.
    void registered_item(const Process &w, size_t n = 1, size_t answers = 1) {
        ASSERT_TRUE(
            wait_until([&] { return calls(w, "RegisterStatusNotifierItem").size() >= n; }, 5000ms))
            << s.output();
        auto c = calls(w, "RegisterStatusNotifierItem");
        ASSERT_EQ(c.size(), n) << w.output();
        ASSERT_EQ(c[n - 1].size(), 3u);
        // Registered by bus name: the item is at the usual path.
        item_name = c[n - 1][2];
        item_path = "/StatusNotifierItem";
        EXPECT_EQ(c[n - 1][1], item_name) << "registered under the tray's own connection";
        // The tray has the watcher's answer (it may still be on its way).
        ASSERT_NO_FATAL_FAILURE(wait_answers(answers));
    }
};

// With a watcher on the bus the icon is an item there: its picture follows
// the state (by name and as pixmaps), its menu is the tray's menu with the
// same rules, and a choice made through the exported menu does what the
// tray menu's does.
TEST_F(SniTest, ItemShowsStateAndMenuWhereAWatcherIs) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(registered_item(watcher));
    EXPECT_EQ(item_name[0], ':');

    EXPECT_EQ(item_property("Id"), "vexor-driver");
    EXPECT_EQ(item_property("Title"), "Vexor Driver");
    EXPECT_EQ(item_property("Status"), "Active");
    EXPECT_EQ(item_property("Category"), "Hardware");
    EXPECT_EQ(item_property("Menu"), "/MenuBar");
    GVariant *is_menu =
        bus.property(item_name, item_path, "org.kde.StatusNotifierItem", "ItemIsMenu");
    ASSERT_NE(is_menu, nullptr);
    EXPECT_FALSE(g_variant_get_boolean(is_menu)) << "a click activates, the menu is separate";
    g_variant_unref(is_menu);
    GVariant *tip = bus.property(item_name, item_path, "org.kde.StatusNotifierItem", "ToolTip");
    ASSERT_NE(tip, nullptr);
    const gchar *tip_title = nullptr;
    g_variant_get(tip, "(&s@a(iiay)&s&s)", nullptr, nullptr, &tip_title, nullptr);
    EXPECT_STREQ(tip_title, "Vexor Driver");
    g_variant_unref(tip);

    ASSERT_TRUE(icon_name_becomes("vexor-driver-unconnected")) << item_property("IconName");
    double dark = item_icon_brightness();
    ASSERT_GT(dark, 0) << item_property("IconThemePath");
    int w = 0, h = 0;
    Bytes pixmap = item_pixmap(&w, &h);
    EXPECT_EQ(w, 20);
    EXPECT_EQ(h, 20);
    EXPECT_EQ(pixmap.size(), 1600u);
    EXPECT_EQ(pixmap, argb_of_png("icon1.png")) << "ARGB, in network byte order";
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));

    bus.follow_signal("org.kde.StatusNotifierItem", "NewIcon");
    bus.follow_signal("com.canonical.dbusmenu", "ItemsPropertiesUpdated");
    s.connect();
    ASSERT_TRUE(icon_name_becomes("vexor-driver-connected")) << item_property("IconName");
    EXPECT_TRUE(wait_until([&] { return bus.signals("NewIcon") >= 1; }, 3000ms));
    EXPECT_TRUE(wait_until([&] { return bus.signals("ItemsPropertiesUpdated") >= 1; }, 3000ms))
        << "the panel is told that the calibrate items are shown";
    EXPECT_GT(item_icon_brightness(), dark + 60) << "connected icon should be brighter";
    EXPECT_EQ(item_pixmap(&w, &h), argb_of_png("icon0.png"));
    EXPECT_TRUE(wait_until([&] { return menu_labels().size() == 4; }, 3000ms));
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"Calibrate (Normal)", "Calibrate (Advanced)",
                                                       "About Vexor Driver", "Exit"}));

    // "Calibrate (Normal)" clicked in the panel's menu.
    int calib_id = menu_id("Calibrate (Normal)");
    ASSERT_GE(calib_id, 0);
    ASSERT_NO_FATAL_FAILURE(click_menu(calib_id));
    ASSERT_TRUE(s.x.wait_count(kCalibTitle, 1)) << s.output();
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
    TraySession::pause(1000);  // the menu item's pause
    EXPECT_EQ(s.daemon.calib_mode(), (Bytes{0x00, 0x00}));
    EXPECT_EQ(s.daemon.notify(0x99), 0);
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));

    // Unconnected again: the dark picture, the calibrate items gone; a
    // click on a hidden item (a panel showing an old menu) is refused.
    ASSERT_EQ(s.daemon.notify(0x66), 0);
    ASSERT_TRUE(icon_name_becomes("vexor-driver-unconnected"));
    EXPECT_TRUE(wait_until([&] { return menu_labels().size() == 2; }, 3000ms));
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));
    ASSERT_NO_FATAL_FAILURE(click_menu(calib_id));
    EXPECT_TRUE(s.tray.wait_output("menu choice refused: the item is not offered\n", 3000ms));
    EXPECT_TRUE(s.x.find(kCalibTitle).empty());

    // The item is the icon: no notice after the grace period.
    past_grace();
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(calls(watcher, "RegisterStatusNotifierItem").size(), 1u);

    // "Exit" from the panel's menu ends the tray, and its pictures go.
    std::string icon_dir = item_property("IconThemePath");
    ASSERT_TRUE(exists(icon_dir + "/vexor-driver-connected.png"));
    int exit_id = menu_id("Exit");
    ASSERT_GE(exit_id, 0);
    ASSERT_NO_FATAL_FAILURE(click_menu(exit_id));
    auto st = s.tray.wait(3000ms);
    ASSERT_TRUE(st.has_value()) << s.output();
    EXPECT_TRUE(WIFEXITED(*st));
    EXPECT_EQ(WEXITSTATUS(*st), 0);
    EXPECT_FALSE(exists(icon_dir));
}

// Neither a notification area nor a watcher with a host (a watcher alone
// shows nothing): one notice, with the pen's picture, once the grace period
// for a late panel has passed.
TEST_F(SniTest, OneNoticeAfterTheGraceWithoutNotificationAreaOrHost) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher-without-host"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_TRUE(wait_until([&] { return !calls(notifications, "Notify").empty(); },
                           std::chrono::milliseconds(kGraceMs + 5000)))
        << s.output();
    EXPECT_GE(ms_since_start(), kGraceMs - 1000) << "the notice waits for a panel to come";
    EXPECT_NE(s.output().find("FMOUSE ERR: no system tray: the tray icon is not shown\n"),
              std::string::npos);
    auto c = calls(notifications, "Notify");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], (std::vector<std::string>{"Notify", "Vexor Driver", "0", "vexor-driver",
                                              kSummary, kBody, "-1"}));
    // The stand-in records the picture on a line of its own, after the call.
    ASSERT_TRUE(wait_until([&] { return !calls(notifications, "image-data").empty(); }, 3000ms))
        << "the notice carries the pen's picture";
    auto img = calls(notifications, "image-data");
    ASSERT_EQ(img.size(), 1u);
    ASSERT_EQ(img[0].size(), 8u);
    EXPECT_EQ(std::vector<std::string>(img[0].begin() + 1, img[0].begin() + 7),
              (std::vector<std::string>{"20", "20", "80", "1", "8", "4"}));
    EXPECT_EQ(img[0][7], rgba_hex_of_png("icon0.png"));

    // Once per run: the state changing, and time passing, bring no other.
    s.connect();
    ASSERT_EQ(s.daemon.notify(0x66), 0);
    TraySession::pause(2000);
    TraySession::ticks(2);
    EXPECT_EQ(calls(notifications, "Notify").size(), 1u) << notifications.output();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(s.tray.wait_output("FMOUSE MSG: notice shown (1)\n", 3000ms)) << s.output();
}

// A notification server that only the bus starts, on the first call to its
// name: it gets the notice.
TEST_F(SniTest, NoticeReachesAServerTheBusStarts) {
    std::string record = bus.dir() + "/activated.out";
    bus.add_service("org.freedesktop.Notifications",
                    std::string(INK_BUS_STANDIN) + " notifications " + record);
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    EXPECT_FALSE(bus.name_owned("org.freedesktop.Notifications"));
    auto notify = [&] { return calls(read_file(record).value_or(""), "Notify"); };
    ASSERT_TRUE(
        wait_until([&] { return !notify().empty(); }, std::chrono::milliseconds(kGraceMs + 5000)))
        << s.output();
    EXPECT_EQ(notify()[0][4], kSummary);
    // The stand-in records the picture on a line of its own, after the call.
    ASSERT_TRUE(wait_until(
        [&] { return !calls(read_file(record).value_or(""), "image-data").empty(); }, 3000ms));
    auto img = calls(read_file(record).value_or(""), "image-data")[0];
    ASSERT_EQ(img.size(), 8u);
    EXPECT_EQ(img[1] + "x" + img[2], "20x20");
    EXPECT_TRUE(s.tray.wait_output("FMOUSE MSG: notice shown (1)\n", 3000ms)) << s.output();
}

// A bus without a notification server, and none to start: nothing is
// shown, nothing fails.
TEST_F(SniTest, NoNoticeWithoutNotificationServer) {
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    EXPECT_TRUE(s.tray.wait_output("FMOUSE MSG: no notification server: no notice\n",
                                   std::chrono::milliseconds(kGraceMs + 5000)))
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
    past_grace();
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
    EXPECT_NE(s.output().find("tray icon shown in the system tray\n"), std::string::npos);
}

// Hosts that come after the tray, as a panel at login does: a notification
// area docks the icon, a watcher gets the item (which then takes the
// icon's place), and no notice goes out.
TEST_F(SniTest, LateNotificationAreaAndLateWatcherTakeTheIcon) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    TraySession::pause(10000);  // a third of the grace period
    ASSERT_TRUE(s.host.start(s.x.display_name()));
    ASSERT_TRUE(s.host.wait_icon()) << s.output();
    EXPECT_TRUE(s.tray.wait_output("tray icon shown in the system tray\n", 3000ms));

    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(registered_item(watcher));
    EXPECT_TRUE(s.tray.wait_output(
        "tray icon out of the system tray: shown as a status notifier item\n", 3000ms))
        << "one icon where both hosts are: the item";
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));

    past_grace();
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
}

// A watcher that ends and comes back (a panel restarted) gets the item again;
// meanwhile the icon is in the notification area.
TEST_F(SniTest, RestartedWatcherGetsTheItemAgain) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(start_tray(true));
    ASSERT_NO_FATAL_FAILURE(registered_item(watcher));
    // The item may have come before the icon was docked at all.
    size_t docked = count_of(s.output(), "tray icon shown in the system tray\n");

    watcher.signal(SIGTERM);
    ASSERT_TRUE(watcher.wait(3000ms).has_value());
    EXPECT_TRUE(
        s.tray.wait_output("status notifier watcher gone: tray icon in the system tray\n", 3000ms))
        << s.output();
    EXPECT_TRUE(wait_until(
        [&] { return count_of(s.output(), "tray icon shown in the system tray\n") > docked; },
        3000ms))
        << "docked again: " << s.output();

    Process again;
    ASSERT_NO_FATAL_FAILURE(start_standin(again, "watcher"));
    ASSERT_NO_FATAL_FAILURE(registered_item(again, 1, 2));
    s.connect();
    EXPECT_TRUE(icon_name_becomes("vexor-driver-connected"));
    EXPECT_EQ(menu_labels().size(), 4u);
}

// A watcher without a host (a panel's registry with nothing to show its
// items) leaves the icon docked in the notification area; a host that comes
// gets the item, and when it goes the icon is docked again.
TEST_F(SniTest, ItemOnlyWhileTheWatcherHasAHost) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher-without-host"));
    ASSERT_NO_FATAL_FAILURE(start_tray(true));
    EXPECT_TRUE(s.tray.wait_output(
        "status notifier watcher without a host: tray icon in the system tray\n", 3000ms))
        << s.output();
    TraySession::ticks(2);
    EXPECT_TRUE(calls(watcher, "RegisterStatusNotifierItem").empty()) << watcher.output();
    EXPECT_EQ(s.output().find("tray icon out of the system tray"), std::string::npos);

    watcher.signal(SIGUSR1);
    ASSERT_NO_FATAL_FAILURE(registered_item(watcher));
    EXPECT_TRUE(s.tray.wait_output(
        "tray icon out of the system tray: shown as a status notifier item\n", 3000ms));

    size_t docked = count_of(s.output(), "tray icon shown in the system tray\n");
    watcher.signal(SIGUSR2);
    EXPECT_TRUE(
        s.tray.wait_output("status notifier host gone: tray icon in the system tray\n", 3000ms))
        << s.output();
    EXPECT_TRUE(wait_until(
        [&] { return count_of(s.output(), "tray icon shown in the system tray\n") > docked; },
        3000ms))
        << "docked again: " << s.output();
}

// The watcher and then the whole bus going away while the tray runs: it goes
// on serving the daemon, in both looks.
TEST_F(SniTest, KeepsServingWhenWatcherAndBusEnd) {
    ASSERT_NO_FATAL_FAILURE(start_standin(watcher, "watcher"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(registered_item(watcher));

    watcher.signal(SIGTERM);
    ASSERT_TRUE(watcher.wait(3000ms).has_value());
    EXPECT_TRUE(s.tray.wait_output("status notifier watcher gone", 3000ms)) << s.output();
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
    ASSERT_TRUE(wait_until([&] { return !calls(notifications, "Notify").empty(); },
                           std::chrono::milliseconds(kGraceMs + 5000)));
    bus.kill();
    TraySession::ticks(2);
    s.connect();
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.poll(), 0);
    EXPECT_TRUE(s.tray.running());
}

// The panel's settings, read by its settings service (xfconfd, which the
// bus starts): one panel along the top with the Status Tray only.
const char *kPanelConfig = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)xml";

constexpr const char *kWatcher = "org.kde.StatusNotifierWatcher";

// The real panel, xfce4-panel with its Status Tray, on the test's X server
// and bus.
class PanelTest : public BusTest {
  protected:
    void SetUp() override {
        if (!xfce_panel_installed())
            GTEST_SKIP() << "xfce4-panel is not installed (apt-get install xfce4-panel): no real "
                            "panel to test the tray icon with";
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        auto xfconf = read_file("/usr/share/dbus-1/services/org.xfce.Xfconf.service");
        ASSERT_TRUE(xfconf.has_value()) << "xfce4-panel without its settings service (xfconf)";
        write_file(bus.services_dir() + "/org.xfce.Xfconf.service", *xfconf);
        std::string dir = bus.dir() + "/config";
        for (const char *d : {"/xfce4", "/xfconf", "/xfce-perchannel-xml"})
            mkdir((dir += d).c_str(), 0700);
        write_file(dir + "/xfce4-panel.xml", kPanelConfig);
    }

    // Starts the panel and waits until its watcher has a host.
    void start_panel() {
        auto env = bus.xdg_env();
        env.push_back({"DISPLAY", s.x.display_name()});
        env.push_back({"DBUS_SESSION_BUS_ADDRESS", bus.address()});
        {
            EnvFor set(env);
            // A group of its own: its plugin runs in a wrapper process of its own.
            panel = Process::start({"/usr/bin/xfce4-panel", "--disable-wm-check"},
                                   bus.dir() + "/panel.out", "", Process::Group::Own);
        }
        ASSERT_TRUE(wait_until(
            [&] {
                GVariant *v = bus.property(kWatcher, "/StatusNotifierWatcher", kWatcher,
                                           "IsStatusNotifierHostRegistered");
                bool hosted = v != nullptr && g_variant_get_boolean(v);
                if (v != nullptr)
                    g_variant_unref(v);
                return hosted;
            },
            10000ms))
            << panel.output();
    }
    void stop_panel() { panel.stop_group(3000ms); }

    // The items the panel's watcher holds.
    std::vector<std::string> panel_items() {
        std::vector<std::string> out;
        GVariant *v = bus.property(kWatcher, "/StatusNotifierWatcher", kWatcher,
                                   "RegisteredStatusNotifierItems");
        if (v == nullptr)
            return out;
        gsize n = 0;
        const gchar **items = g_variant_get_strv(v, &n);
        out.assign(items, items + n);
        g_free(items);
        g_variant_unref(v);
        return out;
    }
    // Waits until the panel holds the tray's item, and the tray has had its
    // `answers`-th answer from a watcher; the item's bus name and path.
    void panel_has_item(size_t answers = 1) {
        ASSERT_TRUE(wait_until([&] { return panel_items().size() == 1; }, 5000ms))
            << s.output() << panel.output();
        std::string entry = panel_items()[0];
        item_name = entry.substr(0, entry.find('/'));
        item_path = entry.substr(item_name.size());
        EXPECT_EQ(item_path, "/StatusNotifierItem");
        ASSERT_NO_FATAL_FAILURE(wait_answers(answers));
    }

    // The panel window along the top of the screen.
    XWin panel_window() {
        for (const XWin &w : s.x.find("xfce4-panel"))
            if (w.w > 100)
                return w;
        return {};
    }
    // Centre of what the panel shows besides its background: the icon.
    bool find_icon(int *x, int *y) {
        XWin p = panel_window();
        if (p.w == 0)
            return false;
        bool found = false;
        s.x.screenshot(
            bus.dir() + "/panel", p.x, p.y, p.w, p.h,
            [&](std::uint32_t (*at)(void *, int, int), void *img) {
                std::uint32_t bg = at(img, p.w / 2, p.h / 2);
                // Lines along the panel's whole length or height
                // are its borders.
                std::vector<int> rows(p.h), cols(p.w);
                for (int py = 0; py < p.h; ++py)
                    for (int px = 0; px < p.w; ++px)
                        if (at(img, px, py) != bg) {
                            ++rows[py];
                            ++cols[px];
                        }
                int x0 = p.w, x1 = -1, y0 = p.h, y1 = -1;
                for (int py = 0; py < p.h; ++py)
                    for (int px = 0; px < p.w; ++px)
                        if (at(img, px, py) != bg && rows[py] < p.w / 2 && cols[px] < p.h - 1) {
                            x0 = std::min(x0, px);
                            x1 = std::max(x1, px);
                            y0 = std::min(y0, py);
                            y1 = std::max(y1, py);
                        }
                // One icon of about 16 to 24 pixels, nothing else.
                found = x1 >= 0 && x1 - x0 < 32 && y1 - y0 < 32;
                *x = p.x + (x0 + x1) / 2;
                *y = p.y + (y0 + y1) / 2;
                return false;
            });
        return found;
    }

    Process panel;
};

// The panel that is there first shows the item: it reads the item and its
// menu as the tests do, draws the icon, and a right click on the icon opens
// the panel's own menu of the item, whose choice reaches the tray and which
// follows the tray's state; a left click opens the tray's menu by the icon.
TEST_F(PanelTest, PanelShowsTheItemAndItsMenuChoiceReachesTheTray) {
    s.before_tray = [&] {
        start_panel();
        return HasFatalFailure() ? std::string("the panel did not start") : std::string();
    };
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(panel_has_item());
    EXPECT_EQ(item_property("Id"), "vexor-driver");
    EXPECT_EQ(menu_labels(), (std::vector<std::string>{"About Vexor Driver", "Exit"}));
    // The panel hosts both kinds: the icon shows once, as the item (find_icon
    // sees one icon only).

    int x = 0, y = 0;
    ASSERT_TRUE(wait_until([&] { return find_icon(&x, &y); }, 5000ms)) << "no icon on the panel";
    XWin bar = panel_window();
    EXPECT_LT(y, bar.y + bar.h);

    // Right click: the panel's menu, built from the exported one.
    s.x.click(x, y, 3);
    XWin menu = s.x.wait_popup();
    ASSERT_NE(menu.id, 0u) << panel.output();
    s.x.key(XK_Down);
    s.x.key(XK_Return);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1)) << s.output();
    EXPECT_TRUE(s.tray.wait_output("menu choice from the panel: About Vexor Driver\n", 3000ms));
    s.x.close_request(s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    ASSERT_TRUE(wait_until([&] { return s.x.popups().empty(); }, 3000ms));

    // Left click: the item is activated, and the tray opens its own menu
    // by the icon.
    s.x.click(x, y, 1);
    EXPECT_TRUE(s.tray.wait_output("item Activate at ", 3000ms)) << s.output();
    menu = s.x.wait_popup();
    ASSERT_NE(menu.id, 0u) << s.output();
    EXPECT_GE(menu.y, bar.y + bar.h - 2) << "below the icon on a top panel";
    EXPECT_LT(std::abs(menu.x - x), 200);
    s.x.key(XK_Escape);

    // Connected: the panel's own copy of the menu, which follows the menu's
    // signals, offers the calibrate items first.
    ASSERT_TRUE(wait_until([&] { return s.x.popups().empty(); }, 3000ms));
    bus.follow_signal("com.canonical.dbusmenu", "ItemsPropertiesUpdated");
    s.connect();
    ASSERT_TRUE(wait_until([&] { return bus.signals("ItemsPropertiesUpdated") >= 1; }, 3000ms));
    s.x.click(x, y, 3);
    ASSERT_TRUE(wait_until([&] { return !s.x.popups().empty(); }, 3000ms)) << panel.output();
    s.x.key(XK_Down);
    s.x.key(XK_Return);
    EXPECT_TRUE(s.tray.wait_output("menu choice from the panel: Calibrate (Normal)\n", 3000ms))
        << s.output();
}

// A panel that comes after the tray (as at login) gets the item, and one
// that is restarted gets it again; the notice does not go out.
TEST_F(PanelTest, LatePanelGetsTheItemAndNoNoticeGoesOut) {
    ASSERT_NO_FATAL_FAILURE(start_standin(notifications, "notifications"));
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_NO_FATAL_FAILURE(start_panel());
    ASSERT_NO_FATAL_FAILURE(panel_has_item());
    s.connect();
    EXPECT_TRUE(icon_name_becomes("vexor-driver-connected"));
    EXPECT_EQ(menu_labels().size(), 4u);
    int x = 0, y = 0;
    EXPECT_TRUE(wait_until([&] { return find_icon(&x, &y); }, 5000ms)) << "no icon on the panel";

    stop_panel();
    EXPECT_TRUE(s.tray.wait_output("status notifier watcher gone", 3000ms)) << s.output();
    ASSERT_NO_FATAL_FAILURE(start_panel());
    ASSERT_NO_FATAL_FAILURE(panel_has_item(2));
    EXPECT_TRUE(wait_until([&] { return find_icon(&x, &y); }, 5000ms)) << "no icon on the panel";

    past_grace();
    EXPECT_TRUE(calls(notifications, "Notify").empty()) << notifications.output();
    EXPECT_EQ(s.output().find("no system tray"), std::string::npos) << s.output();
}

// A real notification server that the bus starts on the first call (dunst
// installs such a service file): the notice reaches it.
TEST_F(PanelTest, NoticeReachesDunstStartedByTheBus) {
    if (access("/usr/bin/dunst", X_OK) != 0)
        GTEST_SKIP() << "dunst is not installed (apt-get install dunst)";
    bus.add_service("org.freedesktop.Notifications", "/usr/bin/dunst");
    ASSERT_NO_FATAL_FAILURE(start_tray(false));
    ASSERT_TRUE(bus.set_activation_env("DISPLAY", s.x.display_name()));
    EXPECT_FALSE(bus.name_owned("org.freedesktop.Notifications"));
    EXPECT_TRUE(s.tray.wait_output("FMOUSE MSG: notice shown (",
                                   std::chrono::milliseconds(kGraceMs + 8000)))
        << s.output();
    GVariant *info = bus.call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                              "org.freedesktop.Notifications", "GetServerInformation", nullptr);
    ASSERT_NE(info, nullptr);
    const gchar *name = nullptr;
    g_variant_get(info, "(&s&s&s&s)", &name, nullptr, nullptr, nullptr);
    EXPECT_STREQ(name, "dunst");
    g_variant_unref(info);
}

}  // namespace
