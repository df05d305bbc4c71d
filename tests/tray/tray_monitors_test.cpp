// inktray on one X screen of two monitors (Xephyr with Xinerama heads: an
// 800x600 panel at the left, the primary, and a 640x480 projector right of
// it), driven by a fake daemon: the size it reports, where the calibration
// window and its targets go, and the Screen submenu that picks the monitor.
#include <gtest/gtest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "sessions/private_bus.h"
#include "sessions/tray_session.h"

using namespace inktest;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kGreen = 0x00947E;
constexpr int kPanelShift = 800;

// Lines of the tray's output from byte `from` on that start with `prefix`.
int lines_from(const std::string &out, size_t from, const std::string &prefix) {
    int n = 0;
    for (size_t at = from; at < out.size();) {
        size_t end = out.find('\n', at);
        if (out.compare(at, prefix.size(), prefix) == 0)
            ++n;
        at = end == std::string::npos ? out.size() : end + 1;
    }
    return n;
}

// After a change of the monitors: the daemon is told, then the requests stop,
// and the tray told of no area it did not see. A server may show an
// in-between layout to a client that reads between two of its requests;
// that layout is told too, and counts as an area seen.
void expect_told_of_the_change(TraySession &s, size_t from) {
    EXPECT_TRUE(wait_until([&] { return s.daemon.poll() == 0x30; }, 1000ms)) << s.output();
    EXPECT_TRUE(wait_until(
        [&] {
            TraySession::ticks(3);
            return s.daemon.poll() == 0;
        },
        3000ms))
        << s.output();
    std::string out = s.output();
    EXPECT_LE(lines_from(out, from, "resolution has changed"),
              lines_from(out, from, "screen area "))
        << out;
}

class TrayMonitorsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xephyr_installed())
            GTEST_SKIP() << "Xephyr is not installed (apt-get install xserver-xephyr)";
        reset_sandbox();
        install_program("inktray");
        config_ = in_root("/config");
        choice_file = config_ + "/vexor-driver/screen";
        mkdir(config_.c_str(), 0700);
        mkdir((config_ + "/vexor-driver").c_str(), 0700);
        std::remove(choice_file.c_str());
        const char *old = std::getenv("XDG_CONFIG_HOME");
        saved_config_ = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_config_)
            setenv("XDG_CONFIG_HOME", saved_config_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        if (tray.pid() > 0) {
            std::string out = tray.output();
            EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
            EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
        }
    }

    // The X server of the two heads, optionally a tray host, the fake daemon
    // and the tray program after its start-up handshake.
    void start(bool with_host) {
        ASSERT_TRUE(x.start_heads({{800, 600, 0, 0}, {640, 480, 800, 0}}));
        if (with_host) {
            ASSERT_TRUE(host.start(x.display_name()));
        }
        ASSERT_TRUE(daemon.listen());
        tray = Process::start({in_root("/usr/bin/inktray"), "--vxd-debug"}, in_root("/tray.out"));
        ASSERT_TRUE(daemon.accept());
        ASSERT_EQ(daemon.notify(0x66), 0);
        if (with_host) {
            ASSERT_TRUE(host.wait_icon());
            // The nested server keeps the pointer on its first head, and the
            // icon docks at the panel's right end: the panel moves left so
            // that the icon is on the first head.
            XMoveWindow(x.dpy(), host.panel(), -kPanelShift, 0);
            XSync(x.dpy(), False);
        }
        TraySession::ticks(1);
    }
    std::string output() { return tray.output(); }
    // Replaces the choice file in one step, as the tray program itself does:
    // the program never reads half a file.
    void choose(const std::string &line) {
        write_file(choice_file + ".new", line);
        ASSERT_EQ(std::rename((choice_file + ".new").c_str(), choice_file.c_str()), 0);
    }
    int width() { return value(daemon.screen(0xF0)); }
    int height() { return value(daemon.screen(0xF1)); }
    static int value(const Bytes &b) {
        if (b.size() != 5 || b[4] != 0)
            return -1;
        return b[0] | (b[1] << 8) | (b[2] << 16) | (b[3] << 24);
    }

    // Clicks the tray icon; the popup menu's window, or an empty one.
    XWin open_menu() {
        x.raise(host.panel());
        wait_until([&] { return x.popups().empty(); }, 2000ms);
        x.click(host.icon_x() - kPanelShift, host.icon_y());
        XWin menu;
        wait_until(
            [&] {
                auto p = x.popups();
                if (p.empty())
                    return false;
                menu = p.back();
                return true;
            },
            3000ms);
        x.move_pointer(2, 590);
        return menu;
    }
    void down(int n) {
        for (int i = 0; i < n; ++i)
            x.key(XK_Down);
    }

    std::string choice_file;
    XServer x;
    TrayHost host;
    FakeDaemon daemon;
    Process tray;

  private:
    std::string config_;
    std::optional<std::string> saved_config_;
};

