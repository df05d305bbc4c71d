// inklabseat: the login manager of the desktops stage, as much of it as a
// compositor on its DRM backend needs. One user with one active graphical
// session ("c1") on seat0; the session's, user's and seat's files under
// /run/systemd, where a compositor's session library reads them; on the
// system bus, the session to take control of and the devices it asks for,
// opened here as root and handed over as descriptors.
//
//   inklabseat USER
//
// It prints "ready" once it owns its name on the bus, and every device it
// hands out ("took MAJOR:MINOR PATH") or takes back, so that a test sees
// when the compositor has opened a device.
#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "login1_dbus.h"

namespace {

const char kSession[] = "c1";
const char kSeat[] = "seat0";
const char kSessionPath[] = "/org/freedesktop/login1/session/c1";
const char kSeatPath[] = "/org/freedesktop/login1/seat/seat0";

std::string g_user;
unsigned g_uid = 0;
std::string g_user_path;

void say(const char *fmt, const std::string &a = "") {
    std::printf(fmt, a.c_str());
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool write_text(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// The files the session library reads: what the session is, who is logged
// in, which session is active on the seat.
bool write_state_files() {
    const std::string uid = std::to_string(g_uid);
    for (const char *d :
         {"/run/systemd", "/run/systemd/sessions", "/run/systemd/users", "/run/systemd/seats"})
        mkdir(d, 0755);
    return write_text(std::string("/run/systemd/sessions/") + kSession,
                      "UID=" + uid + "\nUSER=" + g_user +
                          "\nACTIVE=1\nIS_DISPLAY=1\nSTATE=active\nREMOTE=0\nTYPE=wayland\n"
                          "CLASS=user\nSEAT=seat0\nVTNR=1\nLEADER=1\n") &&
           write_text("/run/systemd/users/" + uid,
                      "NAME=" + g_user +
                          "\nSTATE=active\nSESSIONS=c1\nSEATS=seat0\nACTIVE_SESSIONS=c1\n"
                          "ONLINE_SESSIONS=c1\nACTIVE_SEATS=seat0\nONLINE_SEATS=seat0\n"
                          "DISPLAY=c1\n") &&
           write_text(std::string("/run/systemd/seats/") + kSeat,
                      "IS_SEAT0=1\nCAN_MULTI_SESSION=1\nCAN_TTY=1\nCAN_GRAPHICAL=1\nACTIVE=c1\n"
                      "ACTIVE_UID=" +
                          uid + "\nSESSIONS=c1\nUIDS=" + uid + "\n");
}

// The node of a character device, from what sysfs says of it.
std::string char_node(unsigned major, unsigned minor) {
    const std::string uevent =
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/uevent";
    FILE *f = std::fopen(uevent.c_str(), "r");
    if (!f)
        return "";
    char line[256];
    std::string node;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "DEVNAME=", 8) == 0) {
            node = std::string("/dev/") + (line + 8);
            node.erase(node.find_last_not_of('\n') + 1);
        }
    std::fclose(f);
    return node;
}

gboolean path_of(GDBusMethodInvocation *inv, const char *kind, bool known, const char *path) {
    if (!known)
        g_dbus_method_invocation_return_dbus_error(
            inv, (std::string("org.freedesktop.login1.No") + kind).c_str(), "no such object here");
    else
        g_dbus_method_invocation_return_value(inv, g_variant_new("(o)", path));
    return TRUE;
}

gboolean on_get_session(LabManager *, GDBusMethodInvocation *inv, const char *id, gpointer) {
    return path_of(inv, "SuchSession", !std::strcmp(id, kSession) || !std::strcmp(id, "auto"),
                   kSessionPath);
}
// Every process is in the one session.
gboolean on_get_session_by_pid(LabManager *, GDBusMethodInvocation *inv, guint, gpointer) {
    return path_of(inv, "SuchSession", true, kSessionPath);
}
gboolean on_get_seat(LabManager *, GDBusMethodInvocation *inv, const char *id, gpointer) {
    return path_of(inv, "SuchSeat", !std::strcmp(id, kSeat) || !std::strcmp(id, "auto"), kSeatPath);
}
gboolean on_get_user(LabManager *, GDBusMethodInvocation *inv, guint uid, gpointer) {
    return path_of(inv, "SuchUser", uid == g_uid, g_user_path.c_str());
}
gboolean on_get_user_by_pid(LabManager *, GDBusMethodInvocation *inv, guint, gpointer) {
    return path_of(inv, "SuchUser", true, g_user_path.c_str());
}

gboolean on_take_control(LabSession *s, GDBusMethodInvocation *inv, gboolean, gpointer) {
    say("control taken");
    lab_session_complete_take_control(s, inv);
    return TRUE;
}
gboolean on_release_control(LabSession *s, GDBusMethodInvocation *inv, gpointer) {
    say("control released");
    lab_session_complete_release_control(s, inv);
    return TRUE;
}
gboolean on_activate(LabSession *s, GDBusMethodInvocation *inv, gpointer) {
    lab_session_complete_activate(s, inv);
    return TRUE;
}
gboolean on_set_type(LabSession *s, GDBusMethodInvocation *inv, const char *, gpointer) {
    lab_session_complete_set_type(s, inv);
    return TRUE;
}

// The device, opened as the login manager opens it, and handed over.
gboolean on_take_device(LabSession *s, GDBusMethodInvocation *inv, GUnixFDList *, guint major,
                        guint minor, gpointer) {
    const std::string id = std::to_string(major) + ":" + std::to_string(minor);
    const std::string node = char_node(major, minor);
    const int fd =
        node.empty() ? -1 : open(node.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        say("refused %s", id + " " + node + " (" + std::strerror(errno) + ")");
        g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.login1.DeviceNotTaken",
                                                   "cannot open the device");
        return TRUE;
    }
    GUnixFDList *list = g_unix_fd_list_new_from_array(&fd, 1);  // takes fd
    say("took %s", id + " " + node);
    lab_session_complete_take_device(s, inv, list, g_variant_new_handle(0), FALSE);
    g_object_unref(list);
    return TRUE;
}
gboolean on_release_device(LabSession *s, GDBusMethodInvocation *inv, guint major, guint minor,
                           gpointer) {
    say("released %s", std::to_string(major) + ":" + std::to_string(minor));
    lab_session_complete_release_device(s, inv);
    return TRUE;
}
gboolean on_pause_complete(LabSession *s, GDBusMethodInvocation *inv, guint, guint, gpointer) {
    lab_session_complete_pause_device_complete(s, inv);
    return TRUE;
}
gboolean on_switch_to(LabSeat *s, GDBusMethodInvocation *inv, guint, gpointer) {
    lab_seat_complete_switch_to(s, inv);
    return TRUE;
}

