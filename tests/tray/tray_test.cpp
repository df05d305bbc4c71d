// inktray on a private Xvfb server, driven by a fake daemon on the command
// channel: reply bytes, windows seen on the X server, menu choices made with
// the pointer and keyboard through a minimal tray host.
#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "ink_paths.h"
#include "sessions/tray_session.h"

using namespace inktest;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kGreen = 0x00947E;

class TrayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb_installed())
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): no X server to test on";
    }
    // GTK reports a use of a destroyed or wrong widget as a CRITICAL line.
    void TearDown() override {
        if (!s.out_file.empty()) {
            std::string out = s.output();
            EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
            EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
        }
    }
    void start(bool with_host, std::vector<std::string> args = {"--vxd-debug"}, int w = 1024,
               int h = 768) {
        std::string err = s.start(with_host, args, w, h);
        ASSERT_EQ(err, "") << s.output();
    }
    // Samples a pixel for a while; true when it showed `colour` at least once.
    bool seen(int x, int y, std::uint32_t colour, std::chrono::milliseconds within = 3000ms) {
        return wait_until([&] { return s.x.pixel(x, y) == colour; }, within);
    }
    // True when the pixel showed only `colour` during the whole time.
    bool stays(int x, int y, std::uint32_t colour, int samples = 20) {
        for (int i = 0; i < samples; ++i) {
            if (s.x.pixel(x, y) != colour)
                return false;
            TraySession::sleep_ms(5);
        }
        return true;
    }
    // Mean brightness of the docked icon.
    double icon_brightness() {
        double sum = 0;
        int n = 0;
        for (int dy = -8; dy <= 8; dy += 2)
            for (int dx = -8; dx <= 8; dx += 2) {
                std::uint32_t p = s.x.pixel(s.host.icon_x() + dx, s.host.icon_y() + dy);
                sum += ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF);
                ++n;
            }
        return sum / n;
    }
    // Opens the calibration window from the menu and waits for both windows.
    void open_calibration(MenuItem item) {
        ASSERT_TRUE(s.choose(item));
        ASSERT_TRUE(s.x.wait_count(kCalibTitle, 1));
        ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1)) << s.output();
    }
    XWin calib_window() {
        auto w = s.x.find(kCalibTitle);
        return w.empty() ? XWin{} : w[0];
    }

    TraySession s;
};

TEST_F(TrayTest, WrongArgumentsAreRefused) {
    reset_sandbox();
    install_program("inktray");
    ASSERT_TRUE(s.x.start());
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    for (const Case &c :
         {Case{{"--vxd-debu"}, "argument error!\n"}, Case{{"--vxd-debugx"}, "argument error!\n"},
          Case{{"--vxd-debug", "x"}, "argument error\n"}}) {
        std::vector<std::string> argv{in_root("/usr/bin/inktray")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p = Process::start(argv, in_root("/args.out"));
        auto st = p.wait(5000ms);
        ASSERT_TRUE(st.has_value()) << c.args[0];
        EXPECT_TRUE(WIFEXITED(*st));
        EXPECT_EQ(WEXITSTATUS(*st), 255);
        EXPECT_NE(p.output().find(c.text), std::string::npos) << p.output();
    }
}

// No tray manager on bare Xvfb: the icon cannot be shown, and the program
// still answers every command.
TEST_F(TrayTest, AnswersEveryCommandWithoutTrayManager) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    auto &d = s.daemon;
    EXPECT_EQ(d.notify(0x77), 0);
    EXPECT_EQ(d.set_params({5, 4, 7, 6, 12, 4711, 4242}), 0);
    EXPECT_EQ(d.screen(0xF0), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.screen(0xF1), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.notify(0x88), 0);
    EXPECT_EQ(d.calib_mode(), (Bytes{0x00, 0x00}));
    for (std::uint8_t c : {0x33, 0x55, 0x99, 0x44})
        EXPECT_EQ(d.notify(c), 0) << int(c);
    EXPECT_EQ(d.poll(), 0);
    // The last action (0x44) is carried out; the bytes below would take its
    // place in the mailbox were the dispatcher's tick held back (a loaded
    // machine), and the wait dialog 0x77 or 0x33 opened would stay.
    EXPECT_TRUE(s.tray.wait_output("dispatch wait dialog closed\n", 3000ms)) << s.output();

    // 0x00 and bytes outside the table get no reply at all.
    for (std::uint8_t c : {0x00, 0x5A, 0x12, 0xF4, 0xFF}) {
        ASSERT_TRUE(d.send({c}));
        EXPECT_TRUE(d.silent_for(150ms)) << int(c);
    }
    EXPECT_EQ(d.poll(), 0);

    // Target and finish without a calibration window: answered, then ignored.
    EXPECT_EQ(d.dot(100, 100), 0);
    EXPECT_TRUE(s.tray.wait_output("dispatch calibration target\n", 3000ms)) << s.output();
    EXPECT_EQ(d.notify(0xAA), 0);
    EXPECT_TRUE(s.tray.wait_output("dispatch targets done\n", 3000ms)) << s.output();
    TraySession::ticks(2);
    EXPECT_TRUE(s.x.find(kCalibTitle).empty());
    EXPECT_TRUE(s.x.find(kDialogTitle).empty());
    EXPECT_EQ(d.poll(), 0);
    EXPECT_TRUE(s.tray.running());

    std::string out = s.output();
    EXPECT_NE(out.find("FMOUSE MSG: vexor driver debug mode\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE MSG: kvx_normal_dot_x: 5\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE MSG: kvx_sidespace: 12\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE MSG: inkrelay pid: 4242\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE MSG: 0x04\n"), std::string::npos);
    // Reported once the program has given a tray manager time to dock the icon.
    EXPECT_TRUE(wait_until(
        [&] { return s.output().find("FMOUSE ERR: no system tray") != std::string::npos; },
        std::chrono::milliseconds(ink::time::pause_ms(30000) + 3000)))
        << s.output();
}