TEST_F(TrayMonitorsTest, SizeOfTheChosenMonitor) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    // No choice: of two monitors the one that is not the primary.
    EXPECT_EQ(daemon.screen(0xF0), (Bytes{0x80, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(daemon.screen(0xF1), (Bytes{0xE0, 0x01, 0x00, 0x00, 0x00}));

    // The file's content, the area's size, and what the tray says once it
    // has read the file (on a tick after it changed).
    struct Case {
        std::string line;
        int w, h;
        std::string said;
    };
    for (const Case &c : {
             Case{"all\n", 1440, 600, "the whole screen, as chosen"},
             Case{"monitor 0\n", 800, 600, "monitor 0 (XINERAMA-0), as chosen"},
             Case{"XINERAMA-1\n", 640, 480, "monitor XINERAMA-1, as chosen"},
             Case{"XINERAMA-0", 800, 600, "monitor XINERAMA-0, as chosen"},
             Case{"monitor zero\n", 640, 480, "monitor takes a number"},
             Case{"HDMI-7\n", 640, 480, "the chosen monitor HDMI-7 is not there"},
             Case{"monitor 2\n", 640, 480, "the chosen monitor 2 is not there"},
             Case{"all\nall\n", 640, 480, "more than one line"},
             Case{"monitor 0\n", 800, 600, "monitor 0 (XINERAMA-0), as chosen"},
             Case{"", 640, 480, "screen: empty"},
         }) {
        size_t from = output().size();
        choose(c.line);
        EXPECT_TRUE(
            wait_until([&] { return output().find(c.said, from) != std::string::npos; }, 10s))
            << c.line << output();
        EXPECT_EQ(width(), c.w) << c.line;
        EXPECT_EQ(height(), c.h) << c.line;
    }
    std::remove(choice_file.c_str());
    EXPECT_TRUE(wait_until([&] { return width() == 640; }, 10s));

    std::string out = output();
    // A file that does not parse is reported, once for its content.
    EXPECT_EQ(count_of(out, "monitor zero\": monitor takes a number"), 1u) << out;
    EXPECT_EQ(count_of(out, "more than one line; the default rules apply"), 1u) << out;
    EXPECT_EQ(count_of(out, "screen: empty; the default rules apply"), 1u) << out;
    EXPECT_NE(out.find("the chosen monitor HDMI-7 is not there"), std::string::npos) << out;
    EXPECT_NE(out.find("the chosen monitor 2 is not there"), std::string::npos) << out;
    EXPECT_TRUE(tray.running());
}

TEST_F(TrayMonitorsTest, ChoiceChangedAtRunTimeRaisesResolutionOnce) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    TraySession::ticks(1);
    EXPECT_EQ(daemon.poll(), 0);
    choose("monitor 0\n");
    EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 1000ms));
    TraySession::ticks(3);
    EXPECT_EQ(daemon.poll(), 0);
    EXPECT_EQ(width(), 800);
    EXPECT_EQ(height(), 600);

    // The same monitor by its name: the area stays, nothing to tell.
    choose("XINERAMA-0\n");
    TraySession::ticks(3);
    EXPECT_EQ(daemon.poll(), 0);

    // The whole desktop has the same height but another origin and width.
    choose("all\n");
    EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 1000ms));
    TraySession::ticks(3);
    EXPECT_EQ(daemon.poll(), 0);
    EXPECT_EQ(width(), 1440);

    // A broken file: back to the default, told once.
    choose("monitor -1\n");
    EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 1000ms));
    TraySession::ticks(3);
    EXPECT_EQ(daemon.poll(), 0);
    EXPECT_EQ(width(), 640);
    EXPECT_EQ(height(), 480);
}

