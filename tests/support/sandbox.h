// Test support: the sandbox root of this build and real child processes.
//
// Process-level tests run the suite's real programs inside INK_ROOT (a
// compile-time setting of the build). They share that one root, so CTest runs
// them one at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace inktest {

// True when this build has a sandbox root (process tests skip otherwise).
bool sandbox_available();
// The sandbox root, e.g. "/tmp/inkroot-1a2b3c4d".
std::string root();
// A path inside the sandbox: root() + p (p starts with '/').
std::string in_root(const std::string &p);
// Directory holding the built programs and tools.
std::string bin_dir();

// Empties the sandbox and lays out its fixed directories (tmp, dev/usb, sbin,
// usr/bin/vexor-driver, usr/share/...), with the default data files installed.
void reset_sandbox();
// Makes <root>/usr/bin/<name> run the built program bin_dir()/<from>.
void install_program(const std::string &name, const std::string &from = "");

void write_file(const std::string &path, const std::string &content);
std::optional<std::string> read_file(const std::string &path);
bool exists(const std::string &path);

// Polls cond every 5 ms until it holds or the timeout passes.
template <class F>
bool wait_until(F cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts {
            0, 5000000
        };
        nanosleep(&ts, nullptr);
    }
}

// A child process with its standard output and error captured in a file.
class Process {
  public:
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&o) noexcept;
    Process &operator=(Process &&o) noexcept;
    ~Process();  // kills (SIGKILL) and reaps a child still running

    // Starts argv[0] (a path) with argv; output goes to out_file.
    static Process start(const std::vector<std::string> &argv, const std::string &out_file,
                         const std::string &cwd = "");

    pid_t pid() const { return pid_; }
    // Waits for the exit; returns the wait status, or nullopt on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void signal(int sig);
    std::string output() const;
    // Waits until the captured output contains text.
    bool wait_output(const std::string &text, std::chrono::milliseconds timeout) const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_file_;
};

// Number of occurrences of needle in hay.
size_t count_of(const std::string &hay, const std::string &needle);
// True when a process with this pid exists (and is not a zombie).
bool pid_alive(pid_t pid);

}  // namespace inktest
