#include "ctl_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ink_paths.h"

namespace ink::ctl {

namespace {

constexpr const char *kSubdir = "/vexor-driver";
constexpr const char *kTmpPrefix = "/tmp/vexor-driver-";
constexpr const char *kSocketPrefix = "/tray-";

// A private directory, made when missing and create is set. A new directory
// gets 0700 whatever the umask is.
bool ensure_dir(const std::string &path, bool create, bool *missing, std::string *err) {
    *missing = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *err = path + ": " + std::strerror(errno);
            return false;
        }
        if (!create) {
            *missing = true;
            return true;
        }
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            *err = path + ": cannot make the directory: " + std::strerror(errno);
            return false;
        }
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
            (st.st_mode & 07777) != 0700)
            chmod(path.c_str(), 0700);
    }
    return private_dir(path, err);
}

}  // namespace

std::string display_tag(const std::string &display) {
    std::string tag = display;
    for (char &c : tag) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok)
            c = '_';
    }
    return tag;
}

bool private_dir(const std::string &path, std::string *why) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = path + ": not a directory";
        return false;
    }
    if (st.st_uid != getuid()) {
        *why = path + ": belongs to another user";
        return false;
    }
    if ((st.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = path + ": has mode " + mode + ", not 0700";
        return false;
    }
    return true;
}

std::string socket_dir(bool create, std::string *err) {
    std::string why;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    bool missing = false;
    if (runtime != nullptr && runtime[0] == '/' && private_dir(runtime, &why)) {
        std::string dir = std::string(runtime) + kSubdir;
        if (!ensure_dir(dir, create, &missing, err))
            return "";
        return dir;
    }
    std::string dir = std::string(ink::path::kRoot) + kTmpPrefix + std::to_string(getuid());
    if (!ensure_dir(dir, create, &missing, err))
        return "";
    return dir;
}

std::string socket_path(const std::string &display, bool create, std::string *err) {
    if (display.empty()) {
        *err = "DISPLAY is not set";
        return "";
    }
    std::string dir = socket_dir(create, err);
    if (dir.empty())
        return "";
    std::string path = dir + kSocketPrefix + display_tag(display);
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        *err = path + ": too long for a socket name";
        return "";
    }
    return path;
}

}  // namespace ink::ctl
