// inksetup: run once by the installation. Says that the installation is
// complete and installs the suite's autostart entry: the prepared entry that
// starts the driver at login when "Register to Startup" is checked, the one
// that leaves it unstarted otherwise ("OK" and closing the window alike).
#include <fcntl.h>
#include <gtk/gtk.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <string>

#include "ink_paths.h"
#include "unique_fd.h"

extern const unsigned char setup_icon[];  // 20x20, transparent

namespace {

constexpr const char *kTextDomain = "inksetup";
constexpr int kWidth = 360;
constexpr int kHeight = 200;

GtkWidget *window, *box1, *box2, *align, *label, *check, *separator, *button;
GdkPixbuf *pixbuf;

const char *tr(const char *msgid) {
    return dcgettext(kTextDomain, msgid, LC_MESSAGES);
}

bool write_all(int fd, const char *p, ssize_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

// Copies src over dst through a temporary file in dst's directory and a
// rename, so that dst is always either the old entry or the complete new one.
// 0 on success, -1 on failure (dst then left as it was).
int install_entry(const char *src, const char *dst) {
    ink::UniqueFd in(open(src, O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        return -1;
    std::string tmp = std::string(dst) + ".tmp";
    ink::UniqueFd out(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid())
        return -1;
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t r = read(in.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            ok = false;
        if (r <= 0)
            break;
        if (!write_all(out.get(), buf, r)) {
            ok = false;
            break;
        }
    }
    ok = ok && fchmod(out.get(), 0644) == 0 && fsync(out.get()) == 0;
    ok = close(out.release()) == 0 && ok;
    if (!ok || rename(tmp.c_str(), dst) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

gboolean close_application(GtkWidget *, gpointer) {
    bool on = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check));
    // The desktop's autostart directory may not exist yet on a fresh system.
    mkdir(ink::path::kAutostartDir, 0755);
    // The outcome is not reported: the program ends either way.
    install_entry(on ? ink::path::kAutostartTrue : ink::path::kAutostartFalse,
                  ink::path::kAutostartEntry);
    gtk_main_quit();
    return TRUE;
}

gboolean close_application_event(GtkWidget *w, GdkEvent *, gpointer data) {
    return close_application(w, data);
}

}  // namespace

int main(int argc, char **argv) {
    std::setlocale(LC_ALL, "");
    bindtextdomain(kTextDomain, ink::path::kLocaleDir);
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    gtk_init(&argc, &argv);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_signal_connect(window, "delete_event", G_CALLBACK(close_application_event), nullptr);
    gtk_window_set_title(GTK_WINDOW(window), tr("Register to Startup"));
    gtk_container_set_border_width(GTK_CONTAINER(window), 0);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    pixbuf = gdk_pixbuf_new_from_inline(-1, setup_icon, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_default_icon(pixbuf);
    gtk_widget_set_size_request(window, kWidth, kHeight);

    box1 = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box1);

    box2 = gtk_vbox_new(FALSE, 10);
    gtk_container_set_border_width(GTK_CONTAINER(box2), 8);
    gtk_box_pack_start(GTK_BOX(box1), box2, TRUE, TRUE, 0);
    align = gtk_alignment_new(0.12f, 0.5f, 0.0f, 0.0f);
    gtk_box_pack_start(GTK_BOX(box2), align, TRUE, TRUE, 0);
    label = gtk_label_new(tr("Installation is complete"));
    gtk_container_add(GTK_CONTAINER(align), label);
    align = gtk_alignment_new(0.1f, 0.0f, 0.0f, 0.0f);
    gtk_box_pack_end(GTK_BOX(box2), align, TRUE, TRUE, 0);
    check = gtk_check_button_new_with_label(tr("Register to Startup"));
    gtk_container_add(GTK_CONTAINER(align), check);

    separator = gtk_hseparator_new();
    gtk_box_pack_start(GTK_BOX(box1), separator, FALSE, TRUE, 0);

    box2 = gtk_vbox_new(FALSE, 10);
    gtk_container_set_border_width(GTK_CONTAINER(box2), 20);
    gtk_box_pack_start(GTK_BOX(box1), box2, FALSE, TRUE, 0);
    align = gtk_alignment_new(1.0f, 1.0f, 0.28f, 1.0f);
    gtk_box_pack_start(GTK_BOX(box2), align, TRUE, TRUE, 0);
    button = gtk_button_new_with_label(tr("OK"));
    g_signal_connect(button, "clicked", G_CALLBACK(close_application), nullptr);
    gtk_container_add(GTK_CONTAINER(align), button);

    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
