#include "sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "ink_paths.h"

namespace fs = std::filesystem;

namespace inktest {

bool sandbox_available() {
    return ink::path::kRoot[0] == '/';
}
std::string root() {
    return ink::path::kRoot;
}
std::string in_root(const std::string &p) {
    return root() + p;
}
std::string bin_dir() {
    return INK_TEST_BIN_DIR;
}

void reset_sandbox() {
    if (!sandbox_available())
        throw std::runtime_error("no sandbox root in this build");
    std::error_code ec;
    // A virtual camera unit left mounted on the device directory would keep
    // <root>/dev from being emptied: detach it first.
    umount2((root() + "/dev/usb").c_str(), MNT_DETACH);
    for (const char *d : {"/tmp", "/dev", "/sbin", "/usr", "/proc-test"})
        fs::remove_all(root() + d, ec);
    for (const char *d :
         {"/tmp", "/dev/usb", "/sbin", "/usr/bin/vexor-driver", "/usr/share/autostart",
          "/usr/share/gnome/autostart", "/usr/share/locale"})
        fs::create_directories(root() + d);
    for (const char *f : {"hw.txt", "refN.txt", "Cam.dat"})
        fs::copy_file(std::string(INK_TEST_DATA_DIR) + "/" + f,
                      root() + "/usr/bin/vexor-driver/" + f, fs::copy_options::overwrite_existing);
}

void install_program(const std::string &name, const std::string &from) {
    std::string target = bin_dir() + "/" + (from.empty() ? name : from);
    std::string link = root() + "/usr/bin/" + name;
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::optional<std::string> read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

Process::Process(Process &&o) noexcept
    : pid_(std::exchange(o.pid_, -1)), status_(o.status_), out_file_(std::move(o.out_file_)) {}

Process &Process::operator=(Process &&o) noexcept {
    if (this != &o) {
        // End the child this object still holds (not by calling the
        // destructor, which would destroy out_file_ before it is assigned).
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
        pid_ = std::exchange(o.pid_, -1);
        status_ = o.status_;
        out_file_ = std::move(o.out_file_);
    }
    return *this;
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
    pid_ = -1;
}

Process Process::start(const std::vector<std::string> &argv, const std::string &out_file,
                       const std::string &cwd) {
    Process p;
    p.out_file_ = out_file;
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
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
    p.pid_ = pid;
    return p;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    bool done = wait_until(
        [&] {
            int st;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                return true;
            }
            return false;
        },
        timeout);
    if (!done)
        return std::nullopt;
    return status_;
}

bool Process::running() {
    if (status_)
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

std::string Process::output() const {
    return read_file(out_file_).value_or("");
}

bool Process::wait_output(const std::string &text, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return output().find(text) != std::string::npos; }, timeout);
}

size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

bool pid_alive(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    auto close = stat->rfind(')');
    return close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] != 'Z';
}

}  // namespace inktest