// The window covers the projector only, and the daemon's targets, in its
// pixels, land on it.
TEST_F(TrayMonitorsTest, CalibrationWindowCoversTheChosenMonitor) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    daemon.notify(0x88);
    TraySession::ticks(1);
    struct Case {
        std::string line;
        int x, y, w, h;
    };
    for (const Case &c : {Case{"", 800, 0, 640, 480}, Case{"monitor 0\n", 0, 0, 800, 600},
                          Case{"all\n", 0, 0, 1440, 600}}) {
        SCOPED_TRACE(c.line);
        choose(c.line);
        TraySession::ticks(2);
        XWin menu = open_menu();
        ASSERT_NE(menu.id, 0u) << output();
        down(1);
        x.key(XK_Return);
        ASSERT_TRUE(x.wait_count(kCalibTitle, 1)) << output();
        ASSERT_TRUE(x.wait_count(kDialogTitle, 1)) << output();
        XWin cw = x.find(kCalibTitle)[0];
        EXPECT_EQ(cw.x, c.x);
        EXPECT_EQ(cw.y, c.y);
        EXPECT_EQ(cw.w, c.w);
        EXPECT_EQ(cw.h, c.h);
        // The start dialog in the middle of a chosen monitor (GTK centres
        // it on the pointer's monitor on the whole desktop).
        XWin dlg = x.find(kDialogTitle)[0];
        if (c.w != 1440) {
            EXPECT_EQ(dlg.x, c.x + (c.w - 525) / 2);
            EXPECT_EQ(dlg.y, c.y + (c.h - 200) / 2);
        }

        TraySession::pause(1000);  // the menu item's pause
        x.key(XK_Return, dlg.id);
        ASSERT_TRUE(x.wait_count(kDialogTitle, 0));
        EXPECT_EQ(daemon.poll(), 0x10);
        ASSERT_EQ(daemon.dot(100, 50), 0);
        int gx = 0, gy = 0;
        EXPECT_TRUE(wait_until([&] { return colour_centre(x.dpy(), kGreen, &gx, &gy); }, 3000ms));
        // colour_centre finds a target drawn for (100, 50) at (101, 51) of
        // a window at the origin.
        EXPECT_EQ(gx, c.x + 101);
        EXPECT_EQ(gy, c.y + 51);
        EXPECT_EQ(daemon.notify(0x99), 0);
        ASSERT_TRUE(x.wait_count(kCalibTitle, 0));
    }
}

TEST_F(TrayMonitorsTest, WaitAndAboutDialogsOnTheChosenMonitor) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    ASSERT_EQ(daemon.notify(0x33), 0);
    ASSERT_TRUE(x.wait_count(kDialogTitle, 1));
    XWin wait = x.find(kDialogTitle)[0];
    EXPECT_EQ(wait.x, 800 + (640 - 350) / 2);
    EXPECT_EQ(wait.y, (480 - 120) / 2);
    ASSERT_EQ(daemon.notify(0x44), 0);
    ASSERT_TRUE(x.wait_count(kDialogTitle, 0));

    // Unconnected: Screen, About, Exit.
    ASSERT_NE(open_menu().id, 0u);
    down(2);
    x.key(XK_Return);
    ASSERT_TRUE(x.wait_count(kDialogTitle, 1)) << output();
    XWin about = x.find(kDialogTitle)[0];
    EXPECT_EQ(about.x, 800 + (640 - 400) / 2);
    EXPECT_EQ(about.y, (480 - 150) / 2);
}

TEST_F(TrayMonitorsTest, ScreenSubmenuChoosesTheMonitor) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    daemon.notify(0x88);
    TraySession::ticks(1);
    EXPECT_NE(output().find("screen menu: XINERAMA-0 (800\u00d7600), *XINERAMA-1 (640\u00d7480), "
                            "Whole desktop\n"),
              std::string::npos)
        << output();
    EXPECT_EQ(daemon.poll(), 0);

    // Calibrate (Normal), Calibrate (Advanced), Screen: its submenu opens
    // beside it with three items.
    XWin menu = open_menu();
    ASSERT_NE(menu.id, 0u);
    down(3);
    x.key(XK_Right);
    ASSERT_TRUE(wait_until([&] { return x.popups().size() == 2; }, 2000ms)) << output();
    // The first monitor is selected on opening; Whole desktop is the third.
    down(2);
    x.key(XK_Return);
    EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 2000ms)) << output();
    EXPECT_EQ(read_file(choice_file).value_or(""), "all\n");
    TraySession::ticks(3);
    EXPECT_EQ(daemon.poll(), 0);
    EXPECT_EQ(width(), 1440);
    EXPECT_NE(output().find("screen menu: XINERAMA-0 (800\u00d7600), XINERAMA-1 (640\u00d7480), "
                            "*Whole desktop\n"),
              std::string::npos)
        << output();

    // The first monitor, by its name.
    ASSERT_NE(open_menu().id, 0u);
    down(3);
    x.key(XK_Right);
    ASSERT_TRUE(wait_until([&] { return x.popups().size() == 2; }, 2000ms));
    x.key(XK_Return);
    EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 2000ms)) << output();
    EXPECT_EQ(read_file(choice_file).value_or(""), "XINERAMA-0\n");
    TraySession::ticks(2);
    EXPECT_EQ(width(), 800);
    EXPECT_EQ(height(), 600);
}

