// inkwake: keeps the screensaver off while a calibration runs.
//
// It runs the desktop's inhibiting command as its child, leaves the child's pid
// in the flag file for the daemon, and waits for the child to end (the daemon
// ends it when the calibration is over).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ink_paths.h"
#include "tmp_names.h"

static volatile pid_t child_pid;
static volatile sig_atomic_t flag_written;

// Ended before its command: the command goes too, or it would inhibit the
// screensaver with nobody left to end it. The daemon starts us so that its
// own death sends us this signal as well.
static void on_term(int) {
    if (child_pid > 0)
        kill(child_pid, SIGTERM);
    // The flag file names a command that is gone now; only ours is removed.
    if (flag_written)
        unlink(ink::path::kWakeFlag);
    _exit(1);
}

int main() {
    // SIGTERM waits until the child's pid is known.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &old);
    signal(SIGTERM, on_term);
    child_pid = fork();
    if (child_pid < 0)
        return -1;
    if (child_pid == 0) {
        signal(SIGTERM, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        char arg0[] = "gnome-screensaver-command";
        char arg1[] = "--inhibit";
        char *argv[] = {arg0, arg1, nullptr};
        execv(ink::path::kScreensaverProgram, argv);
        _exit(0);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);

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

    int status;
    while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
