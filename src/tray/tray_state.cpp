#include "tray_state.h"

#include <libintl.h>

#include <clocale>

std::atomic<unsigned char> ui_cmd{0};
std::atomic<unsigned char> send_gui_data_flag{0};
std::atomic<unsigned char> calib_normal_adv{GUI_CALIB_NORMAL};
std::atomic<std::uint64_t> calibrate_dot{0};
std::atomic<int> kvx_normal_dot_x{0}, kvx_normal_dot_y{0}, kvx_adv_dot_x{0}, kvx_adv_dot_y{0},
    kvx_sidespace{0};
std::atomic<pid_t> vxdcore_pid{0}, inkrelay_pid{0};
std::atomic<int> screen_width{0}, screen_height{0};
ink::monitors::Rect resolution;
int about_dlg_show_flag = 0, wait_dlg_show_flag = 0, calibrate_dlg_show_flag = 0;
guint id0 = 0;
GtkStatusIcon *tray_icon = nullptr;
GtkWidget *menu = nullptr, *menuItem1 = nullptr, *menuItem2 = nullptr, *menuItem3 = nullptr,
          *menuItem4 = nullptr;

const char *tr(const char *msgid) {
    return dcgettext(kTextDomain, msgid, LC_MESSAGES);
}
