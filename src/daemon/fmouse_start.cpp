#include "fmouse_start.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fmouse_cmddata.h"
#include "fmouse_gui.h"
#include "fmouse_main.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "spawn_child.h"
#include "tmp_names.h"

namespace {

constexpr const char *kDebugSwitch = "--vxd-debug";

// --- Signal handlers: only async-signal-safe calls (write, kill, waitpid,
// unlink, _exit). Banners are formatted by hand into a stack buffer.

// Appends s to buf at *n (bounded).
void sig_append(char *buf, size_t cap, size_t *n, const char *s) {
    while (*s && *n + 1 < cap)
        buf[(*n)++] = *s++;
}

void sig_append_int(char *buf, size_t cap, size_t *n, int v) {
    char digits[16];
    int k = 0;
    unsigned int u = v < 0 ? 0u - static_cast<unsigned int>(v) : static_cast<unsigned int>(v);
    do {
        digits[k++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u && k < 15);
    if (v < 0 && *n + 1 < cap)
        buf[(*n)++] = '-';
    while (k > 0 && *n + 1 < cap)
        buf[(*n)++] = digits[--k];
}

void sig_banner(int sig, const char *tag, const char *tail) {
    char buf[200];
    size_t n = 0;
    sig_append(buf, sizeof buf, &n, "\nCapture Signal NO:");
    sig_append_int(buf, sizeof buf, &n, sig);
    sig_append(buf, sizeof buf, &n, tag);
    sig_append(buf, sizeof buf, &n, tail);
    buf[n] = '\0';
    fmouse_msg_raw(buf);
}

void unlink_tmp_names() {
    unlink(ink::path::kCmdSocket);
    unlink(ink::path::kRelaySocket);
    unlink(ink::path::kWakeFlag);
}

// True when the pid file is ours and names this process (a file put in its
// place by someone else is left alone). Async-signal-safe.
bool pid_file_is_ours() {
    int fd = open(ink::path::kPidFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                ink::tmp::read_pid(fd) == getpid();
    close(fd);
    return ours;
}

void on_sigint(int sig) {
    sig_banner(sig, "(int)\n", "delete .vxd_drv.pid and exit (Ctrl+C)\n");
    if (pid_file_is_ours())
        unlink(ink::path::kPidFile);
    unlink_tmp_names();
    _exit(0);
}

void on_sigterm(int sig) {
    sig_banner(sig, "(term)\n", "");
    if (inkrelay_pid != 0 && kill(inkrelay_pid, SIGQUIT) != 0) {
        fmouse_msg_raw("Error kill inkrelay.\n");
        return;
    }
    fmouse_msg_raw("Close inkrelay.\n");
    if (inktray_pid != 0 && kill(inktray_pid, SIGQUIT) != 0) {
        fmouse_msg_raw("Error kill inktray.\n");
        return;
    }
    fmouse_msg_raw("Close inktray.\n");
    fmouse_msg_raw("Close inkd.\n");
    unlink_tmp_names();
    _exit(0);
}

void on_sigchld(int sig) {
    int saved_errno = errno;
    sig_banner(sig, "(child)\n", "");
    int status;
    pid_t r = inktray_pid > 0 ? waitpid(inktray_pid, &status, WNOHANG) : -1;
    if (r == 0) {
        // Another child (relay or inhibitor); they are reaped where the state
        // machine waits for them.
        fmouse_msg_raw("Kill inkrelay!\n");
        fmouse_msg_raw("Donot handle the signel of kill inkrelay!\n");
        errno = saved_errno;
        return;
    }
    fmouse_msg_raw("Kill inktray!\n");
    fmouse_msg_raw("Close inktray.\n");
    if (inkrelay_pid != 0 && kill(inkrelay_pid, SIGQUIT) != 0) {
        fmouse_msg_raw("Error kill inkrelay.\n");
        errno = saved_errno;
        return;
    }
    fmouse_msg_raw("Close inkrelay.\n");
    fmouse_msg_raw("Close inkd.\n");
    unlink_tmp_names();
    _exit(0);
}

void install(int sig, void (*handler)(int)) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // Interrupted reads, writes, accepts and waits resume after the handler.
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

// Who may write the pid file: only its owner. Others read it, as they need to
// see that a daemon runs.
constexpr mode_t kPidFileMode = 0644;

// Creates the pid file afresh (nothing planted under its name is written
// through) and writes the own pid. Returns false when it cannot be created.
bool write_pid_file() {
    int fd = ink::tmp::create_own_file(ink::path::kPidFile, kPidFileMode);
    if (fd < 0)
        return false;
    fmouse_msgf("The pid is %d\n", static_cast<int>(getpid()));
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%d", static_cast<int>(getpid()));
    ssize_t w = write(fd, buf, static_cast<size_t>(n));
    (void)w;
    close(fd);
    return true;
}

}  // namespace

ArgResult fmouse_check_args(int argc, char **argv) {
    if (argc == 1)
        return ArgResult::Normal;
    if (argc == 2 && std::strcmp(argv[1], kDebugSwitch) == 0)
        return ArgResult::Debug;
    return ArgResult::Error;
}

bool fmouse_pid_is_daemon(pid_t pid) {
    // A process of this user running the daemon's program; a command line that
    // merely mentions the name proves nothing.
    return ink::tmp::pid_runs_program(pid, "inkd");
}

int fmouse_pid_guard(void) {
    static const char kFirst[] = "Creating file of .inkd.pid error!\n";
    static const char kSecond[] = "Creating file of .inkd.pid error again!\n";
    const char *failure_text = kFirst;
    const int own = static_cast<int>(getpid());

    // Never through a link, and a FIFO under the name must not block us.
    int fd = open(ink::path::kPidFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        fmouse_msgf("The pid is %d\n", own);
        struct stat st;
        bool own_file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
        pid_t recorded = own_file ? ink::tmp::read_pid(fd) : -1;
        close(fd);
        const bool got = recorded > 0;
        if (!got)
            recorded = own;
        fmouse_msgf("The pid in the file .inkd.pid is %d\n", static_cast<int>(recorded));
        char proc_dir[64];
        std::snprintf(proc_dir, sizeof proc_dir, "/proc/%d", static_cast<int>(recorded));
        if (!own_file) {
            // Someone else's file, or no file at all: its content means nothing.
            fmouse_msg("The file .inkd.pid is no file of this user!\nNow start the process!\n");
        } else if (!got || recorded == own) {
            // A file without a pid (or naming this very process) cannot stand
            // for another daemon: take over instead of refusing forever.
            fmouse_msg(
                "The file .inkd.pid holds no pid of another process!\nNow start the process!\n");
        } else if (chdir(proc_dir) != 0) {
            fmouse_msg(
                "cd the file error!\nThe process had exited exceptional before!\nNow start the "
                "process!\n");
        } else if (fmouse_pid_is_daemon(recorded)) {
            fmouse_msgf("r_system = %d\n", 0);
            fmouse_msg("The process has been started!\n");
            return 1;
        } else {
            // The raw status a shell's failed grep reports (exit status 1).
            fmouse_msgf("r_system = %d\n", 256);
            fmouse_msg("The process had exited exceptional before!\n");
            failure_text = kSecond;
        }
    } else {
        fmouse_msg(
            "Opening file of .inkd.pid error!\nThe process has not been started!\nNow start the "
            "process!\n");
    }
    if (!write_pid_file()) {
        fmouse_msg(failure_text);
        return 1;
    }
    return 0;
}

int fmouse_daemon_main(int argc, char **argv) {
    install(SIGINT, on_sigint);

    ArgResult args = fmouse_check_args(argc, argv);
    if (args == ArgResult::Error) {
        std::printf("argument error!\n");
        std::fflush(stdout);
        return -1;
    }
    vxd_debug_flag = args == ArgResult::Debug ? 1 : 0;
    if (vxd_debug_flag) {
        std::printf("vexor driver debug mode\n");
        std::fflush(stdout);
    }

    if (fmouse_pid_guard() != 0)
        return 0;

    // SIGCHLD stays blocked from the fork until its handler is in place, so a
    // tray program that ends at once is still seen.
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    char arg0[] = "inktray";
    char arg1[] = "--vxd-debug";
    char *child_argv[] = {arg0, vxd_debug_flag ? arg1 : nullptr, nullptr};
    ink::proc::ChildOptions options;
    options.child_note = "inktray fork\n";
    pid_t pid = ink::proc::spawn_child(ink::path::kTrayProgram, child_argv, options);
    if (pid < 0) {
        // Without the tray program nobody would ever connect to the command
        // channel: give up now instead of waiting for good.
        fmouse_err("inktray fork error\n");
        unlink(ink::path::kPidFile);
        return 1;
    }
    inktray_pid = pid;

    install(SIGCHLD, on_sigchld);
    install(SIGTERM, on_sigterm);
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_SETMASK, &old, nullptr);

    fmouse_set_main_state(MAIN_STATE_DETECT);
    if (fmouse_alg2gui_cmd_init() != 0) {
        // No channel, no tray program: end the suite instead of waiting for a
        // connection that cannot come.
        fmouse_err("alg2gui cmd init error\n");
        signal(SIGCHLD, SIG_DFL);
        kill(inktray_pid, SIGQUIT);
        waitpid(inktray_pid, nullptr, 0);
        if (pid_file_is_ours())
            unlink(ink::path::kPidFile);
        return 0;
    }
    fmouse_gui_notify(GUI_CMD_DISCONNECTED);

    fmouse_main_func();
    fmouse_msg("Main state exit\n");
    return 0;
}
