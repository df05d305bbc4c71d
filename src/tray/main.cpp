// inktray: the tray icon and menu of the pen driver, its calibration window
// and dialogs, and the client of the daemon's command channel.
//
// Two threads: the command thread (cmd_client) answers the daemon and leaves
// screen work in `ui_cmd`; the GTK main thread runs the 200 ms dispatcher
// `check`, which carries that work out, and raises the user's requests in
// `send_gui_data_flag` for the daemon's next poll.
#include <libintl.h>
#include <pthread.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "calibrate.h"
#include "cmd_client.h"
#include "control.h"
#include "dialogs.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "tmp_names.h"
#include "ink_time.h"
#include "notice.h"
#include "screen_area.h"
#include "status_notifier_item.h"
#include "tray_images.h"
#include "tray_state.h"

namespace {

constexpr const char *kDebugOption = "--vxd-debug";
constexpr long kDispatchMs = 200;
constexpr long kMenuPauseMs = 1000;   // after a calibrate menu item
constexpr long kDotsDoneStepMs = 20;  // 6 steps once the last target is done
constexpr int kDotsDoneSteps = 6;
constexpr long kDotsDoneWaitMs = 1000;  // then the wait dialog
// How long a panel may take to come at login before the user is told that
// there is nowhere to show the icon: a loaded machine may take that long.
constexpr long kNoAreaGraceMs = 30000;

GtkWidget *image1 = nullptr, *image2 = nullptr, *image3 = nullptr, *image4 = nullptr;
pthread_t guicmd_tid;

GtkWidget *screen_item = nullptr;   // "Screen", only while there are two monitors or more
std::string screen_menu_shown;      // what its submenu shows, to rebuild it on a change
bool screen_menu_building = false;  // marks set while building are not choices
std::vector<ink::monitors::Choice> screen_choices;  // one a radio item, in order

// A radio item of the Screen submenu chosen: the choice is written for the
// next tick to take up.
void screen_choice_on_activate(GtkMenuItem *item, gpointer data) {
    if (screen_menu_building || !gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item)))
        return;
    size_t i = GPOINTER_TO_SIZE(data);
    if (i >= screen_choices.size())
        return;
    const ink::monitors::Choice &c = screen_choices[i];
    std::string err;
    if (ink::monitors::write_choice(ink::monitors::choice_path(), c, &err)) {
        fmouse_msgf("screen chosen: %s\n", ink::monitors::format_choice(c).c_str());
    } else {
        fmouse_errf("screen choice not saved: %s\n", err.c_str());
        screen_menu_shown.clear();  // the marks go back to the area in use
    }
}

GtkWidget *screen_radio(GSList *&group, const std::string &label, bool active) {
    GtkWidget *item = gtk_radio_menu_item_new_with_label(group, label.c_str());
    group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), active ? TRUE : FALSE);
    g_signal_connect(item, "activate", G_CALLBACK(screen_choice_on_activate),
                     GSIZE_TO_POINTER(screen_choices.size() - 1));
    return item;
}

// The Screen submenu follows the monitors and the area in use: one radio
// item a monitor and one for the whole desktop, the area in use marked. With
// a single monitor there is none.
void rebuild_screen_menu() {
    const ScreenArea &a = screen_area();
    const auto &mons = a.layout.monitors;
    if (mons.size() < 2) {
        if (screen_item != nullptr) {
            gtk_widget_destroy(screen_item);
            screen_item = nullptr;
            screen_menu_shown.clear();
            fmouse_msg("screen menu removed\n");
        }
        return;
    }
    std::vector<std::string> labels;
    std::string shown;
    for (size_t i = 0; i < mons.size(); ++i) {
        labels.push_back(ink::monitors::describe(mons[i]));
        shown += (static_cast<int>(i) == a.chosen.index ? "*" : "") + labels.back() + ", ";
    }
    shown += std::string(a.chosen.index < 0 ? "*" : "") + tr("Whole desktop");
    if (screen_item != nullptr && shown == screen_menu_shown)
        return;
    screen_menu_shown = shown;
    fmouse_msgf("screen menu: %s\n", shown.c_str());

    if (screen_item == nullptr) {
        screen_item = gtk_menu_item_new_with_label(tr(N_("Screen")));
        // After the two calibrate items, before About.
        gtk_menu_shell_insert(GTK_MENU_SHELL(menu), screen_item, 2);
        gtk_widget_show(screen_item);
    }
    GtkWidget *old = gtk_menu_item_get_submenu(GTK_MENU_ITEM(screen_item));
    if (old != nullptr)
        gtk_widget_destroy(old);

    // A monitor is chosen by its name, or by its place when names repeat.
    bool unique = true;
    for (size_t i = 0; i < mons.size(); ++i)
        for (size_t j = i + 1; j < mons.size(); ++j)
            unique = unique && mons[i].name != mons[j].name;
    screen_menu_building = true;
    screen_choices.clear();
    GtkWidget *sub = gtk_menu_new();
    GSList *group = nullptr;
    for (size_t i = 0; i < mons.size(); ++i) {
        ink::monitors::Choice c;
        c.kind = unique ? ink::monitors::Choice::Kind::Name : ink::monitors::Choice::Kind::Index;
        c.index = static_cast<int>(i);
        c.name = mons[i].name;
        screen_choices.push_back(c);
        gtk_menu_shell_append(
            GTK_MENU_SHELL(sub),
            screen_radio(group, labels[i], static_cast<int>(i) == a.chosen.index));
    }
    ink::monitors::Choice all;
    all.kind = ink::monitors::Choice::Kind::All;
    screen_choices.push_back(all);
    gtk_menu_shell_append(GTK_MENU_SHELL(sub),
                          screen_radio(group, tr(N_("Whole desktop")), a.chosen.index < 0));
    gtk_widget_show_all(sub);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(screen_item), sub);
    screen_menu_building = false;
}