bool export_on(GDBusConnection *bus, gpointer skeleton, const char *path) {
    GError *err = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton), bus, path, &err)) {
        std::fprintf(stderr, "inklabseat: %s: %s\n", path, err->message);
        g_error_free(err);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const passwd *pw = argc == 2 ? getpwnam(argv[1]) : nullptr;
    if (!pw) {
        std::fprintf(stderr, "usage: inklabseat USER (a user of this machine)\n");
        return 2;
    }
    g_user = pw->pw_name;
    g_uid = pw->pw_uid;
    g_user_path = "/org/freedesktop/login1/user/_" + std::to_string(g_uid);
    if (!write_state_files()) {
        std::fprintf(stderr, "inklabseat: cannot write under /run/systemd: %s\n",
                     std::strerror(errno));
        return 1;
    }
    GError *err = nullptr;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
    if (!bus) {
        std::fprintf(stderr, "inklabseat: no system bus: %s\n", err->message);
        return 1;
    }

    LabManager *manager = lab_manager_skeleton_new();
    g_signal_connect(manager, "handle-get-session", G_CALLBACK(on_get_session), nullptr);
    g_signal_connect(manager, "handle-get-session-by-pid", G_CALLBACK(on_get_session_by_pid),
                     nullptr);
    g_signal_connect(manager, "handle-get-seat", G_CALLBACK(on_get_seat), nullptr);
    g_signal_connect(manager, "handle-get-user", G_CALLBACK(on_get_user), nullptr);
    g_signal_connect(manager, "handle-get-user-by-pid", G_CALLBACK(on_get_user_by_pid), nullptr);

    LabSession *session = lab_session_skeleton_new();
    lab_session_set_id(session, kSession);
    lab_session_set_user(session, g_variant_new("(uo)", g_uid, g_user_path.c_str()));
    lab_session_set_name(session, g_user.c_str());
    lab_session_set_seat(session, g_variant_new("(so)", kSeat, kSeatPath));
    lab_session_set_vtnr(session, 1);
    lab_session_set_type_(session, "wayland");
    lab_session_set_class(session, "user");
    lab_session_set_state(session, "active");
    lab_session_set_active(session, TRUE);
    lab_session_set_remote(session, FALSE);
    g_signal_connect(session, "handle-take-control", G_CALLBACK(on_take_control), nullptr);
    g_signal_connect(session, "handle-release-control", G_CALLBACK(on_release_control), nullptr);
    g_signal_connect(session, "handle-activate", G_CALLBACK(on_activate), nullptr);
    g_signal_connect(session, "handle-set-type", G_CALLBACK(on_set_type), nullptr);
    g_signal_connect(session, "handle-take-device", G_CALLBACK(on_take_device), nullptr);
    g_signal_connect(session, "handle-release-device", G_CALLBACK(on_release_device), nullptr);
    g_signal_connect(session, "handle-pause-device-complete", G_CALLBACK(on_pause_complete),
                     nullptr);

    LabSeat *seat = lab_seat_skeleton_new();
    lab_seat_set_id(seat, kSeat);
    lab_seat_set_active_session(seat, g_variant_new("(so)", kSession, kSessionPath));
    lab_seat_set_can_graphical(seat, TRUE);
    lab_seat_set_can_tty(seat, TRUE);
    g_signal_connect(seat, "handle-switch-to", G_CALLBACK(on_switch_to), nullptr);

    LabUser *user = lab_user_skeleton_new();
    lab_user_set_uid(user, g_uid);
    lab_user_set_name(user, g_user.c_str());
    lab_user_set_state(user, "active");
    lab_user_set_display(user, g_variant_new("(so)", kSession, kSessionPath));

    if (!export_on(bus, manager, "/org/freedesktop/login1") ||
        !export_on(bus, session, kSessionPath) || !export_on(bus, seat, kSeatPath) ||
        !export_on(bus, user, g_user_path.c_str()))
        return 1;
    GVariant *r = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.login1", 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &err);
    guint owned = 0;
    if (r) {
        g_variant_get(r, "(u)", &owned);
        g_variant_unref(r);
    }
    if (owned != 1) {
        std::fprintf(stderr, "inklabseat: org.freedesktop.login1 not owned: %s\n",
                     err ? err->message : "taken");
        return 1;
    }
    say("ready");
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}
