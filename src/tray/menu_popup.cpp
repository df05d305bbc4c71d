#include "menu_popup.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>

namespace {

ClickPoint click;  // the last point, read again whenever GTK places the menu

// The panel under the point the host gives (the click, on its icon): the
// topmost mapped top-level window there that is a bar along the monitor,
// at most a quarter of it thick.
bool panel_at(gint px, gint py, const GdkRectangle &mon, GdkRectangle *panel) {
    Display *d = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    Window root = DefaultRootWindow(d), parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, root, &root, &parent, &kids, &n) == 0)
        return false;
    bool found = false;
    for (unsigned i = n; i-- > 0 && !found;) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, kids[i], &a) == 0 || a.map_state != IsViewable ||
            a.c_class == InputOnly)
            continue;
        if (px < a.x || px >= a.x + a.width || py < a.y || py >= a.y + a.height)
            continue;
        found = true;
        *panel = GdkRectangle{a.x, a.y, a.width, a.height};
    }
    if (kids != nullptr)
        XFree(kids);
    return found && (panel->height * 4 <= mon.height || panel->width * 4 <= mon.width);
}

// The menu by the icon, as GTK places a status icon's: below a panel along
// the top, above one along the bottom, beside one along a side. Without a
// panel there, at the point: below it, or above it when the menu would not
// fit below. Kept on the monitor.
void position_at(GtkMenu *m, gint *x, gint *y, gboolean *push_in, gpointer data) {
    const auto *at = static_cast<const ClickPoint *>(data);
    gint px = at->x, py = at->y;
    GtkRequisition req;
    gtk_widget_size_request(GTK_WIDGET(m), &req);
    GdkScreen *screen = gtk_widget_get_screen(GTK_WIDGET(m));
    GdkRectangle mon;
    gdk_screen_get_monitor_geometry(screen, gdk_screen_get_monitor_at_point(screen, px, py), &mon);
    GdkRectangle panel;
    *x = px;
    *y = py + req.height <= mon.y + mon.height ? py : py - req.height;
    if (panel_at(px, py, mon, &panel)) {
        if (panel.width >= panel.height) {
            bool top = panel.y + panel.height / 2 < mon.y + mon.height / 2;
            *y = top ? panel.y + panel.height : panel.y - req.height;
        } else {
            bool left = panel.x + panel.width / 2 < mon.x + mon.width / 2;
            *x = left ? panel.x + panel.width : panel.x - req.width;
        }
    }
    *x = CLAMP(*x, mon.x, MAX(mon.x, mon.x + mon.width - req.width));
    *y = CLAMP(*y, mon.y, MAX(mon.y, mon.y + mon.height - req.height));
    *push_in = TRUE;
}

}  // namespace

void menu_popup_at(GtkWidget *menu, ClickPoint at) {
    click = at;
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, position_at, &click, 0,
                   gtk_get_current_event_time());
}
