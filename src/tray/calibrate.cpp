#include "calibrate.h"

#include <gdk/gdkkeysyms.h>

#include "fmouse_sys.h"
#include "ink_time.h"
#include "screen_area.h"
#include "tray_images.h"
#include "tray_state.h"

namespace {

constexpr long kHideMs = 100;   // blinking target: hidden every 100 ms
constexpr long kShowMs = 200;   // ... and shown again every 200 ms
constexpr int kTargetHalf = 8;  // the 16x16 disc is centred on the point
constexpr int kStartWidth = 525;
constexpr int kStartHeight = 200;

// Every pointer is emptied by the widget's "destroy" handler, whichever path
// destroys it, so no operation ever reaches a destroyed widget.
GtkWidget *window = nullptr;
GtkWidget *event_box = nullptr;
GtkWidget *fixed = nullptr;
GtkWidget *image = nullptr;
GdkPixbuf *pixbuf = nullptr;
int width = 0, height = 0;
GtkWidget *start_window = nullptr;
guint id1 = 0, id2 = 0;

const char *const kInstruction = N_(
    "Perform calibration.\nPress the green circle displayed at the top left of the screen\nwith "
    "the Vexor Pen "
    "until it turns black.\nAfter it turns black,the next green circle is displayed.\nRepeat this "
    "procedure "
    "until the last circle is displayed at the\nbottom right.\nDo you want to start calibration?");

void remove_timers() {
    if (id1 != 0)
        g_source_remove(id1);
    if (id2 != 0)
        g_source_remove(id2);
    id1 = id2 = 0;
}

void on_window_destroy(GtkWidget *, gpointer) {
    remove_timers();
    window = event_box = fixed = image = nullptr;
    calibrate_dlg_show_flag = 0;
    // A start dialog without its window would raise a request for a
    // calibration that has nothing to show it on, and keep its grab.
    calibrate_start_dial_close();
}

void on_start_window_destroy(GtkWidget *w, gpointer) {
    if (gtk_widget_has_grab(w))
        gtk_grab_remove(w);
    start_window = nullptr;
}

void on_image_destroy(GtkWidget *w, gpointer) {
    if (image == w) {
        remove_timers();
        image = nullptr;
    }
}

gboolean on_time_handler1(gpointer widget) {
    gtk_widget_hide(GTK_WIDGET(widget));
    return TRUE;
}

gboolean on_time_handler2(gpointer widget) {
    gtk_widget_show(GTK_WIDGET(widget));
    return TRUE;
}

gboolean key_value(GtkWidget *, GdkEventKey *event, gpointer) {
    fmouse_msgf("You press the key of '%s'(%d).\n", gdk_keyval_name(event->keyval),
                static_cast<int>(event->keyval));
    if (event->keyval == GDK_Escape) {
        fmouse_msgf("press ESC(%d)\n", GDK_Escape);
        raise_request(GUI_EVT_CALIB_CANCEL);
    }
    return FALSE;
}

// Window-manager close: only a request to the daemon, the window stays until
// the daemon ends the calibration.
gboolean close_calibrate_window(GtkWidget *, GdkEvent *, gpointer) {
    fmouse_msg("Press Alt+F4\n");
    raise_request(GUI_EVT_CALIB_CANCEL);
    return TRUE;
}

gboolean calibrate_ok(GtkWidget *, gpointer) {
    if (start_window != nullptr)
        gtk_grab_remove(start_window);
    raise_request(GUI_EVT_CALIB_START);
    return FALSE;
}

gboolean calibrate_cancel(GtkWidget *, gpointer) {
    if (start_window != nullptr)
        gtk_grab_remove(start_window);
    send_gui_data_flag.store(GUI_EVT_NONE);
    calibrate_start_dial_close();
    calibrate_end();
    return TRUE;
}

gboolean calibrate_cancel_event(GtkWidget *w, GdkEvent *, gpointer data) {
    return calibrate_cancel(w, data);
}

void destroy_start_window(GtkWidget *, gpointer) {
    calibrate_start_dial_close();
}

GtkWidget *add_target_image(const unsigned char *record, int x, int y) {
    if (pixbuf != nullptr)
        g_object_unref(pixbuf);
    pixbuf = pixbuf_from_inline(record);
    GtkWidget *img = gtk_image_new_from_pixbuf(pixbuf);
    gtk_fixed_put(GTK_FIXED(fixed), img, x - kTargetHalf, y - kTargetHalf);
    gtk_widget_show(img);
    return img;
}

}  // namespace

bool calibrate_window_open() {
    return window != nullptr;
}

