#include "fmouse_main.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "detect_hw.h"
#include "fmouse_cmddata.h"
#include "fmouse_gui.h"
#include "fmouse_start.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "spawn_child.h"
#include "tmp_names.h"

namespace {

constexpr long kDetectPollUs = 50000;
constexpr long kFlagWaitMs = 1000;      // how long a missing flag file may take to appear
constexpr long kInhibitorEndMs = 2000;  // how long the inhibitor may take to end

// Parent pid of a process, from /proc/<pid>/stat; -1 when unknown.
pid_t parent_of(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return -1;
    char buf[512];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name may hold blanks and parentheses: parse after the last ')'.
    const char *p = std::strrchr(buf, ')');
    int ppid = -1;
    char st;
    if (p == nullptr || std::sscanf(p + 1, " %c %d", &st, &ppid) != 2)
        return -1;
    return ppid;
}

// First child of a process, from /proc/<pid>/task/<pid>/children; -1 if none.
pid_t first_child_of(pid_t pid) {
    char path[96];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
                  static_cast<int>(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return -1;
    int child = -1;
    if (std::fscanf(f, "%d", &child) != 1)
        child = -1;
    std::fclose(f);
    return child;
}

// Reads and removes the flag file; returns the pid in it, 0 if it holds none,
// -1 if there is no flag file of ours. Whatever else stands under the name (a
// link, a FIFO, another user's file) is neither read nor removed: inkwake
// replaces it with its own file, which a later call then finds.
int take_flag_pid() {
    int fd = ink::tmp::open_own_file(ink::path::kWakeFlag);
    if (fd < 0)
        return -1;
    unlink(ink::path::kWakeFlag);
    pid_t pid = ink::tmp::read_pid(fd);
    close(fd);
    return pid > 0 ? pid : 0;
}

// Waits for the inhibitor to end, within a bound; a stuck one is ended.
pid_t reap_inhibitor() {
    int status;
    pid_t r = 0;
    long long deadline = ink::time::now_us() + ink::time::scaled_ms(kInhibitorEndMs) * 1000LL;
    while ((r = waitpid(inkwake_pid, &status, WNOHANG)) == 0 && ink::time::now_us() < deadline)
        ink::time::sleep_ms(10);
    if (r == 0) {
        // SIGTERM lets inkwake end its inhibiting command with it; only one
        // that does not go is killed outright.
        kill(inkwake_pid, SIGTERM);
        deadline = ink::time::now_us() + ink::time::scaled_ms(kInhibitorEndMs) * 1000LL;
        while ((r = waitpid(inkwake_pid, &status, WNOHANG)) == 0 && ink::time::now_us() < deadline)
            ink::time::sleep_ms(10);
    }
    if (r == 0) {
        kill(inkwake_pid, SIGKILL);
        r = waitpid(inkwake_pid, &status, 0);
    }
    return r;
}

// True while the inhibitor has not ended (it is not reaped here).
bool inhibitor_running() {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(inkwake_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

void notify_pause(unsigned char cmd_byte) {
    ink::time::sleep_s(1);
    fmouse_gui_notify(cmd_byte);
}

}  // namespace

const char *fmouse_state_name(unsigned char state) {
    switch (state) {
        case MAIN_STATE_DETECT:
            return "Detect";
        case MAIN_STATE_CONNECTING:
            return "Connecting";
        case MAIN_STATE_RUN:
            return "Run";
        case MAIN_STATE_CALIBRATE:
            return "Calibrate";
        case MAIN_STATE_DISCONNECT:
            return "Disconnect";
        case MAIN_STATE_CHANGE_RESOLUTION:
            return "Change Resolution";
    }
    return "?";
}

int detect_hw(void) {
    fmouse_msg("Detect hw\n");
    if (check_hw_configfile() != 0) {
        fmouse_err("Check hw configfile error\n");
        return -1;
    }
    if (check_refn_configfile() != 0) {
        fmouse_err("Check refN configfile error\n");
        return -1;
    }
    if (fmouse_get_main_state() != MAIN_STATE_DETECT) {
        fmouse_err("Fmouse Main State Error\n");
        return -1;
    }
    while (access(ink::path::kDeviceNode, F_OK) != 0)
        ink::time::sleep_us(kDetectPollUs);
    fmouse_msg("Vxd device is conncected\n");
    return 0;
}

void fmouse_stop_inhibitor(void) {
    int flag_pid = take_flag_pid();
    if (flag_pid < 0) {
        // The inhibitor may not have written its flag yet: give it a moment.
        long long deadline = ink::time::now_us() + ink::time::scaled_ms(kFlagWaitMs) * 1000LL;
        while (flag_pid < 0 && ink::time::now_us() < deadline && inhibitor_running()) {
            ink::time::sleep_ms(10);
            flag_pid = take_flag_pid();
        }
    }
    if (flag_pid < 0)
        fmouse_err("no inhibitor flag file\n");

    // The flag file lies in a shared directory: only a child of our own
    // inhibitor may be ended through it.
    pid_t target = -1;
    if (flag_pid > 0 && parent_of(flag_pid) == inkwake_pid) {
        target = flag_pid;
    } else {
        if (flag_pid > 0 && parent_of(flag_pid) < 0)
            fmouse_msgf("the screensaver command %d of inkwake has already ended\n", flag_pid);
        else if (flag_pid >= 0)
            fmouse_errf(
                "inhibitor flag file names pid %d, which is not inkwake's command: "
                "not signalled\n",
                flag_pid);
        target = first_child_of(inkwake_pid);
    }
    if (target > 0)
        kill(target, SIGTERM);

    if (reap_inhibitor() == inkwake_pid)
        fmouse_err("wait calibrate process is recycled\n");
    else
        fmouse_err("wait calibrate process error\n");
    inkwake_pid = 0;

    if (flag_pid >= 0) {
        // The inhibiting command is the inhibitor's child, not ours, so this
        // wait fails at once in the ordinary case. It never blocks: a pid
        // planted in the flag file could name one of our own children.
        int status;
        if (target == flag_pid && waitpid(flag_pid, &status, WNOHANG) == flag_pid)
            fmouse_err("wait tmp pid is recycled\n");
        else
            fmouse_err("wait tmp pid error\n");
    }
    // In the ordinary case the two wait lines above report no fault (the
    // command is inkwake's child, not ours): this line says so plainly.
    fmouse_msg("screensaver inhibitor stopped\n");
}

int fmouse_main_func(void) {
    fmouse_msg("fmouse main func\n");
    for (;;) {
        switch (fmouse_get_main_state()) {
            case MAIN_STATE_DETECT:
                fmouse_msg("Detect main state\n");
                if (detect_hw() != 0) {
                    fmouse_err("Detect error\n");
                    return -1;
                }
                fmouse_gui_notify(GUI_CMD_CONNECTING);
                fmouse_set_main_state(MAIN_STATE_CONNECTING);
                break;

            case MAIN_STATE_CONNECTING:
                fmouse_msg("Connecting main state\n");
                if (fmouse_connecting() == 0) {
                    fmouse_msg("Vxd is Connected\n");
                    fmouse_gui_notify(GUI_CMD_CONNECTED);
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else {
                    fmouse_msg("disconnect in connecting ms\n");
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_gui_notify(GUI_CMD_WAIT_CLOSE);
                    ink::time::sleep_s(1);
                    fmouse_msg("Vxd is Unconnected\n");
                }
                break;

            case MAIN_STATE_RUN: {
                fmouse_msg("Run main state\n");
                int r = fmouse_running();
                if (r == -1) {
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                } else if (r == 0) {
                    fmouse_set_main_state(MAIN_STATE_CALIBRATE);
                    fmouse_msg("trun to Calibrate\n");
                } else if (r == 1) {
                    fmouse_set_main_state(MAIN_STATE_CHANGE_RESOLUTION);
                    fmouse_msg("trun to Change Resolution\n");
                }
                break;
            }

            case MAIN_STATE_CALIBRATE: {
                fmouse_msg("Calibrate main state\n");
                fmouse_msg("Calibrate start\n");
                fmouse_set_calib_arg();
                char arg0[] = "inkwake";
                char *child_argv[] = {arg0, nullptr};
                // Should the daemon die before it ends the inhibition (killed,
                // or ended by a signal), the inhibitor is told to end it
                // itself; otherwise the screensaver would stay off with nobody
                // left to turn it back on.
                ink::proc::ChildOptions options;
                options.parent_death_signal = SIGTERM;
                pid_t pid = ink::proc::spawn_child(ink::path::kWakeProgram, child_argv, options);
                if (pid < 0) {
                    fmouse_err("calibrate process create error\n");
                    return 0;
                }
                inkwake_pid = pid;
                int r = fmouse_calibrate();
                fmouse_stop_inhibitor();
                if (r == 0) {
                    fmouse_msg("Calibrate Finish\n");
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else if (r == 1) {
                    fmouse_msg("Calibrate Exit\n");
                    ink::time::sleep_s(1);
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                } else {
                    notify_pause(GUI_CMD_CONNECTED);
                    notify_pause(GUI_CMD_CALIB_END);
                    ink::time::sleep_s(1);
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                    fmouse_msg("Vxd is Unconnected\n");
                }
                break;
            }

            case MAIN_STATE_DISCONNECT:
                fmouse_msg("disconnect state\n");
                fmouse_gui_notify(GUI_CMD_DISCONNECTED);
                fmouse_disconnect();
                fmouse_set_main_state(MAIN_STATE_DETECT);
                ink::time::sleep_s(2);
                break;

            case MAIN_STATE_CHANGE_RESOLUTION: {
                fmouse_msg("change resolution state\n");
                fmouse_gui_notify(GUI_CMD_CONNECTING);
                int r = fmouse_change_resolution();
                ink::time::sleep_s(1);
                if (r == 0) {
                    fmouse_gui_notify(GUI_CMD_CONNECTED);
                    fmouse_msg("Vxd is Connected\n");
                    fmouse_set_main_state(MAIN_STATE_RUN);
                } else if (r == -1) {
                    notify_pause(GUI_CMD_CONNECTED);
                    notify_pause(GUI_CMD_CONNECTED);
                    fmouse_msg("Vxd is Unconnected\n");
                    fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                }
                break;
            }

            default:
                // main_state only ever holds the values above.
                fmouse_errf("unknown main state 0x%.2x\n", fmouse_get_main_state());
                fmouse_set_main_state(MAIN_STATE_DISCONNECT);
                break;
        }
    }
}
