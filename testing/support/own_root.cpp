// ink_own_root COMMAND [ARG...]: runs COMMAND with a sandbox root of its own.
//
// Every process test of a sandbox build works under the one root the build
// was configured with: its /tmp names, its device node, its programs. Two
// such tests at once would meet there. This launcher runs the command in a
// private mount namespace in which a fresh, empty directory is bound over the
// root, so that ctest can run process tests side by side; the directory is
// removed when the command has ended.
//
// Exits with the command's status (128+N when signal N ended it), or 125 when
// the root could not be set up: that needs the right to make a mount
// namespace (root), which the build checked when it was configured.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ink_paths.h"

namespace {

pid_t child = -1;

// ctest ends a test that runs too long by a signal to this launcher: the
// command gets it too.
void pass_on(int sig) {
    if (child > 0)
        kill(child, sig);
}

int fail(const char *what, const std::string &path) {
    std::fprintf(stderr, "ink_own_root: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    return 125;
}

// True when path is a mount point in this process's namespace.
bool mounted_at(const std::string &path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, source, point;
        if (fields >> id >> parent >> dev >> source >> point && point == path)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ink_own_root COMMAND [ARG...]\n");
        return 125;
    }
    const std::string root = ink::path::kRoot;
    if (root.empty()) {
        execvp(argv[1], argv + 1);
        return fail("cannot run", argv[1]);
    }
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    std::string tmpl = root + "-own.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return fail("cannot make", tmpl);
    const std::string own = name.data();

    struct sigaction sa {};
    sa.sa_handler = pass_on;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);

    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Private from "/" down, so that neither the bind below nor the
        // mounts the tests make (the virtual unit's node) reach the host's
        // namespace. In a chroot "/" is no mount point and the mount that
        // holds the root cannot be named: its propagation is left as it is,
        // and checked below.
        if (unshare(CLONE_NEWNS) != 0)
            _exit(fail("cannot make a mount namespace for", root));
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 && errno != EINVAL)
            _exit(fail("cannot make private the mounts above", root));
        if (mount(own.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(fail("cannot bind over", root));
        execvp(argv[1], argv + 1);
        _exit(fail("cannot run", argv[1]));
    }
    int status = 0;
    int waited = -1;
    if (child > 0)
        while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
        }
    // A bind that reached this namespace would give every later test the
    // same root again: undone, and the run fails.
    bool leaked = mounted_at(root);
    if (leaked) {
        umount2(root.c_str(), MNT_DETACH);
        std::fprintf(stderr,
                     "ink_own_root: the bind over %s reached the host's mounts (they are shared); "
                     "configure with -DINK_OWN_ROOTS=OFF\n",
                     root.c_str());
    }
    std::filesystem::remove_all(own, ec);
    if (child < 0 || waited < 0)
        return fail("cannot run", argv[1]);
    if (leaked)
        return 125;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
