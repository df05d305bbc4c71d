// Shared set-up of the daemon's process tests: the daemon in the sandbox with
// the fake tray program standing in for inktray.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/sandbox.h"

namespace inktest {

// The exit code in a wait status; -1000 for no status or no exit.
inline int exit_code(std::optional<int> st) {
    return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1000;
}

inline std::string cwd_of(pid_t pid) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec).string();
}

class DaemonSandbox : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sandbox_available())
            GTEST_SKIP() << "process tests need a sandbox build (-DINK_ROOT)";
        reset_sandbox();
        log_dir_ = in_root("/log");
        std::system(("rm -rf '" + log_dir_ + "' && mkdir -p '" + log_dir_ + "'").c_str());
        install_program("inkd");
        install_program("inktray", "inkfaketray");
        install_program("inkwake");
        setenv("INKFAKETRAY_LOG", tray_log().c_str(), 1);
        setenv("INKFAKETRAY_EVENT", (log_dir_ + "/event").c_str(), 1);
    }

    std::string tray_log() const { return log_dir_ + "/tray.log"; }
    std::string pid_file() const { return in_root("/tmp/.inkd.pid"); }
    std::string node() const { return in_root("/dev/usb/vxd0"); }

    Process start_daemon(std::vector<std::string> args = {"--vxd-debug"},
                         const std::string &out = "inkd.out") {
        std::vector<std::string> argv{in_root("/usr/bin/inkd")};
        argv.insert(argv.end(), args.begin(), args.end());
        return Process::start(argv, log_dir_ + "/" + out);
    }

    // The command bytes the tray program has answered so far, in order ("66", "77", ...).
    std::vector<std::string> tray_commands() const {
        std::vector<std::string> cmds;
        std::istringstream in(read_file(tray_log()).value_or(""));
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("D ", 0) == 0)
                cmds.push_back(line.substr(2, 2));
        return cmds;
    }

    bool wait_commands(size_t n, std::chrono::milliseconds t = std::chrono::seconds(10)) const {
        return wait_until([&] { return tray_commands().size() >= n; }, t);
    }

    void make_node() const { write_file(node(), ""); }

    // Stand-in for an inhibiting command of a desktop that has one: its help
    // names --inhibit, and run with it, it runs until ended.
    static constexpr const char *kSaverScript =
        "#!/bin/sh\n[ \"$1\" = --help ] && { echo '  --inhibit'; exit 0; }\nexec sleep 60\n";
    static void install_saver() {
        std::string saver = in_root("/usr/bin/gnome-screensaver-command");
        write_file(saver, kSaverScript);
        chmod(saver.c_str(), 0755);
    }
    // Starts inkwake as the daemon does; returns its pid.
    static pid_t start_inkwake() {
        pid_t pid = fork();
        if (pid == 0) {
            execl(in_root("/usr/bin/inkwake").c_str(), "inkwake", nullptr);
            _exit(0);
        }
        return pid;
    }
    static std::string flag() { return in_root("/tmp/inkwake_flag"); }

    std::string log_dir_;
};

}  // namespace inktest
