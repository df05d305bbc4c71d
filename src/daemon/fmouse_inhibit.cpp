#include "fmouse_inhibit.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fmouse_cmddata.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "spawn_child.h"
#include "tmp_names.h"

namespace {

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
    long long deadline = ink::time::now_us() + ink::time::budget_ms(kInhibitorEndMs) * 1000LL;
    while ((r = waitpid(inkwake_pid, &status, WNOHANG)) == 0 && ink::time::now_us() < deadline)
        ink::time::sleep_ms(10);
    if (r == 0) {
        // SIGTERM lets inkwake end its inhibiting command with it; only one
        // that does not go is killed outright.
        kill(inkwake_pid, SIGTERM);
        deadline = ink::time::now_us() + ink::time::budget_ms(kInhibitorEndMs) * 1000LL;
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

}  // namespace

int fmouse_start_inhibitor(void) {
    char arg0[] = "inkwake";
    char *argv[] = {arg0, nullptr};
    // Should the daemon die before it ends the inhibition (killed, or ended by
    // a signal), the inhibitor is told to end it itself; otherwise the
    // screensaver would stay off with nobody left to turn it back on.
    ink::proc::ChildOptions options;
    options.parent_death_signal = SIGTERM;
    pid_t pid = ink::proc::spawn_child(ink::path::kWakeProgram, argv, options);
    if (pid < 0) {
        fmouse_err("calibrate process create error\n");
        return -1;
    }
    inkwake_pid = pid;
    return 0;
}

void fmouse_stop_inhibitor(void) {
    int flag_pid = take_flag_pid();
    if (flag_pid < 0) {
        // The inhibitor may not have written its flag yet: give it a moment.
        long long deadline = ink::time::now_us() + ink::time::budget_ms(kFlagWaitMs) * 1000LL;
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
