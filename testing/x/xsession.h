// A private X server for the GUI tests and the full demo, and what a user
// would do on it.
//
// XServer starts `Xvfb -displayfd` (it picks a free display number itself)
// and points DISPLAY at it for the children. The helpers find top-level
// windows by title, read pixels, type keys and click through XTEST and send
// the window manager's close request. TrayHost is a minimal system-tray
// manager (the selection owner that embeds status icons), since bare Xvfb has
// none.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace inktest {

using namespace std::chrono_literals;

bool xvfb_installed();

// Starts an X server with "-displayfd" (it picks a free display number and
// writes it to a pipe) and these further arguments; host: the DISPLAY of a
// nested server's host. group: -1 keeps the caller's process group, 0 gives
// the server one of its own, a pid puts it into that group. Returns the
// display name (":N"), empty on failure; *pid is the server's.
std::string spawn_x_server(const char *program, const std::vector<std::string> &args,
                           const std::string &host, pid_t *pid, pid_t group = -1);
// Xephyr, for displays of several monitors (nested in a private Xvfb).
bool xephyr_installed();

// Where the screen shows colour 0xRRGGBB: the centre of its pixels, rounded,
// then one pixel right and down (the solid core of a drawn disc is centred
// there). False when no pixel has that colour.
bool colour_centre(Display *d, std::uint32_t colour, int *x, int *y);

struct XWin {
    Window id = 0;
    std::string title;
    int x = 0, y = 0, w = 0, h = 0;
    bool override_redirect = false;
};

// What a user does on any display, through XTEST.
//
// Mapped top-level windows (children of the root), bottom to top.
std::vector<XWin> mapped_toplevels(Display *d);
// Mapped override-redirect windows smaller than the screen (popup menus).
std::vector<XWin> popups(Display *d);
// Gives the window the keyboard focus (when given), then presses and releases
// a key.
void press_key(Display *d, unsigned long keysym, Window focus = 0);
// Moves the pointer. warp: warps it there first, since a display of Xinerama
// heads keeps fake motion on the pointer's head and the user's hand must
// cross to the other head.
void move_pointer(Display *d, int x, int y, bool warp = false);
// Moves the pointer there (as above), then presses and releases the button.
void click(Display *d, int x, int y, unsigned button = 1, bool warp = false);

class XServer {
  public:
    // The process group the servers run in: the caller's, or one of their
    // own, so that Ctrl+C in a terminal does not take the display away from
    // a demo that ends it itself on its way out.
    enum class Group { Caller, Own };

    explicit XServer(Group group = Group::Caller) : group_(group) {}
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;
    ~XServer();

    // Starts Xvfb with one screen of w x h; false on failure.
    bool start(int w = 1024, int h = 768);
    // One X screen over several monitors, as Xinerama heads: Xephyr with
    // +xinerama, nested in a private Xvfb that holds its windows. (Xvfb alone
    // ignores screen placement.) RandR there reports the first head only.
    struct Head {
        int w, h, x, y;
    };
    bool start_heads(const std::vector<Head> &heads);
    const std::string &display_name() const { return name_; }
    Display *dpy() const { return dpy_; }
    // The servers' process group with Group::Own (-1 before the start).
    pid_t process_group() const { return host_pid_ > 0 ? host_pid_ : pid_; }

    // Mapped top-level windows (children of the root), bottom to top.
    std::vector<XWin> mapped_toplevels();
    // Mapped top-level windows whose WM_NAME is title.
    std::vector<XWin> find(const std::string &title);
    // Waits until exactly `count` windows with that title are mapped.
    bool wait_count(const std::string &title, size_t count,
                    std::chrono::milliseconds timeout = 3000ms);
    // Mapped override-redirect windows (popup menus).
    std::vector<XWin> popups();
    // Waits for a popup menu: the last one mapped, or a window of id 0.
    XWin wait_popup(std::chrono::milliseconds timeout = 3000ms);

    // Colour of a screen pixel as 0xRRGGBB.
    std::uint32_t pixel(int x, int y);
    // Gives the window the keyboard focus, then presses and releases a key.
    void key(unsigned long keysym, Window focus = 0);
    void click(int x, int y, unsigned button = 1);
    void move_pointer(int x, int y);
    void raise(Window w);
    // The window manager's close request (WM_DELETE_WINDOW).
    void close_request(Window w);
    // Saves the screen (or one region of it) as a PNG file. `accept`, when
    // given, looks at the picture first (pixel reader, image; coordinates
    // relative to the region) and can refuse it: nothing is written then.
    bool screenshot(
        const std::string &png, int x = 0, int y = 0, int w = 0, int h = 0,
        const std::function<bool(std::uint32_t (*)(void *, int, int), void *)> &accept = {});

  private:
    bool open(const std::string &name);
    // The group argument of spawn_x_server for the next server started.
    pid_t next_group() const;
    Group group_;
    pid_t pid_ = -1;
    pid_t host_pid_ = -1;  // the Xvfb that a nested server shows in
    std::string name_, host_name_;
    Display *dpy_ = nullptr;
};

class TrayHost {
  public:
    TrayHost() = default;
    TrayHost(const TrayHost &) = delete;
    TrayHost &operator=(const TrayHost &) = delete;
    ~TrayHost();

    // Takes the tray selection of screen 0 and serves dock requests; the
    // panel is a bar along the top of the screen.
    bool start(const std::string &display);
    // Waits until an icon is docked.
    bool wait_icon(std::chrono::milliseconds timeout = 5000ms);
    // Centre of the docked icon in root coordinates.
    int icon_x() const { return icon_x_; }
    int icon_y() const { return icon_y_; }
    Window panel() const { return panel_; }
    static constexpr int kPanelHeight = 26;

  private:
    void run();
    Display *dpy_ = nullptr;
    Window panel_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> docked_{false};
    int icon_x_ = 0, icon_y_ = 0;
};

}  // namespace inktest