TEST_F(TrayTest, ScreenSizeOfAnotherScreen) {
    ASSERT_NO_FATAL_FAILURE(start(false, {}, 1366, 768));
    EXPECT_EQ(s.daemon.screen(0xF0), (Bytes{0x56, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.screen(0xF1), (Bytes{0x00, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(s.daemon.notify(0x77), 0);
    // Without "--vxd-debug" the program prints nothing of its own.
    TraySession::ticks(1);
    EXPECT_EQ(s.output().find("FMOUSE"), std::string::npos) << s.output();
}

TEST_F(TrayTest, WaitDialogOpensOnceAndClosesOnCommand) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    auto &d = s.daemon;
    ASSERT_EQ(d.notify(0x33), 0);
    TraySession::ticks(1);
    ASSERT_EQ(d.notify(0x33), 0);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1));
    TraySession::ticks(1);
    auto w = s.x.find(kDialogTitle);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].w, 350);
    EXPECT_EQ(w[0].h, 120);
    // The user cannot close it.
    s.x.close_request(w[0].id);
    TraySession::ticks(1);
    EXPECT_EQ(s.x.find(kDialogTitle).size(), 1u);

    EXPECT_EQ(d.notify(0x44), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_EQ(d.notify(0x77), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
    EXPECT_EQ(d.notify(0x88), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    // Closing with none open only changes the look; it can open again.
    EXPECT_EQ(d.notify(0x88), 0);
    TraySession::ticks(1);
    EXPECT_EQ(d.notify(0x33), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
}

TEST_F(TrayTest, ConnectedAndUnconnectedLooks) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    TraySession::ticks(1);
    double dark = icon_brightness();
    XWin menu = s.open_menu();
    ASSERT_NE(menu.id, 0u) << s.output();
    int unconnected_height = menu.h;
    s.x.key(XK_Escape);
    ASSERT_TRUE(wait_until([&] { return s.x.popups().empty(); }, 2000ms));

    s.connect();
    double bright = icon_brightness();
    EXPECT_GT(bright, dark + 60) << "connected icon should be brighter";
    menu = s.open_menu();
    ASSERT_NE(menu.id, 0u);
    EXPECT_GT(menu.h, unconnected_height + 30) << "calibrate items should be shown";
    s.x.key(XK_Escape);
    ASSERT_TRUE(wait_until([&] { return s.x.popups().empty(); }, 2000ms));

    // 0x55 then 0x66 before the next tick: only the unconnected look.
    ASSERT_EQ(s.daemon.notify(0x55), 0);
    ASSERT_EQ(s.daemon.notify(0x66), 0);
    s.connected_look = false;
    TraySession::ticks(1);
    EXPECT_NEAR(icon_brightness(), dark, 5.0);
    menu = s.open_menu();
    EXPECT_EQ(menu.h, unconnected_height);
    s.x.key(XK_Escape);
}

TEST_F(TrayTest, CalibrationWindowTargetsAndAbort) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    s.connect();
    auto &d = s.daemon;
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibAdvanced));
    XWin cw = calib_window();
    EXPECT_EQ(cw.x, 0);
    EXPECT_EQ(cw.y, 0);
    EXPECT_EQ(cw.w, 1024);
    EXPECT_EQ(cw.h, 768);
    auto start_dlg = s.x.find(kDialogTitle);
    ASSERT_EQ(start_dlg.size(), 1u);
    EXPECT_EQ(start_dlg[0].w, 525);
    EXPECT_EQ(start_dlg[0].h, 200);
    EXPECT_EQ(d.poll(), 0);

    // "OK" has the focus.
    TraySession::pause(1000);  // the menu item's pause
    s.x.key(XK_Return, start_dlg[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_EQ(d.poll(), 0x10);
    EXPECT_EQ(d.poll(), 0);
    EXPECT_EQ(d.calib_mode(), (Bytes{0x01, 0x00}));
    EXPECT_EQ(s.x.find(kCalibTitle).size(), 1u);

    // Targets: the current one blinks green over black, earlier ones stay black.
    ASSERT_EQ(d.dot(8, 8), 0);
    EXPECT_TRUE(seen(8, 8, kGreen));
    EXPECT_TRUE(seen(8, 8, kBlack));
    // Centred on (8, 8): the disc's top-left corner is the screen's.
    for (auto [px, py] : {std::pair{5, 8}, {10, 8}, {8, 5}, {8, 10}})
        EXPECT_TRUE(seen(px, py, kGreen)) << px << "," << py;
    ASSERT_EQ(d.dot(512, 384), 0);
    EXPECT_TRUE(seen(512, 384, kGreen));
    EXPECT_TRUE(stays(8, 8, kBlack));
    ASSERT_EQ(d.dot(1000, 700), 0);
    EXPECT_TRUE(seen(1000, 700, kGreen));
    EXPECT_TRUE(stays(8, 8, kBlack));
    EXPECT_TRUE(stays(512, 384, kBlack));
    std::uint32_t background = s.x.pixel(300, 300);
    EXPECT_NE(background, kBlack);
    EXPECT_NE(background, kGreen);

    // Escape twice before a poll: one cancel request; the window stays.
    s.x.key(XK_Escape, cw.id);
    s.x.key(XK_Escape, cw.id);
    TraySession::sleep_ms(100);
    EXPECT_EQ(d.poll(), 0x20);
    EXPECT_EQ(d.poll(), 0);
    EXPECT_EQ(s.x.find(kCalibTitle).size(), 1u);
    // The window manager's close request: the same.
    s.x.close_request(cw.id);
    TraySession::sleep_ms(100);
    EXPECT_EQ(d.poll(), 0x20);
    EXPECT_EQ(d.poll(), 0);
    EXPECT_EQ(s.x.find(kCalibTitle).size(), 1u);

    // While it is open: no About dialog, no second calibration, no Exit.
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.choose(MenuItem::CalibNormal));
    TraySession::pause(1000);
    ASSERT_TRUE(s.choose(MenuItem::Exit));
    TraySession::ticks(1);
    EXPECT_EQ(s.x.find(kCalibTitle).size(), 1u);
    EXPECT_TRUE(s.x.find(kDialogTitle).empty());
    EXPECT_TRUE(s.tray.running());
    std::string out = s.output();
    EXPECT_EQ(count_of(out, "about dlg has been shown\n"), 2u) << out;
    EXPECT_NE(out.find("close calibrate dialog before exit!\n"), std::string::npos);
    // The refused calibrate item still sets the kind.
    EXPECT_EQ(d.calib_mode(), (Bytes{0x00, 0x00}));

    EXPECT_EQ(d.notify(0x99), 0);
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_EQ(d.poll(), 0);
}

TEST_F(TrayTest, TwoTargetsWithinOneTickDrawOnlyTheSecond) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    s.connect();
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    std::uint32_t background = s.x.pixel(100, 100);
    // Both commands go out back to back, well inside one dispatcher period;
    // a period boundary may still fall between them, so a few tries.
    bool only_second = false;
    for (int attempt = 0; attempt < 4 && !only_second; ++attempt) {
        int y = 100 + attempt * 100;
        Bytes burst{0x22};
        for (int v : {100, y})
            for (auto b : FakeDaemon::le32(v))
                burst.push_back(b);
        burst.push_back(0x22);
        for (int v : {300, y})
            for (auto b : FakeDaemon::le32(v))
                burst.push_back(b);
        ASSERT_TRUE(s.daemon.send(burst));
        ASSERT_EQ(s.daemon.recv(2), (Bytes{0, 0}));
        ASSERT_TRUE(seen(300, y, kGreen));
        only_second = stays(100, y, background);
    }
    EXPECT_TRUE(only_second);
}