// The area the daemon works in: read again on every tick, so that the size
// the command thread answers with follows the screen, the monitors and the
// user's choice.
ink::monitors::Rect read_screen_size() {
    const ScreenArea &a = screen_area_update();
    screen_width.store(a.rect.width);
    screen_height.store(a.rect.height);
    rebuild_screen_menu();
    return a.rect;
}

// Screen-size watch, run on every tick without a pending action: the daemon
// is told once whenever the area moves or changes its size.
void watch_resolution(const ink::monitors::Rect &r) {
    if (r == resolution)
        return;
    fmouse_msg("resolution has changed\n");
    resolution = r;
    raise_request(GUI_EVT_RESOLUTION);
}

// The last target is done: let the user see it, then close the window and
// show the wait dialog while the daemon stores the new calibration.
void dots_done() {
    if (!calibrate_window_open()) {
        fmouse_err("calibration finish without a calibration window: ignored\n");
        return;
    }
    calibrate_hide_current();
    for (int i = 0; i < kDotsDoneSteps; ++i)
        ink::time::sleep_ms(kDotsDoneStepMs);
    calibrate_end();
    ink::time::sleep_ms(kDotsDoneWaitMs);
    con_dial();
    uconnected();
}

// The dispatcher: takes the pending action out of the mailbox first, so that a
// command arriving while the action runs waits for the next tick.
gboolean check(gpointer) {
    // The size the command thread answers with follows the screen on every
    // tick; the watch below reports a change only on a tick without an action.
    ink::monitors::Rect area = read_screen_size();
    unsigned char action = ui_cmd.exchange(0);
    if (action != 0)
        fmouse_msgf("dispatch %s\n", gui_cmd_name(action));
    switch (static_cast<GuiCmd>(action)) {
        case GUI_CMD_CLEAR:
            watch_resolution(area);
            break;
        case GUI_CMD_CALIB_DOT: {
            std::uint64_t d = calibrate_dot.load();
            calibrate_notify2(dot_x(d), dot_y(d));
            break;
        }
        case GUI_CMD_WAIT_DIALOG:
            con_dial();
            break;
        case GUI_CMD_WAIT_CLOSE:
            con_dial_close();
            break;
        case GUI_CMD_SHOW_CONNECTED:
            connected();
            break;
        case GUI_CMD_DISCONNECTED:
            calibrate_start_dial_close();
            calibrate_end();
            uconnected();
            break;
        case GUI_CMD_CONNECTING:
            con_dial();
            uconnected();
            break;
        case GUI_CMD_CONNECTED:
            con_dial_close();
            connected();
            break;
        case GUI_CMD_CALIB_END:
            calibrate_end();
            break;
        case GUI_CMD_DOTS_DONE:
            dots_done();
            break;
        default:  // GUI_CMD_CALIB_MODE and anything else: nothing to show
            break;
    }
    // inkctl is served once the first tick has given the menu its look.
    static bool control_served = false;
    if (!control_served) {
        control_served = true;
        control_start();
    }
    return TRUE;
}

bool icon_taken = false;  // a notification area or a watcher with a host has taken it once

