// The real inkpointer when the sandbox's uinput node cannot be used: it says
// which case it is and what to do, and ends with status 1 when told to use
// uinput only; in `auto` it goes on to XTest (here there is no display).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/sandbox.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

class UinputRefusalProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sandbox_available())
            GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT)";
        reset_sandbox();
        install_program("inkpointer");
        node_ = in_root("/dev/uinput");
        unsetenv("DISPLAY");
    }
    // What stood in the node's place goes, for the tests after this one.
    void TearDown() override {
        if (!node_.empty())
            unlink(node_.c_str());
    }
    // Runs inkpointer (behind `prefix`, if any); returns its exit status.
    int run(const std::string &backend, const std::vector<std::string> &prefix = {}) {
        std::vector<std::string> argv = prefix;
        for (const char *a : {"--backend", backend.c_str(), "--screen", "640x480", "--vxd-debug"})
            argv.emplace_back(a);
        argv.insert(argv.begin() + static_cast<long>(prefix.size()),
                    in_root("/usr/bin/inkpointer"));
        Process p = Process::start(argv, in_root("/tmp/inkpointer.out"));
        auto st = p.wait(10s);
        out_ = p.output();
        if (!st || !WIFEXITED(*st))
            return -1;
        return WEXITSTATUS(*st);
    }
    std::string node_;
    std::string out_;
};

TEST_F(UinputRefusalProcess, MissingNodeAsksForTheModule) {
    EXPECT_EQ(run("uinput"), 1);
    EXPECT_NE(out_.find("FMOUSE ERR: uinput: " + node_ + " does not exist"), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("sudo modprobe uinput"), std::string::npos) << out_;
    EXPECT_NE(out_.find("FMOUSE ERR: uinput: to load it at every boot"), std::string::npos) << out_;
    // auto: the same explanation, then XTest, which has no display here.
    EXPECT_EQ(run("auto"), 1);
    EXPECT_NE(out_.find("does not exist"), std::string::npos) << out_;
    EXPECT_NE(out_.find("trying XTest"), std::string::npos) << out_;
}

// A regular file and a fifo open, but take no uinput request.
TEST_F(UinputRefusalProcess, FileOrFifoIsNotTheDevice) {
    write_file(node_, "");
    EXPECT_EQ(run("uinput"), 1);
    EXPECT_NE(out_.find(node_ + " is not the uinput device (Inappropriate ioctl for device)"),
              std::string::npos)
        << out_;
    unlink(node_.c_str());
    ASSERT_EQ(mkfifo(node_.c_str(), 0600), 0);
    EXPECT_EQ(run("uinput"), 1);
    EXPECT_NE(out_.find(node_ + " is not the uinput device"), std::string::npos) << out_;
}

// A user without access: inkpointer run as nobody against root's 0600 node.
TEST_F(UinputRefusalProcess, NoAccessPointsToTheSeatRule) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run as nobody";
    write_file(node_, "");
    chmod(node_.c_str(), 0600);
    EXPECT_EQ(
        run("uinput", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}), 1);
    EXPECT_NE(out_.find("FMOUSE ERR: uinput: no permission to open " + node_), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("log out and in again"), std::string::npos) << out_;
    EXPECT_NE(out_.find("FMOUSE ERR: uinput: a user not at a seat"), std::string::npos) << out_;
}

}  // namespace