TEST_F(TrayTest, FinishedCalibrationShowsWaitDialog) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    s.connect();
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_EQ(s.daemon.poll(), 0x10);
    EXPECT_EQ(s.daemon.calib_mode(), (Bytes{0x00, 0x00}));
    ASSERT_EQ(s.daemon.dot(200, 200), 0);
    ASSERT_TRUE(seen(200, 200, kGreen));
    ASSERT_EQ(s.daemon.notify(0xAA), 0);
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
    EXPECT_EQ(s.daemon.notify(0x88), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
}

// The dispatcher takes an action out of its mailbox before carrying it out:
// a command that arrives during the pauses of 0xAA is carried out afterwards.
TEST_F(TrayTest, CommandDuringFinishPausesIsNotLost) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    double dark = icon_brightness();
    s.connect();
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    ASSERT_EQ(s.daemon.dot(200, 200), 0);
    ASSERT_TRUE(seen(200, 200, kGreen));
    size_t connected_before = count_of(s.output(), "dispatch connected\n");
    ASSERT_EQ(s.daemon.notify(0xAA), 0);
    TraySession::ticks(1);  // 0xAA taken; its 1.12 s (scaled) of pauses run
    ASSERT_EQ(s.daemon.notify(0x88), 0);
    ASSERT_TRUE(wait_until(
        [&] { return count_of(s.output(), "dispatch connected\n") > connected_before; }, 3000ms));
    // The dispatch is logged before the windows go; the X server sees them go
    // a moment later.
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0, 3000ms));
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0, 3000ms))
        << "the wait dialog of 0xAA was closed by 0x88";
    EXPECT_GT(icon_brightness(), dark + 60);
}

