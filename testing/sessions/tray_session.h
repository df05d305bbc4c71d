// One tray program on a private X server, connected to a fake daemon, with
// the steps a user takes: open the tray menu and pick an item.
#pragma once

#include <X11/keysym.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "standins/fake_daemon.h"
#include "ink_time.h"
#include "support/env.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "x/xsession.h"

namespace inktest {

// Names of the programs' windows.
inline const std::string kCalibTitle = "Calibrate";
inline const std::string kDialogTitle = "Vexor Driver";

// Items of the tray menu, top to bottom.
enum class MenuItem { CalibNormal, CalibAdvanced, About, Exit };

class TraySession {
  public:
    // Members end in reverse order: the tray first, the X server last.
    XServer x;
    TrayHost host;
    FakeDaemon daemon;
    Process tray;
    std::string out_file;
    bool connected_look = false;
    // Environment of the tray program only (set while it is started).
    EnvFor::Vars tray_env;
    // Run once the X server is there, before the tray program starts (a
    // panel of the test's); an empty string, else what failed.
    std::function<std::string()> before_tray;

    // Starts the X server, optionally a tray host, the fake daemon and the
    // tray program, and exchanges the start-up handshake 0x66. An empty
    // string on success, else what failed.
    std::string start(bool with_host, std::vector<std::string> args = {"--vxd-debug"}, int w = 1024,
                      int h = 768) {
        reset_sandbox();
        install_program("inktray");
        if (!x.start(w, h))
            return "Xvfb did not start";
        if (with_host && !host.start(x.display_name()))
            return "tray host did not start";
        if (before_tray) {
            std::string err = before_tray();
            if (!err.empty())
                return err;
        }
        if (!daemon.listen())
            return "command socket could not be served";
        out_file = in_root("/tray.out");
        std::vector<std::string> argv{in_root("/usr/bin/inktray")};
        argv.insert(argv.end(), args.begin(), args.end());
        {
            EnvFor env(tray_env);
            tray = Process::start(argv, out_file);
        }
        if (!daemon.accept())
            return "the tray program did not connect";
        if (daemon.notify(0x66) != 0)
            return "no answer to the handshake";
        if (with_host && !host.wait_icon())
            return "the status icon was not docked";
        ticks(1);  // the first tick puts the tray into the unconnected state
        return "";
    }

    std::string output() const { return tray.output(); }

    // Switches to the connected look (0x88) and waits for a dispatcher tick.
    void connect() {
        daemon.notify(0x88);
        connected_look = true;
        ticks(1);
    }

    // Clicks the tray icon; the popup menu's window, or an empty one.
    XWin open_menu() {
        x.raise(host.panel());
        // A menu that is still closing from the last choice would be mistaken
        // for the new one.
        wait_until([&] { return x.popups().empty(); }, 2000ms);
        x.click(host.icon_x(), host.icon_y());
        XWin menu = x.wait_popup();
        // Away from the items, so that only the keys choose.
        x.move_pointer(2, 700);
        return menu;
    }

    // Picks an item with the keyboard from the open menu.
    void pick(MenuItem item) {
        int index = static_cast<int>(item);
        if (!connected_look)
            index -= 2;  // the calibrate items are hidden
        for (int i = 0; i <= index; ++i)
            x.key(XK_Down);
        x.key(XK_Return);
    }

    bool choose(MenuItem item) {
        if (open_menu().id == 0)
            return false;
        pick(item);
        return true;
    }

    // Lets n dispatcher periods (200 ms, scaled like the program) pass.
    static void ticks(int n) { sleep_ms(n * ink::time::pause_ms(200) + 40); }
    // Lets one of the program's own pauses (scaled) pass.
    static void pause(long ms) { sleep_ms(ink::time::pause_ms(ms) + 40); }

    static void sleep_ms(long ms) {
        struct timespec ts {
            ms / 1000, (ms % 1000) * 1000000
        };
        nanosleep(&ts, nullptr);
    }
};

}  // namespace inktest
