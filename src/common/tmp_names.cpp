#include "tmp_names.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace ink::tmp {

int open_own_file(const char *path, int access) {
    int fd = open(path, access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

int create_own_file(const char *path, mode_t mode) {
    // Removing a name we do not own fails in a sticky directory; the exclusive
    // create below then fails too, which is what we want.
    if (unlink(path) != 0 && errno != ENOENT)
        return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0)
        return -1;
    // The umask must not decide who may read or write it.
    if (fchmod(fd, mode) != 0) {
        close(fd);
        unlink(path);
        return -1;
    }
    return fd;
}

pid_t read_pid(int fd) {
    char buf[32];
    size_t n = 0;
    while (n < sizeof buf - 1) {
        ssize_t r = read(fd, buf + n, sizeof buf - 1 - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n += static_cast<size_t>(r);
    }
    size_t i = 0;
    while (i < n && (buf[i] == ' ' || buf[i] == '\t' || buf[i] == '\n'))
        ++i;
    long long v = 0;
    size_t digits = 0;
    while (i < n && buf[i] >= '0' && buf[i] <= '9' && digits < 12) {
        v = v * 10 + (buf[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || digits == 12 || v <= 0 || v > INT_MAX)
        return -1;
    if (i < n && buf[i] != ' ' && buf[i] != '\t' && buf[i] != '\n')
        return -1;
    return static_cast<pid_t>(v);
}

pid_t read_own_pid_file(const char *path) {
    int fd = open_own_file(path);
    if (fd < 0)
        return -1;
    pid_t pid = read_pid(fd);
    close(fd);
    return pid;
}

bool pid_is_own(pid_t pid) {
    if (pid <= 0)
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    struct stat st;
    // The owner of a process's /proc directory is its effective user.
    return stat(path, &st) == 0 && st.st_uid == geteuid();
}

bool pid_runs_program(pid_t pid, const char *program) {
    if (!pid_is_own(pid))
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    struct stat theirs, ours;
    if (stat(path, &theirs) == 0 && stat("/proc/self/exe", &ours) == 0 &&
        theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino)
        return true;
    char target[4096];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    static const char kDeleted[] = " (deleted)";
    size_t len = static_cast<size_t>(n);
    if (len > sizeof kDeleted - 1 &&
        std::strcmp(target + len - (sizeof kDeleted - 1), kDeleted) == 0)
        target[len - (sizeof kDeleted - 1)] = '\0';
    const char *base = std::strrchr(target, '/');
    base = base ? base + 1 : target;
    return std::strcmp(base, program) == 0;
}

int bind_private(int fd, const sockaddr_un *addr, socklen_t len) {
    mode_t old = umask(0177);
    int r = bind(fd, reinterpret_cast<const sockaddr *>(addr), len);
    umask(old);
    return r;
}

bool peer_is_own(int fd) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    return cred.uid == geteuid();
}

}  // namespace ink::tmp