// A left click opens the menu by the icon, where GTK places a status icon's
// menu (below it on a top panel, above it on a bottom one). Other buttons
// go on to GTK, whose right click opens the same menu through "popup-menu".
gboolean tray_icon_on_click(GtkStatusIcon *icon, GdkEventButton *event, gpointer data) {
    if (event->button != 1 || event->type != GDK_BUTTON_PRESS)
        return FALSE;
    fmouse_msg("Clicked on tray icon\n");
    gtk_menu_popup(GTK_MENU(data), nullptr, nullptr, gtk_status_icon_position_menu, icon,
                   event->button, event->time);
    // Handled here: GTK's own handler would send "activate" as well.
    return TRUE;
}

void tray_icon_on_menu(GtkStatusIcon *status_icon, guint button, guint activate_time,
                       gpointer data) {
    fmouse_msg("Popup menu\n");
    gtk_menu_popup(GTK_MENU(data), nullptr, nullptr, gtk_status_icon_position_menu, status_icon,
                   button, activate_time);
}

void tray_icon_on_embedded(GtkStatusIcon *icon, GParamSpec *, gpointer) {
    if (gtk_status_icon_is_embedded(icon)) {
        icon_taken = true;
        fmouse_msg("tray icon shown in the system tray\n");
    } else if (status_item_shown()) {
        fmouse_msg("tray icon out of the system tray: shown as a status notifier item\n");
    } else {
        fmouse_err("tray icon removed from the system tray\n");
    }
}

// A watcher with a host has taken the item: it is the icon, and the status
// icon leaves the notification area (a panel that hosts both would show
// two). When the watcher or its host goes, the status icon shows again, for
// a notification area there is or will be.
void on_item_shown(bool shown) {
    if (shown)
        icon_taken = true;
    if (tray_icon != nullptr)
        gtk_status_icon_set_visible(tray_icon, shown ? FALSE : TRUE);
}

// Once, after the panel's time to come: with neither a notification area nor
// a watcher with a host having taken the icon by then, the program goes on
// serving the daemon, and tells the user once, through the desktop's
// notifications, how to calibrate without it.
gboolean tray_icon_check_taken(gpointer) {
    bool embedded = tray_icon != nullptr && gtk_status_icon_is_embedded(tray_icon);
    if (!icon_taken && !embedded && !status_item_shown()) {
        fmouse_err("no system tray: the tray icon is not shown\n");
        notice_send_once(tr(N_("Vexor Driver is running")),
                         tr(N_("There is no notification area for the pen icon. To calibrate, "
                               "open the applications menu and choose \"Calibrate Pen\", or "
                               "run \"inkctl calibrate\".")));
    }
    return FALSE;
}

void menuItem1_on_click(GtkMenuItem *, gpointer) {
    calibrate();
    ink::time::sleep_ms(kMenuPauseMs);
    calib_normal_adv.store(GUI_CALIB_NORMAL);
}

void menuItem2_on_click(GtkMenuItem *, gpointer) {
    calibrate();
    ink::time::sleep_ms(kMenuPauseMs);
    calib_normal_adv.store(GUI_CALIB_ADVANCED);
}

void menuItem4_on_click(GtkMenuItem *, gpointer) {
    if (about_dlg_show_flag != 0) {
        fmouse_msg("close about dialog before exit!\n");
        return;
    }
    if (calibrate_dlg_show_flag != 0) {
        fmouse_msg("close calibrate dialog before exit!\n");
        return;
    }
    if (id0 != 0)
        g_source_remove(id0);
    id0 = 0;
    fmouse_msg("delete! (click menuitem4 of exit).\n");
    gtk_main_quit();
}

// The GtkStatusIcon for a notification area, with its handlers; nullptr when
// it cannot be made.
GtkStatusIcon *make_status_icon() {
    GdkPixbuf *pb = pixbuf_from_inline(icon1);
    tray_icon = gtk_status_icon_new_from_pixbuf(pb);
    g_object_unref(pb);
    if (tray_icon == nullptr) {
        fmouse_err("tray icon create error\n");
        return nullptr;
    }
    g_signal_connect(tray_icon, "button-press-event", G_CALLBACK(tray_icon_on_click), menu);
    g_signal_connect(tray_icon, "popup-menu", G_CALLBACK(tray_icon_on_menu), menu);
    g_signal_connect(tray_icon, "notify::embedded", G_CALLBACK(tray_icon_on_embedded), nullptr);
    gtk_status_icon_set_tooltip_text(tray_icon, "Vexor Driver");
    gtk_status_icon_set_visible(tray_icon, TRUE);
    return tray_icon;
}

