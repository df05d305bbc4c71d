// inkwake: keeps the screen awake while a calibration runs.
//
// Its child inhibits the screensaver; the child's pid goes into the flag file
// for the daemon, which ends the child when the calibration is over, and
// inkwake exits with it. The child is the desktop's inhibiting command where
// that command still has --inhibit (older desktops), and otherwise inkwake's
// own holder, which takes the inhibition on the session bus (bus_holder.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bus_holder.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "tmp_names.h"
#include "wake_command.h"

namespace {

volatile pid_t child_pid;
volatile pid_t probe_pid;
volatile sig_atomic_t flag_written;

// Ended before its child: the child goes too, or it would inhibit the
// screensaver with nobody left to end it. The daemon starts us so that its
// own death sends us this signal as well.
void on_term(int) {
    if (probe_pid > 0)
        kill(-probe_pid, SIGKILL);
    if (child_pid > 0)
        kill(child_pid, SIGTERM);
    // The flag file names a child that is gone now; only ours is removed.
    if (flag_written)
        unlink(ink::path::kWakeFlag);
    _exit(1);
}

// inkwake takes no options: its diagnostics are on when the daemon that
// started it runs in debug mode, i.e. has --vxd-debug among its arguments.
bool parent_in_debug_mode() {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(getppid()));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    static char buf[16384];
    size_t len = 0;
    ssize_t n;
    while (len < sizeof buf - 1 && (n = read(fd, buf + len, sizeof buf - 1 - len)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        len += static_cast<size_t>(n);
    }
    close(fd);
    buf[len] = '\0';
    // NUL-separated; the first is the program.
    for (size_t i = std::strlen(buf) + 1; i < len; i += std::strlen(buf + i) + 1)
        if (std::strcmp(buf + i, "--vxd-debug") == 0)
            return true;
    return false;
}

}  // namespace

int main() {
    vxd_debug_flag = parent_in_debug_mode() ? 1 : 0;

    // SIGTERM waits until the child's pid is known.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &old);
    signal(SIGTERM, on_term);

    const bool command = command_has_inhibit(ink::path::kScreensaverProgram, probe_pid);
    if (command)
        fmouse_msg("inkwake: running gnome-screensaver-command --inhibit\n");
    else
        fmouse_msg(
            "inkwake: no gnome-screensaver-command with --inhibit: inhibiting through the session "
            "bus\n");

    // Forked before any GLib use: the holder starts GLib in a clean process.
    const pid_t self = getpid();
    child_pid = fork();
    if (child_pid < 0)
        return -1;
    if (child_pid == 0) {
        signal(SIGTERM, SIG_DFL);
        // Ended with inkwake however inkwake ends, SIGKILL included.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != self)
            _exit(0);
        if (command) {
            sigprocmask(SIG_SETMASK, &old, nullptr);
            char arg0[] = "gnome-screensaver-command";
            char arg1[] = "--inhibit";
            char *argv[] = {arg0, arg1, nullptr};
            execv(ink::path::kScreensaverProgram, argv);
            // Gone since its --help ran: the holder stands in.
            sigprocmask(SIG_BLOCK, &term, nullptr);
            fmouse_msg(
                "inkwake: gnome-screensaver-command did not start: inhibiting through "
                "the session bus\n");
        }
        _exit(run_bus_holder());
    }

    // The flag file must name the child, or nobody could end the inhibition:
    // if it cannot be written, end the child now and report failure. It is
    // created afresh, so nothing planted under its name is written through,
    // and only we may write it.
    int fd = ink::tmp::create_own_file(ink::path::kWakeFlag, 0644);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f == nullptr) {
        if (fd >= 0)
            close(fd);
        kill(child_pid, SIGTERM);
        waitpid(child_pid, nullptr, 0);
        return 1;
    }
    char buf[100];
    int n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(child_pid));
    size_t written = std::fwrite(buf, 1, static_cast<size_t>(n), f);
    bool ok = std::fclose(f) == 0 && written == static_cast<size_t>(n);
    if (!ok) {
        unlink(ink::path::kWakeFlag);
        kill(child_pid, SIGTERM);
        waitpid(child_pid, nullptr, 0);
        return 1;
    }
    flag_written = 1;
    // Only now may SIGTERM end us: before, its handler could not know whether
    // the flag file is ours to remove, and a flag naming a dead child would
    // stay behind. A SIGTERM that came meanwhile is handled here.
    sigprocmask(SIG_UNBLOCK, &term, nullptr);

    int status;
    while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
