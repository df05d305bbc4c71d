#include "support/sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
std::string why_no_virtual_unit() {
    if (!sandbox_available())
        return "needs a sandbox build (-DINK_ROOT=...)";
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("/dev/fuse cannot be opened (") + std::strerror(errno) +
               "): the virtual camera unit needs FUSE";
    close(fd);
    return "";
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
std::string scenario_path(const std::string &name) {
    return std::string(INK_SCENARIO_DIR) + "/" + name;
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

size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

}  // namespace inktest
