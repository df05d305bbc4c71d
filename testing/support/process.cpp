#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "support/sandbox.h"

namespace inktest {

Process::Process(Process &&o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      own_group_(o.own_group_),
      status_(o.status_),
      out_file_(std::move(o.out_file_)) {}

Process &Process::operator=(Process &&o) noexcept {
    if (this != &o) {
        // End the child this object still holds (not by calling the
        // destructor, which would destroy out_file_ before it is assigned).
        kill_now();
        pid_ = std::exchange(o.pid_, -1);
        own_group_ = o.own_group_;
        status_ = o.status_;
        out_file_ = std::move(o.out_file_);
    }
    return *this;
}

Process::~Process() {
    kill_now();
    pid_ = -1;
}

void Process::kill_now() {
    if (pid_ <= 0)
        return;
    if (own_group_)
        ::kill(-pid_, SIGKILL);
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
}

Process Process::start(const std::vector<std::string> &argv, const std::string &out_file,
                       const std::string &cwd, Group group, const std::string &err_file) {
    Process p;
    p.out_file_ = out_file;
    p.own_group_ = group == Group::Own;
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (group == Group::Own)
            setpgid(0, 0);
        int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        if (!err_file.empty() &&
            (fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) >= 0) {
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        // Nothing else of the test: another thread may hold a file open
        // without close-on-exec just now, and the program's descriptors are
        // counted by some tests.
        close_range(3, ~0U, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        // Children of a test start with default signal dispositions.
        ::signal(SIGPIPE, SIG_DFL);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (group == Group::Own)
        setpgid(pid, pid);  // as the child does: whichever runs first
    p.pid_ = pid;
    return p;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

bool Process::running() {
    if (pid_ <= 0 || status_)
        return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        return false;
    }
    return true;
}

void Process::signal(int sig) {
    if (pid_ > 0 && !status_)
        ::kill(pid_, sig);
}

void Process::stop_group(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGTERM);
    if (!wait(grace)) {
        ::kill(-pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    // The group outlives its leader while a program it started still runs.
    wait_until([&] { return ::kill(-pid_, 0) != 0; }, std::chrono::seconds(2));
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

std::string Process::output() const {
    return read_file(out_file_).value_or("");
}

bool Process::wait_output(const std::string &text, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return output().find(text) != std::string::npos; }, timeout);
}

bool pid_alive(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    auto close = stat->rfind(')');
    return close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] != 'Z';
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    auto s =
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::istringstream in(s.value_or(""));
    pid_t c;
    while (in >> c)
        out.push_back(c);
    return out;
}

std::vector<pid_t> descendants_of(pid_t pid) {
    std::vector<pid_t> out;
    for (pid_t c : children_of(pid)) {
        out.push_back(c);
        for (pid_t g : descendants_of(c))
            out.push_back(g);
    }
    return out;
}

std::multiset<std::string> descriptors_of(pid_t pid) {
    std::multiset<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        std::string t = target;
        if (t.rfind("socket:", 0) == 0)
            t = "socket";
        else if (t.rfind("pipe:", 0) == 0)
            t = "pipe";
        out.insert(t);
    }
    closedir(d);
    return out;
}

std::string describe(const std::multiset<std::string> &s) {
    std::string out;
    for (const auto &x : s)
        out += x + " ";
    return out;
}

long rss_kib(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status").value_or(""));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace inktest