TEST_F(TrayTest, StartDialogCancelCloseAndDisconnect) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    s.connect();
    // Window-manager close of the start dialog: both windows go at once.
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    s.x.close_request(s.x.find(kDialogTitle)[0].id);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_EQ(s.daemon.poll(), 0);

    // "Cancel" (one Tab from "OK").
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    XWin dlg = s.x.find(kDialogTitle)[0];
    s.x.key(XK_Tab, dlg.id);
    s.x.key(XK_Return, dlg.id);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_EQ(s.daemon.poll(), 0);

    // The calibration ended by the daemon while the start dialog is open:
    // the dialog goes with its window, and no request is left behind.
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibNormal));
    EXPECT_EQ(s.daemon.notify(0x99), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_EQ(s.daemon.poll(), 0);

    // The device goes away while the start dialog is open.
    ASSERT_NO_FATAL_FAILURE(open_calibration(MenuItem::CalibAdvanced));
    EXPECT_EQ(s.daemon.notify(0x66), 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_TRUE(s.x.wait_count(kCalibTitle, 0));
    EXPECT_EQ(s.daemon.poll(), 0);
    // A target after that is ignored.
    EXPECT_EQ(s.daemon.dot(50, 50), 0);
    TraySession::ticks(1);
    EXPECT_TRUE(s.tray.running());
}

TEST_F(TrayTest, AboutDialogAndExit) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    // The test stands for the daemon: the tray program is its child.
    write_file(ink::path::kPidFile, std::to_string(getpid()));
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1));
    XWin about = s.x.find(kDialogTitle)[0];
    EXPECT_EQ(about.w, 400);
    EXPECT_EQ(about.h, 150);
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.choose(MenuItem::Exit));
    TraySession::ticks(1);
    EXPECT_EQ(s.x.find(kDialogTitle).size(), 1u);
    EXPECT_TRUE(s.tray.running());
    EXPECT_TRUE(exists(ink::path::kPidFile));
    std::string out = s.output();
    EXPECT_NE(out.find("about dlg has been shown\n"), std::string::npos);
    EXPECT_NE(out.find("close about dialog before exit!\n"), std::string::npos);

    // Closed by the window manager, it opens again at once; "OK" closes it.
    s.x.close_request(about.id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1));
    s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));

    // A resolution change does not depend on dialogs; checked elsewhere.
    ASSERT_TRUE(s.choose(MenuItem::Exit));
    auto st = s.tray.wait(3000ms);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(WIFEXITED(*st));
    EXPECT_EQ(WEXITSTATUS(*st), 0);
    EXPECT_FALSE(exists(ink::path::kPidFile));
    EXPECT_NE(s.output().find("delete .inkd.pid and exit\n"), std::string::npos);
}

