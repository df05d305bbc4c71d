#include "spawn_child.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

#include "fmouse_sys.h"

namespace ink::proc {

namespace {

// In the child, before the program is executed: signals that the parent
// ignores stay ignored across exec, and blocked ones stay blocked, so both
// are undone here. (Caught signals return to their default on exec anyway.)
void reset_signals() {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, nullptr);  // fails harmlessly on reserved numbers
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

pid_t spawn_child(const char *path, char *const argv[], const ChildOptions &options) {
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    reset_signals();
    if (options.parent_death_signal != 0) {
        prctl(PR_SET_PDEATHSIG, options.parent_death_signal);
        // The parent may have ended between the fork and the line above; the
        // signal would then never come.
        if (getppid() != parent)
            _exit(0);
    }
    if (options.child_note != nullptr)
        fmouse_msg(options.child_note);
    execv(path, argv);
    _exit(0);
}

}  // namespace ink::proc