int calibrate() {
    if (about_dlg_show_flag != 0 || calibrate_dlg_show_flag != 0 || window != nullptr) {
        fmouse_msg("about dlg has been shown\n");
        return -1;
    }
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Calibrate");
    const ScreenArea &area = screen_area();
    if (area.whole) {
        // The whole screen. With several monitors its size is the one the
        // daemon was told, which holds them all even when GDK's is stale.
        GdkScreen *screen = gtk_window_get_screen(GTK_WINDOW(window));
        width = gdk_screen_get_width(screen);
        height = gdk_screen_get_height(screen);
        if (area.layout.monitors.size() > 1) {
            width = area.rect.width;
            height = area.rect.height;
        }
        gtk_window_set_default_size(GTK_WINDOW(window), width, height);
        gtk_window_fullscreen(GTK_WINDOW(window));
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    } else {
        // Exactly the chosen monitor: the targets come in its pixels, and
        // the window's origin is the monitor's. A window manager fullscreens
        // the window on the monitor it is placed on.
        width = area.rect.width;
        height = area.rect.height;
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_NONE);
        gtk_window_move(GTK_WINDOW(window), area.rect.x, area.rect.y);
        gtk_window_set_default_size(GTK_WINDOW(window), width, height);
        gtk_window_resize(GTK_WINDOW(window), width, height);
        gtk_window_fullscreen(GTK_WINDOW(window));
    }
    gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window), TRUE);
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroy), nullptr);

    event_box = gtk_event_box_new();
    gtk_container_add(GTK_CONTAINER(window), event_box);
    fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(event_box), fixed);

    g_signal_connect(window, "key-press-event", G_CALLBACK(key_value), window);
    g_signal_connect(window, "delete_event", G_CALLBACK(close_calibrate_window), nullptr);

    // The window is shown before the start dialog so that the dialog is mapped
    // above it even when no window manager keeps transient windows on top.
    gtk_widget_show_all(window);
    calibrate_dlg_show_flag = 1;
    calibrate_start_dial();
    return 0;
}

void calibrate_start_dial() {
    start_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow *sw = GTK_WINDOW(start_window);
    gtk_container_set_border_width(GTK_CONTAINER(start_window), 0);
    gtk_widget_set_size_request(start_window, kStartWidth, kStartHeight);
    gtk_window_set_title(sw, "Vexor Driver");
    gtk_window_set_type_hint(sw, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(sw, FALSE);
    gtk_window_set_keep_above(sw, TRUE);
    if (window != nullptr)
        gtk_window_set_transient_for(sw, GTK_WINDOW(window));
    gtk_window_set_modal(sw, TRUE);
    gtk_grab_add(start_window);
    gtk_window_set_skip_taskbar_hint(sw, TRUE);
    GdkPixbuf *icon = pixbuf_from_inline(calibrate_start);
    gtk_window_set_default_icon(icon);
    g_object_unref(icon);
    g_signal_connect(start_window, "destroy", G_CALLBACK(on_start_window_destroy), nullptr);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(start_window), vbox);
    GtkWidget *label_align = gtk_alignment_new(0.5f, 1.0f, 0.0f, 0.0f);
    gtk_box_pack_start(GTK_BOX(vbox), label_align, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(label_align), gtk_label_new(tr(kInstruction)));

    GtkWidget *hbox = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), hbox, TRUE, TRUE, 10);
    GtkWidget *ok_align = gtk_alignment_new(0.5f, 0.0f, 0.45f, 0.2f);
    GtkWidget *cancel_align = gtk_alignment_new(0.5f, 0.0f, 0.3f, 0.2f);
    gtk_box_pack_start(GTK_BOX(hbox), ok_align, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), cancel_align, TRUE, TRUE, 0);
    GtkWidget *ok = gtk_button_new_with_label(tr("OK"));
    GtkWidget *cancel = gtk_button_new_with_label(tr("Cancel"));
    gtk_container_add(GTK_CONTAINER(ok_align), ok);
    gtk_container_add(GTK_CONTAINER(cancel_align), cancel);
    gtk_widget_set_can_focus(ok, TRUE);
    gtk_widget_grab_focus(ok);

    g_signal_connect(ok, "clicked", G_CALLBACK(calibrate_ok), nullptr);
    g_signal_connect(ok, "clicked", G_CALLBACK(destroy_start_window), nullptr);
    g_signal_connect(cancel, "clicked", G_CALLBACK(calibrate_cancel), nullptr);
    g_signal_connect(start_window, "delete_event", G_CALLBACK(calibrate_cancel_event), nullptr);
    screen_area_centre(sw);
    gtk_widget_show_all(start_window);
}

void calibrate_start_dial_close() {
    if (start_window != nullptr)
        gtk_widget_destroy(start_window);  // destroy handler empties it
}

void calibrate_end() {
    if (window == nullptr)
        return;
    gtk_widget_destroy(window);  // destroy handler: pointers, flag and timers
    calibrate_dlg_show_flag = 0;
    remove_timers();
}

void calibrate_hide_current() {
    if (image != nullptr)
        gtk_widget_hide(image);
}

void calibrate_notify2(int x, int y) {
    if (fixed == nullptr) {
        fmouse_err("calibration target without a calibration window: ignored\n");
        return;
    }
    if (id1 != 0) {
        g_source_remove(id1);
        id1 = 0;
    }
    if (id2 != 0) {
        g_source_remove(id2);
        id2 = 0;
        if (image != nullptr) {
            fmouse_msg("image != NULL\n");
            gtk_widget_hide(image);
        }
    }
    add_target_image(cali_black_icon, x, y);
    image = add_target_image(cali_green_icon, x, y);
    g_signal_connect(image, "destroy", G_CALLBACK(on_image_destroy), nullptr);
    id1 = g_timeout_add(static_cast<guint>(ink::time::pause_ms(kHideMs)), on_time_handler1, image);
    id2 = g_timeout_add(static_cast<guint>(ink::time::pause_ms(kShowMs)), on_time_handler2, image);
}