// The menu opens by the icon, where GTK places a status icon's menu (just
// below the icon on this top panel), on a left click and on a right click
// alike; both open the same menu, whose choice works.
TEST_F(TrayTest, MenuOpensByTheIconOnLeftAndRightClick) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    for (unsigned button : {1u, 3u}) {
        s.x.raise(s.host.panel());
        ASSERT_TRUE(wait_until([&] { return s.x.popups().empty(); }, 2000ms));
        s.x.click(s.host.icon_x(), s.host.icon_y(), button);
        XWin menu = s.x.wait_popup();
        ASSERT_NE(menu.id, 0u) << "button " << button << ": " << s.output();
        // The icon's lower edge is at least 8 pixels below its centre; the
        // menu starts there, not at the pointer over the panel.
        EXPECT_GE(menu.y, s.host.icon_y() + 8) << "button " << button;
        EXPECT_LE(menu.y, TrayHost::kPanelHeight + 2) << "button " << button;
        // Along the panel, the menu starts at the icon or is moved in so
        // far as the screen's edge asks: it spans the icon.
        EXPECT_LE(menu.x, s.host.icon_x()) << "button " << button;
        EXPECT_GE(menu.x + menu.w, s.host.icon_x()) << "button " << button;
        s.x.move_pointer(2, 700);
        s.pick(MenuItem::About);
        ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1)) << "button " << button;
        s.x.close_request(s.x.find(kDialogTitle)[0].id);
        ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    }
    EXPECT_EQ(count_of(s.output(), "Clicked on tray icon\n"), 1u) << s.output();
    EXPECT_EQ(count_of(s.output(), "Popup menu\n"), 1u) << "the right click goes to GTK";
}

TEST_F(TrayTest, ExitLeavesAPidFileThatIsNotItsDaemonsAndSaysSo) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    write_file(ink::path::kPidFile, "4711\n");
    ASSERT_TRUE(s.choose(MenuItem::Exit));
    auto st = s.tray.wait(3000ms);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(read_file(ink::path::kPidFile).value_or(""), "4711\n");
    std::string out = s.output();
    EXPECT_NE(out.find("the file .inkd.pid is not our daemon's, left in place; exit\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("delete .inkd.pid"), std::string::npos) << out;
}

TEST_F(TrayTest, EndsWhenTheDaemonClosesTheChannel) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    write_file(ink::path::kPidFile, "4711\n");
    s.daemon.close_channel();
    auto st = s.tray.wait(3000ms);
    ASSERT_TRUE(st.has_value()) << "the tray program should end";
    EXPECT_TRUE(WIFEXITED(*st));
    EXPECT_EQ(WEXITSTATUS(*st), 0);
    // The pid file is the daemon's; only the user's Exit removes it.
    EXPECT_TRUE(exists(ink::path::kPidFile));
}

TEST_F(TrayTest, SecondTrayCannotConnectAndKeepsTrying) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    Process second =
        Process::start({in_root("/usr/bin/inktray"), "--vxd-debug"}, in_root("/second.out"));
    EXPECT_TRUE(
        wait_until([&] { return count_of(second.output(), "try to connect\n") >= 5; }, 3000ms));
    EXPECT_TRUE(second.running());
    EXPECT_EQ(s.daemon.poll(), 0);
}

TEST_F(TrayTest, ScreenSizeChangeRaisesResolutionOnce) {
    std::string size_file = "/tmp/inktest-screen-" + std::to_string(getpid());
    write_file(size_file, "1024 768\n");
    // In a sanitizer build the preloaded shim comes before the runtime.
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
    s.tray_env = {{"INKTEST_SCREEN_FILE", size_file},
                  {"LD_PRELOAD", INK_SCREEN_SHIM},
                  {"ASAN_OPTIONS", asan_options}};
    ASSERT_NO_FATAL_FAILURE(start(true));
    auto &d = s.daemon;
    TraySession::ticks(1);
    EXPECT_EQ(d.poll(), 0);

    write_file(size_file, "1280 1024\n");
    EXPECT_TRUE(wait_until([&] { return d.poll() == 0x30; }, 1000ms));
    TraySession::ticks(2);
    EXPECT_EQ(d.poll(), 0);
    EXPECT_EQ(d.screen(0xF0), (Bytes{0x00, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(d.screen(0xF1), (Bytes{0x00, 0x04, 0x00, 0x00, 0x00}));

    // With the About dialog open the watch goes on.
    ASSERT_TRUE(s.choose(MenuItem::About));
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1));
    write_file(size_file, "1024 768\n");
    EXPECT_TRUE(wait_until([&] { return d.poll() == 0x30; }, 1000ms));
    TraySession::ticks(2);
    EXPECT_EQ(d.poll(), 0);
    std::remove(size_file.c_str());
}

}  // namespace
