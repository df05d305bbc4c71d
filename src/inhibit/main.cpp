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

static pid_t child_pid;

int main() {
    child_pid = fork();
    if (child_pid < 0)
        return -1;
    if (child_pid == 0) {
        char arg0[] = "gnome-screensaver-command";
        char arg1[] = "--inhibit";
        char *argv[] = {arg0, arg1, nullptr};
        execv(ink::path::kScreensaverProgram, argv);
        _exit(0);
    }

    // The flag file must name the child, or nobody could end the inhibition:
    // if it cannot be written, end the child now and report failure.
    // O_NOFOLLOW: never write through a link planted in the shared directory.
    int fd =
        open(ink::path::kWakeFlag, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
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

    int status;
    while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
