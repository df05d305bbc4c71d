// Children started through spawn_child: what they inherit, and their tie to
// the parent's life. Real fork and exec of real programs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "ink_time.h"
#include "spawn_child.h"

namespace {

using namespace std::chrono_literals;

// The value of one field ("SigIgn", "SigBlk", ...) of /proc/<pid>/status.
std::string status_field(pid_t pid, const std::string &name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            size_t v = line.find_first_not_of(" \t", name.size() + 1);
            return v == std::string::npos ? "" : line.substr(v);
        }
    }
    return "";
}

// Waits until pid runs the program named comm (the exec has happened).
bool wait_for_exec(pid_t pid, const std::string &comm) {
    for (int i = 0; i < 500; ++i) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(in, name) && name == comm)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool bit_set(const std::string &mask_hex, int sig) {
    unsigned long long mask = std::stoull(mask_hex, nullptr, 16);
    return (mask >> (sig - 1)) & 1ULL;
}

}  // namespace

TEST(SpawnChild, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    // What a daemon sets up: an ignored SIGPIPE, a blocked SIGCHLD.
    struct sigaction ign {
    }, old_pipe{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old_pipe);
    sigset_t chld, old_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old_mask);

    char arg0[] = "sleep", arg1[] = "30";
    char *argv[] = {arg0, arg1, nullptr};
    pid_t pid = ink::proc::spawn_child("/bin/sleep", argv);

    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_for_exec(pid, "sleep"));
    EXPECT_FALSE(bit_set(status_field(pid, "SigIgn"), SIGPIPE)) << "SIGPIPE back to its default";
    EXPECT_EQ(std::stoull(status_field(pid, "SigBlk"), nullptr, 16), 0ULL) << "nothing blocked";
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
}

TEST(SpawnChild, AProgramThatCannotBeExecutedEndsTheChildWithStatusZero) {
    char arg0[] = "none";
    char *argv[] = {arg0, nullptr};
    pid_t pid = ink::proc::spawn_child("/nonexistent/program", argv);
    ASSERT_GT(pid, 0);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A parent that spawns a tied child and ends; this test process adopts the
// orphan (child subreaper) and sees how it ended.
TEST(SpawnChild, ATiedChildGetsItsSignalWhenTheParentEnds) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        close(p[0]);
        char arg0[] = "sleep", arg1[] = "30";
        char *argv[] = {arg0, arg1, nullptr};
        ink::proc::ChildOptions options;
        options.parent_death_signal = SIGTERM;
        pid_t child = ink::proc::spawn_child("/bin/sleep", argv, options);
        ssize_t w = write(p[1], &child, sizeof child);
        (void)w;
        // Ends once the child runs its program, so the tie is in place.
        for (int i = 0; i < 500; ++i) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(child));
            std::ifstream in(path);
            std::string name;
            if (std::getline(in, name) && name == "sleep")
                break;
            usleep(10000);
        }
        _exit(0);
    }
    close(p[1]);
    pid_t child = -1;
    ASSERT_EQ(read(p[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(p[0]);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(parent, &status, 0), parent);

    // The orphan is ours now; it must end by SIGTERM well before its 30 s.
    pid_t r = 0;
    long long deadline = ink::time::now_us() + 10 * 1000000LL;
    while ((r = waitpid(child, &status, WNOHANG)) == 0 && ink::time::now_us() < deadline)
        std::this_thread::sleep_for(10ms);
    if (r == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child outlived its parent";
    }
    ASSERT_EQ(r, child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}
