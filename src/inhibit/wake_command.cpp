#include "wake_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "ink_time.h"

namespace {

constexpr long kHelpWaitMs = 2000;
constexpr size_t kMaxHelp = 64 * 1024;  // more help text than any command prints

// The command's standard output and error until both close or the deadline.
std::string read_until(int fd, long long deadline_us) {
    std::string out;
    for (;;) {
        long long left_us = deadline_us - ink::time::now_us();
        if (left_us <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>((left_us + 999) / 1000));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (out.size() < kMaxHelp)
            out.append(buf, std::min(static_cast<size_t>(n), kMaxHelp - out.size()));
    }
    return out;
}

}  // namespace

bool command_has_inhibit(const char *path, volatile pid_t &probe) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || access(path, X_OK) != 0)
        return false;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;

    const pid_t self = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        // A group of its own, so that whatever it starts is ended with it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self)
            _exit(127);
        signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0)
            dup2(in, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        char arg0[] = "gnome-screensaver-command";
        char arg1[] = "--help";
        char *argv[] = {arg0, arg1, nullptr};
        execv(path, argv);
        _exit(127);
    }
    setpgid(pid, pid);
    close(out[1]);
    probe = pid;

    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    std::string help =
        read_until(out[0], ink::time::now_us() + ink::time::budget_ms(kHelpWaitMs) * 1000LL);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    close(out[0]);

    // Until it is reaped, the pid (and so the group) cannot be anyone else's.
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    probe = 0;
    return help.find("--inhibit") != std::string::npos;
}
