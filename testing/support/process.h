// Child processes of the tests, benchmarks and demos, and what /proc tells
// about a process.
//
// A Process runs one program with its standard output and error in a file;
// it is ended (SIGKILL) and reaped when its object goes. A program that
// starts programs of its own (the daemon starts the relay and the tray
// program) can get a process group of its own, so that they all end together.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace inktest {

class Process {
  public:
    // The process group the child runs in: the caller's, or one of its own
    // (the child leads it; what it starts joins it).
    enum class Group { Caller, Own };

    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&o) noexcept;
    Process &operator=(Process &&o) noexcept;
    // Kills (SIGKILL) and reaps a child still running; its whole group when
    // it has one of its own.
    ~Process();

    // Starts argv[0] (a path) with argv; output goes to out_file (standard
    // error to err_file when given); the child starts in cwd when given, with
    // standard input from /dev/null, no other descriptor of the caller and
    // SIGPIPE at its default. Throws std::runtime_error when fork fails.
    static Process start(const std::vector<std::string> &argv, const std::string &out_file,
                         const std::string &cwd = "", Group group = Group::Caller,
                         const std::string &err_file = "");

    pid_t pid() const { return pid_; }
    // Waits for the exit; returns the wait status, or nullopt on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void signal(int sig);
    // For a child of Group::Own: SIGTERM to the group, up to grace for the
    // child to end, then SIGKILL to whatever of the group is left (after a
    // further two seconds for the rest of the group to end by itself).
    void stop_group(std::chrono::milliseconds grace = std::chrono::seconds(5));
    std::string output() const;
    // Waits until the captured output contains text.
    bool wait_output(const std::string &text, std::chrono::milliseconds timeout) const;

  private:
    void kill_now();
    pid_t pid_ = -1;
    bool own_group_ = false;
    std::optional<int> status_;
    std::string out_file_;
};

// An ordinary user of the system ("nobody"), for what another user may do.
constexpr uid_t kOtherUser = 65534;

// Runs f in a forked child as kOtherUser (the caller must be root); returns
// f's result as the child's exit status (99: the user could not be taken on,
// -1: no exit). A peer that closes first shows as a failed write, not as the
// child's end by SIGPIPE.
template <class F>
int as_other_user(F f) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_IGN);
        if (setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0)
            _exit(99);
        _exit(f());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// True when a process with this pid exists (and is not a zombie).
bool pid_alive(pid_t pid);
// The children of pid, from /proc.
std::vector<pid_t> children_of(pid_t pid);
// Every process below pid, pid left out.
std::vector<pid_t> descendants_of(pid_t pid);
// What the process's descriptors point to ("socket:[...]" reduced to
// "socket", "pipe:[...]" to "pipe").
std::multiset<std::string> descriptors_of(pid_t pid);
// The descriptors above on one line, for failure messages.
std::string describe(const std::multiset<std::string> &s);
// Resident memory of the process in KiB, -1 when it cannot be read.
long rss_kib(pid_t pid);

}  // namespace inktest
