// The real inkpointer when the uinput node cannot be used: it says which case
// it is and what to do, and ends with status 1 when told to use uinput only;
// in `auto` it goes on to XTest (here there is no display).
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

// Runs the sandbox's inkpointer with `backend`; returns its exit status and
// leaves its output in *out.
int run_pointer(const std::string &backend, std::string *out) {
    Process p = Process::start(
        {in_root("/usr/bin/inkpointer"), "--backend", backend, "--screen", "640x480"},
        in_root("/tmp/inkpointer.out"));
    auto st = p.wait(10s);
    *out = p.output();
    if (!st || !WIFEXITED(*st))
        return -1;
    return WEXITSTATUS(*st);
}

}  // namespace

// The node is the kernel's own, in a sandbox build too: this runs where the
// machine has no uinput (the lab shows the other cases on a real kernel).
TEST(UinputRefusalProcess, MissingNodeIsExplainedWithoutDiagnostics) {
    if (!sandbox_available())
        GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT)";
    if (access("/dev/uinput", F_OK) == 0)
        GTEST_SKIP() << "this machine has /dev/uinput";
    reset_sandbox();
    install_program("inkpointer");
    unsetenv("DISPLAY");
    std::string out;
    EXPECT_EQ(run_pointer("uinput", &out), 1);
    EXPECT_NE(out.find("inkpointer: uinput: /dev/uinput does not exist"), std::string::npos) << out;
    EXPECT_NE(out.find("sudo modprobe uinput"), std::string::npos) << out;
    EXPECT_NE(out.find("inkpointer: uinput: to load it at every boot"), std::string::npos) << out;
    // auto: the same explanation, then XTest, which has no display here.
    EXPECT_EQ(run_pointer("auto", &out), 1);
    EXPECT_NE(out.find("does not exist"), std::string::npos) << out;
    EXPECT_NE(out.find("trying XTest instead"), std::string::npos) << out;
}
