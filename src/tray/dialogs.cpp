#include "dialogs.h"

#include "calibrate.h"
#include "fmouse_sys.h"
#include "status_notifier_item.h"
#include "screen_area.h"
#include "tray_images.h"
#include "tray_state.h"

namespace {

constexpr int kWaitWidth = 350;
constexpr int kWaitHeight = 120;
constexpr int kAboutWidth = 400;
constexpr int kAboutHeight = 150;

GtkWidget *wait_window = nullptr;

void set_default_icon_condial() {
    GdkPixbuf *icon = pixbuf_from_inline(condial);
    gtk_window_set_default_icon(icon);
    g_object_unref(icon);
}

void on_wait_destroy(GtkWidget *, gpointer) {
    wait_window = nullptr;
    wait_dlg_show_flag = 0;
}

// The user cannot close the wait dialog; only the daemon's commands do.
gboolean uclose_application(GtkWidget *, GdkEvent *, gpointer) {
    return TRUE;
}

gboolean ok_about_dlg(GtkWidget *, gpointer) {
    fmouse_msg("ok about dlg\n");
    about_dlg_show_flag = 0;
    return FALSE;
}

gboolean close_about_dlg(GtkWidget *, GdkEvent *, gpointer) {
    fmouse_msg("close about dlg\n");
    about_dlg_show_flag = 0;
    return FALSE;
}

void on_about_destroy(GtkWidget *, gpointer) {
    about_dlg_show_flag = 0;
}

void set_tray_icon(const unsigned char *record) {
    if (tray_icon == nullptr)
        return;
    GdkPixbuf *pb = pixbuf_from_inline(record);
    gtk_status_icon_set_from_pixbuf(tray_icon, pb);
    g_object_unref(pb);
}

}  // namespace

void con_dial() {
    if (wait_dlg_show_flag != 0)
        return;
    wait_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow *w = GTK_WINDOW(wait_window);
    gtk_window_set_deletable(w, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(wait_window), 0);
    gtk_widget_set_size_request(wait_window, kWaitWidth, kWaitHeight);
    gtk_window_set_title(w, "Vexor Driver");
    gtk_window_set_resizable(w, FALSE);
    gtk_window_set_keep_above(w, TRUE);
    gtk_window_set_skip_taskbar_hint(w, TRUE);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_widget_add_events(wait_window, GDK_BUTTON_PRESS_MASK);
    set_default_icon_condial();

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(wait_window), vbox);
    gtk_box_pack_start(GTK_BOX(vbox), gtk_label_new(tr("Please wait a moment.")), TRUE, TRUE, 0);

    g_signal_connect(wait_window, "delete_event", G_CALLBACK(uclose_application), nullptr);
    g_signal_connect(wait_window, "destroy", G_CALLBACK(on_wait_destroy), nullptr);
    screen_area_centre(w);
    gtk_widget_show_all(wait_window);
    wait_dlg_show_flag = 1;
}

void con_dial_close() {
    if (wait_window != nullptr)
        gtk_widget_destroy(wait_window);
    wait_dlg_show_flag = 0;
}

void connected() {
    set_tray_icon(icon0);
    status_item_set_connected(true);
    gtk_widget_show(menuItem1);
    gtk_widget_show(menuItem2);
}

void uconnected() {
    set_tray_icon(icon1);
    status_item_set_connected(false);
    gtk_widget_hide(menuItem1);
    gtk_widget_hide(menuItem2);
}

void menuItem3_on_click(GtkMenuItem *, gpointer) {
    if (about_dlg_show_flag != 0 || calibrate_dlg_show_flag != 0) {
        fmouse_msg("about dlg has been shown\n");
        return;
    }
    GtkWidget *about = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow *w = GTK_WINDOW(about);
    gtk_container_set_border_width(GTK_CONTAINER(about), 0);
    gtk_widget_set_size_request(about, kAboutWidth, kAboutHeight);
    gtk_window_set_title(w, "Vexor Driver");
    gtk_window_set_resizable(w, FALSE);
    gtk_window_set_skip_taskbar_hint(w, TRUE);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_widget_set_sensitive(about, TRUE);
    set_default_icon_condial();

    GtkWidget *vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(about), vbox);
    GtkWidget *version_align = gtk_alignment_new(0.5f, 1.0f, 0.0f, 0.0f);
    gtk_box_pack_start(GTK_BOX(vbox), version_align, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(version_align), gtk_label_new(tr("Vexor Driver Ver.1.01")));
    gtk_box_pack_start(GTK_BOX(vbox), gtk_label_new(tr("Copyright (C) 2011 Vexor Corporation")),
                       TRUE, FALSE, 0);
    GtkWidget *ok_align = gtk_alignment_new(0.5f, 0.0f, 0.25f, 0.3f);
    gtk_box_pack_end(GTK_BOX(vbox), ok_align, TRUE, TRUE, 0);
    GtkWidget *ok = gtk_button_new_with_label(tr("OK"));
    gtk_container_add(GTK_CONTAINER(ok_align), ok);
    gtk_widget_set_can_focus(ok, TRUE);
    gtk_widget_grab_focus(ok);

    g_signal_connect(ok, "clicked", G_CALLBACK(ok_about_dlg), nullptr);
    g_signal_connect_swapped(ok, "clicked", G_CALLBACK(gtk_widget_destroy), about);
    g_signal_connect(about, "delete_event", G_CALLBACK(close_about_dlg), nullptr);
    g_signal_connect(about, "destroy", G_CALLBACK(on_about_destroy), nullptr);
    screen_area_centre(w);
    gtk_widget_show_all(about);
    about_dlg_show_flag = 1;
}