// A second monitor comes and goes on a running server (RandR monitors on
// Xvfb: the output's monitor shrinks to the left half, a second one takes
// the right half). Without it the menu has no Screen submenu: About comes
// right after the calibrate items.
TEST(TrayMonitorChangeTest, MonitorPluggedInAndOut) {
    if (!xvfb_installed())
        GTEST_SKIP() << "Xvfb is not installed";
    std::string config = in_root("/config");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);  // holds no choice
    TraySession s;
    ASSERT_EQ(s.start(true), "") << s.output();
    s.connect();
    auto &d = s.daemon;
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1)) << s.output();
    s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_EQ(s.output().find("screen menu"), std::string::npos) << s.output();
    EXPECT_EQ(d.poll(), 0);

    Display *dpy = s.x.dpy();
    Window root = DefaultRootWindow(dpy);
    XRRScreenResources *res = XRRGetScreenResources(dpy, root);
    ASSERT_NE(res, nullptr);
    ASSERT_GE(res->noutput, 1);
    XRRMonitorInfo *left = XRRAllocateMonitor(dpy, 1);
    left->name = XInternAtom(dpy, "LEFT", False);
    *left = XRRMonitorInfo{left->name, True, True, 1, 0, 0, 512, 768, 135, 203, left->outputs};
    left->outputs[0] = res->outputs[0];
    XRRMonitorInfo *right = XRRAllocateMonitor(dpy, 0);
    *right = XRRMonitorInfo{
        XInternAtom(dpy, "RIGHT", False), False, True, 0, 512, 0, 512, 768, 135, 203, nullptr};
    // One change as the tray should see it: it cannot read the layout between
    // the two requests while the server is grabbed.
    size_t from = s.output().size();
    XGrabServer(dpy);
    XRRSetMonitor(dpy, root, left);
    XRRSetMonitor(dpy, root, right);
    XUngrabServer(dpy);
    XSync(dpy, False);
    expect_told_of_the_change(s, from);
    EXPECT_EQ(d.screen(0xF0), (Bytes{0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.screen(0xF1), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_NE(s.output().find("screen menu: LEFT (512\u00d7768), *RIGHT (512\u00d7768), Whole "
                              "desktop\n"),
              std::string::npos)
        << s.output();
    // Screen now stands where About was.
    ASSERT_TRUE(s.choose(MenuItem::About));
    TraySession::ticks(1);
    EXPECT_TRUE(s.x.find(kDialogTitle).empty());
    s.x.key(XK_Escape);
    s.x.key(XK_Escape);

    from = s.output().size();
    XRRDeleteMonitor(dpy, root, right->name);
    XRRDeleteMonitor(dpy, root, left->name);
    XSync(dpy, False);
    expect_told_of_the_change(s, from);
    EXPECT_EQ(d.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.screen(0xF1), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_NE(s.output().find("screen menu removed\n"), std::string::npos) << s.output();
    ASSERT_TRUE(s.choose(MenuItem::About));
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1)) << s.output();
    XRRFreeMonitors(left);
    XRRFreeMonitors(right);
    XRRFreeScreenResources(res);
    unsetenv("XDG_CONFIG_HOME");
    std::string out = s.output();
    EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
}

// The menu a panel shows of the tray's StatusNotifierItem follows the Screen
// submenu: it comes with the second monitor, its radio items mark the area
// in use, a choice made in the panel's copy is the user's choice, and it
// goes with the monitor.
TEST(TrayMonitorChangeTest, PanelsMenuFollowsTheScreenSubmenu) {
    if (!xvfb_installed())
        GTEST_SKIP() << "Xvfb is not installed";
    if (access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-daemon is not installed (apt-get install dbus)";
    PrivateBus bus;
    ASSERT_TRUE(bus.start());
    Process watcher;
    {
        EnvFor env({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
        watcher = Process::start({INK_BUS_STANDIN, "watcher"}, bus.dir() + "/watcher.out");
    }
    ASSERT_TRUE(watcher.wait_output("ready\n", 5000ms));
    std::string config = in_root("/config");
    mkdir(config.c_str(), 0700);
    mkdir((config + "/vexor-driver").c_str(), 0700);
    std::remove((config + "/vexor-driver/screen").c_str());
    EnvFor config_env({{"XDG_CONFIG_HOME", config}});
    TraySession s;
    s.tray_env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    ASSERT_EQ(s.start(false), "") << s.output();
    s.connect();
    ASSERT_TRUE(watcher.wait_output("RegisterStatusNotifierItem\t", 5000ms)) << s.output();
    GVariant *items =
        bus.property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                     "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems");
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(g_variant_n_children(items), 1u);
    const gchar *item = nullptr;
    g_variant_get_child(items, 0, "&s", &item);
    std::string name = item;
    g_variant_unref(items);
    auto tree = [&] {
        const gchar *all[] = {nullptr};
        GVariant *r = bus.call(name, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                               g_variant_new("(ii^as)", 0, -1, all));
        MenuEntry root{};
        if (r == nullptr)
            return root;
        GVariant *layout = g_variant_get_child_value(r, 1);
        root = read_entry(layout);
        g_variant_unref(layout);
        g_variant_unref(r);
        return root;
    };
    auto labels = [](const MenuEntry &e) {
        std::vector<std::string> out;
        for (const MenuEntry &c : e.children)
            out.push_back(c.label);
        return out;
    };
    auto screen = [&] {
        for (const MenuEntry &c : tree().children)
            if (c.label == "Screen")
                return c;
        return MenuEntry{};
    };
    EXPECT_EQ(labels(tree()),
              (std::vector<std::string>{"Calibrate (Normal)", "Calibrate (Advanced)",
                                        "About Vexor Driver", "Exit"}));
    bus.follow_signal("com.canonical.dbusmenu", "LayoutUpdated");

    Display *dpy = s.x.dpy();
    Window root = DefaultRootWindow(dpy);
    XRRScreenResources *res = XRRGetScreenResources(dpy, root);
    ASSERT_NE(res, nullptr);
    ASSERT_GE(res->noutput, 1);
    XRRMonitorInfo *left = XRRAllocateMonitor(dpy, 1);
    left->name = XInternAtom(dpy, "LEFT", False);
    *left = XRRMonitorInfo{left->name, True, True, 1, 0, 0, 512, 768, 135, 203, left->outputs};
    left->outputs[0] = res->outputs[0];
    XRRMonitorInfo *right = XRRAllocateMonitor(dpy, 0);
    *right = XRRMonitorInfo{
        XInternAtom(dpy, "RIGHT", False), False, True, 0, 512, 0, 512, 768, 135, 203, nullptr};
    XRRSetMonitor(dpy, root, left);
    XRRSetMonitor(dpy, root, right);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] { return screen().children.size() == 3; }, 10s)) << s.output();
    EXPECT_TRUE(wait_until([&] { return bus.signals("LayoutUpdated") >= 1; }, 10s))
        << "the panel is told the menu changed";
    EXPECT_EQ(labels(tree()),
              (std::vector<std::string>{"Calibrate (Normal)", "Calibrate (Advanced)", "Screen",
                                        "About Vexor Driver", "Exit"}));
    MenuEntry sub = screen();
    EXPECT_EQ(sub.children_display, "submenu");
    EXPECT_EQ(labels(sub), (std::vector<std::string>{"LEFT (512\u00d7768)", "RIGHT (512\u00d7768)",
                                                     "Whole desktop"}));
    std::vector<std::string> types;
    std::vector<int> states;
    for (const MenuEntry &c : sub.children) {
        types.push_back(c.toggle_type);
        states.push_back(c.toggle_state);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"radio", "radio", "radio"}));
    EXPECT_EQ(states, (std::vector<int>{0, 1, 0})) << s.output();

    // "Whole desktop" chosen in the panel's menu.
    std::string err;
    GVariant *r = bus.call(
        name, "/MenuBar", "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", sub.children[2].id, "clicked", g_variant_new_int32(0), 0u), &err);
    ASSERT_NE(r, nullptr) << err;
    g_variant_unref(r);
    EXPECT_TRUE(wait_until(
        [&] { return read_file(config + "/vexor-driver/screen").value_or("") == "all\n"; }, 10s))
        << s.output();
    EXPECT_TRUE(wait_until(
        [&] {
            MenuEntry now = screen();
            return now.children.size() == 3 && now.children[0].toggle_state == 0 &&
                   now.children[1].toggle_state == 0 && now.children[2].toggle_state == 1;
        },
        10s))
        << s.output();

    XRRDeleteMonitor(dpy, root, right->name);
    XRRDeleteMonitor(dpy, root, left->name);
    XSync(dpy, False);
    EXPECT_TRUE(wait_until([&] { return screen().label.empty(); }, 10s)) << s.output();
    XRRFreeMonitors(left);
    XRRFreeMonitors(right);
    XRRFreeScreenResources(res);
    std::string out = s.output();
    EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
}

}  // namespace