// Both looks for the whole run: the status icon for a notification area,
// which docks it whenever a tray manager comes, and the item for a
// StatusNotifierWatcher, offered to every watcher that comes while it has a
// host. The item is preferred where both are.
void create_tray_icon() {
    make_status_icon();
    status_item_start(menu, on_item_shown);
    g_timeout_add(static_cast<guint>(ink::time::pause_ms(kNoAreaGraceMs)), tray_icon_check_taken,
                  nullptr);
}

GtkWidget *menu_item(const char *label, const unsigned char *record, GtkWidget *&img,
                     void (*handler)(GtkMenuItem *, gpointer)) {
    GdkPixbuf *pb = pixbuf_from_inline(record);
    img = gtk_image_new_from_pixbuf(pb);
    g_object_unref(pb);
    GtkWidget *item = gtk_image_menu_item_new_with_label(tr(label));
    gtk_image_menu_item_set_image(GTK_IMAGE_MENU_ITEM(item), img);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    g_signal_connect(item, "activate", G_CALLBACK(handler), nullptr);
    return item;
}

}  // namespace

// inkctl's requests: the menu items' own handlers, refused where the menu
// would not offer the item (the calibrate items are hidden while the unit is
// not connected) or the handler would open nothing.
std::string control_menu_request(MenuRequest r) {
    bool connected_look = gtk_widget_get_visible(menuItem1);
    bool busy = about_dlg_show_flag != 0 || calibrate_dlg_show_flag != 0 || calibrate_window_open();
    switch (r) {
        case MenuRequest::Status:
            return connected_look ? "connected" : "unconnected";
        case MenuRequest::CalibrateNormal:
        case MenuRequest::CalibrateAdvanced:
            if (!connected_look)
                return "refused the camera unit is not connected";
            if (busy)
                return "refused a dialog or calibration is already open";
            if (r == MenuRequest::CalibrateNormal)
                menuItem1_on_click(GTK_MENU_ITEM(menuItem1), nullptr);
            else
                menuItem2_on_click(GTK_MENU_ITEM(menuItem2), nullptr);
            return "ok";
        case MenuRequest::About:
            if (busy)
                return "refused a dialog or calibration is already open";
            menuItem3_on_click(GTK_MENU_ITEM(menuItem3), nullptr);
            return "ok";
    }
    return "refused unknown request";
}

int main(int argc, char **argv) {
    std::setlocale(LC_ALL, "");
    bindtextdomain(kTextDomain, ink::path::kLocaleDir);
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    gtk_init(&argc, &argv);

    if (argc == 2) {
        if (std::strcmp(argv[1], kDebugOption) != 0) {
            std::puts("argument error!");
            return -1;
        }
        vxd_debug_flag = 1;
        fmouse_msg("vexor driver debug mode\n");
    } else if (argc > 2) {
        std::puts("argument error");
        return -1;
    }

    ui_cmd.store(GUI_CMD_DISCONNECTED);

    menu = gtk_menu_new();
    menuItem1 = menu_item(N_("Calibrate (Normal)"), icon2, image1, menuItem1_on_click);
    menuItem2 = menu_item(N_("Calibrate (Advanced)"), icon3, image2, menuItem2_on_click);
    menuItem3 = menu_item(N_("About Vexor Driver"), icon4, image3, menuItem3_on_click);
    menuItem4 = menu_item(N_("Exit"), icon5, image4, menuItem4_on_click);
    gtk_widget_show_all(menu);
    create_tray_icon();

    resolution = read_screen_size();
    id0 = g_timeout_add(static_cast<guint>(ink::time::pause_ms(kDispatchMs)), check, nullptr);

    int rc = pthread_create(&guicmd_tid, nullptr, fmouse_guicmd_func, nullptr);
    vxdcore_pid.store(getppid());
    if (rc != 0) {
        fmouse_err("gui cmd thread create error!\n");
        return -1;
    }

    gtk_main();
    control_stop();
    status_item_end();

    if (channel_closed_by_daemon()) {
        // The daemon has gone; its pid file is its own business.
        fmouse_msg("daemon has closed the command channel, exit\n");
        return 0;
    }
    // Only our own daemon's pid file goes: a file of another user, or one
    // naming some other process, is not ours to remove.
    if (ink::tmp::read_own_pid_file(ink::path::kPidFile) == getppid()) {
        unlink(ink::path::kPidFile);
        fmouse_msg("delete .inkd.pid and exit\n");
    } else {
        fmouse_msg("the file .inkd.pid is not our daemon's, left in place; exit\n");
    }
    return 0;
}
