// Takes the pictures of the user guide: the real programs on a private Xvfb
// server, driven by the fake daemon and the keyboard like the tests.
// Usage: tray_screenshots <output directory> (needs a sandbox build).
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ink_paths.h"
#include "sessions/tray_session.h"

using namespace inktest;

namespace {

bool fail(const std::string &what) {
    std::fprintf(stderr, "tray_screenshots: %s\n", what.c_str());
    return false;
}

// Retries until the picture shows the current target green.
bool shoot_targets(XServer &x, const std::string &png, int gx, int gy) {
    for (int i = 0; i < 200; ++i) {
        bool ok =
            x.screenshot(png, 0, 0, 0, 0, [&](std::uint32_t (*at)(void *, int, int), void *img) {
                return at(img, gx, gy) == 0x00947E;
            });
        if (ok)
            return true;
        TraySession::sleep_ms(3);
    }
    return false;
}

bool run(const std::string &dir) {
    TraySession s;
    std::string err = s.start(true);
    if (!err.empty())
        return fail(err);
    auto &x = s.x;

    // The icon in the panel, unconnected and connected, enlarged three times.
    auto icon_shot = [&](const std::string &name) {
        std::string png = dir + "/" + name;
        int w = 90;
        return x.screenshot(png, DisplayWidth(x.dpy(), 0) - w, 0, w, TrayHost::kPanelHeight) &&
               std::system(("convert '" + png + "' -scale 300% '" + png + "'").c_str()) == 0;
    };
    if (!icon_shot("tray_icon_unconnected.png"))
        return fail("icon picture");
    s.connect();
    if (!icon_shot("tray_icon_connected.png"))
        return fail("icon picture");

    // The tray menu in the connected state, with the panel it hangs from.
    XWin menu = s.open_menu();
    if (menu.id == 0)
        return fail("menu did not open");
    x.key(XK_Down);
    TraySession::sleep_ms(300);
    int left = menu.x - 40 < 0 ? 0 : menu.x - 40;
    if (!x.screenshot(dir + "/tray_menu.png", left, 0, 1024 - left, menu.y + menu.h + 20))
        return fail("menu picture");
    x.key(XK_Escape);
    TraySession::sleep_ms(100);

    // The calibration start dialog over the blank full-screen window.
    if (!s.choose(MenuItem::CalibNormal) || !x.wait_count(kCalibTitle, 1) ||
        !x.wait_count(kDialogTitle, 1))
        return fail("calibration window did not open");
    TraySession::sleep_ms(300);
    XWin dlg = x.find(kDialogTitle)[0];
    std::string start_png = dir + "/calibration_start.png";
    if (!x.screenshot(start_png))
        return fail("start dialog picture");
    // No window manager draws a frame here: outline the dialog on the picture.
    std::string outline = "convert '" + start_png +
                          "' -fill none -stroke '#6A6A6A' -draw 'rectangle " +
                          std::to_string(dlg.x - 1) + "," + std::to_string(dlg.y - 1) + " " +
                          std::to_string(dlg.x + dlg.w) + "," + std::to_string(dlg.y + dlg.h) +
                          "' '" + start_png + "'";
    if (std::system(outline.c_str()) != 0)
        return fail("outline");

    // Three targets done (black), the fourth blinking green.
    x.key(XK_Return, x.find(kDialogTitle)[0].id);
    x.wait_count(kDialogTitle, 0);
    s.daemon.poll();
    s.daemon.calib_mode();
    const int pts[4][2] = {{102, 77}, {512, 77}, {922, 77}, {102, 384}};
    for (auto &p : pts) {
        s.daemon.dot(p[0], p[1]);
        TraySession::sleep_ms(100);
    }
    if (!shoot_targets(x, dir + "/calibration_targets.png", pts[3][0], pts[3][1]))
        return fail("targets picture");
    s.daemon.notify(0x99);
    x.wait_count(kCalibTitle, 0);

    // The wait dialog.
    s.daemon.notify(0x33);
    x.wait_count(kDialogTitle, 1);
    TraySession::sleep_ms(200);
    XWin wait = x.find(kDialogTitle)[0];
    if (!x.screenshot(dir + "/wait_dialog.png", wait.x - 20, wait.y - 20, wait.w + 40, wait.h + 40))
        return fail("wait picture");
    s.daemon.notify(0x44);
    x.wait_count(kDialogTitle, 0);

    // The About dialog.
    if (!s.choose(MenuItem::About) || !x.wait_count(kDialogTitle, 1))
        return fail("about did not open");
    TraySession::sleep_ms(200);
    XWin about = x.find(kDialogTitle)[0];
    if (!x.screenshot(dir + "/about_dialog.png", about.x - 20, about.y - 20, about.w + 40,
                      about.h + 40))
        return fail("about picture");
    x.key(XK_Return, about.id);

    // inksetup.
    install_program("inksetup");
    Process setup = Process::start({in_root("/usr/bin/inksetup")}, in_root("/setup.out"));
    if (!x.wait_count("Register to Startup", 1))
        return fail("inksetup did not open");
    TraySession::sleep_ms(300);
    XWin sw = x.find("Register to Startup")[0];
    x.key(XK_space, sw.id);
    TraySession::sleep_ms(100);
    if (!x.screenshot(dir + "/setup_dialog.png", sw.x - 20, sw.y - 20, sw.w + 40, sw.h + 40))
        return fail("setup picture");
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    if (!xvfb_installed())
        return fail("Xvfb is not installed") ? 0 : 1;
    return run(argv[1]) ? 0 : 1;
}
