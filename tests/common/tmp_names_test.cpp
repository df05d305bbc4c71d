// Safe use of names in a shared directory: what another user may plant under
// a name (a link, a FIFO, a file of their own, a socket of their own) is never
// written through, never blocks, and is never trusted.
#include "tmp_names.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/process.h"

namespace {

using inktest::as_other_user;
using inktest::kOtherUser;

std::string slurp(const std::string &p) {
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void put(const std::string &p, const std::string &s) {
    std::ofstream(p) << s;
}

class TmpNames : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/inktmpnames-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // A shared directory like /tmp: everyone may create names, the
        // sticky bit keeps them from removing each other's.
        chmod(dir_.c_str(), 01777);
        victim_ = dir_ + "/victim";
        put(victim_, "precious\n");
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string name(const char *n) const { return dir_ + "/" + n; }

    static bool root() { return geteuid() == 0; }

    std::string dir_, victim_;
};

TEST_F(TmpNames, CreateNeverWritesThroughALinkOrIntoAFifo) {
    std::string n = name("file");
    ASSERT_EQ(symlink(victim_.c_str(), n.c_str()), 0);
    int fd = ink::tmp::create_own_file(n.c_str(), 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1", 1), 1);
    close(fd);
    EXPECT_EQ(slurp(victim_), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(n.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(slurp(n), "1");

    // A FIFO under the name is replaced, not opened (which would block).
    unlink(n.c_str());
    ASSERT_EQ(mkfifo(n.c_str(), 0666), 0);
    fd = ink::tmp::create_own_file(n.c_str(), 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(lstat(n.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(TmpNames, CreatedModeDoesNotDependOnTheUmask) {
    mode_t old = umask(0);
    int fd = ink::tmp::create_own_file(name("f").c_str(), 0644);
    umask(old);
    ASSERT_GE(fd, 0);
    close(fd);
    struct stat st;
    ASSERT_EQ(stat(name("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(TmpNames, OpenAcceptsOnlyOwnRegularFiles) {
    std::string n = name("file");
    put(n, "42");
    int fd = ink::tmp::open_own_file(n.c_str());
    EXPECT_GE(fd, 0);
    close(fd);

    ASSERT_EQ(symlink(n.c_str(), name("link").c_str()), 0);
    EXPECT_EQ(ink::tmp::open_own_file(name("link").c_str()), -1);
    ASSERT_EQ(mkfifo(name("fifo").c_str(), 0666), 0);
    EXPECT_EQ(ink::tmp::open_own_file(name("fifo").c_str()), -1) << "and it did not block";
    // Opened for appending (the session recording): the same rules.
    EXPECT_EQ(ink::tmp::open_own_file(name("fifo").c_str(), O_WRONLY | O_APPEND), -1);
    EXPECT_EQ(ink::tmp::open_own_file(name("link").c_str(), O_WRONLY | O_APPEND), -1);
    fd = ink::tmp::open_own_file(n.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "3", 1), 1);
    close(fd);
    EXPECT_EQ(slurp(n), "423");
    EXPECT_EQ(ink::tmp::open_own_file(dir_.c_str()), -1);
    EXPECT_EQ(ink::tmp::open_own_file(name("missing").c_str()), -1);

    if (!root())
        GTEST_SKIP() << "a file of another user needs root to make";
    ASSERT_EQ(chown(n.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(ink::tmp::open_own_file(n.c_str()), -1);
    EXPECT_EQ(ink::tmp::read_own_pid_file(n.c_str()), -1);
}

TEST_F(TmpNames, PidTextIsReadStrictly) {
    struct Case {
        const char *text;
        pid_t pid;
    };
    const Case cases[] = {
        {"1234", 1234},
        {"  77\n", 77},
        {"88 trailing", 88},
        {"", -1},
        {"abc", -1},
        {"12abc", -1},
        {"-5", -1},
        {"0", -1},
        {"99999999999", -1},
        {"2147483648", -1},
        {"2147483647", 2147483647},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        put(name("p"), c.text);
        EXPECT_EQ(ink::tmp::read_own_pid_file(name("p").c_str()), c.pid);
    }
}

TEST_F(TmpNames, ProgramOfAPidIsCheckedNotItsCommandLine) {
    EXPECT_TRUE(ink::tmp::pid_is_own(getpid()));
    EXPECT_TRUE(ink::tmp::pid_runs_program(getpid(), "no-such-name")) << "same executable";
    // A shell whose command line mentions the daemon is not the daemon.
    int exec_seen[2];
    ASSERT_EQ(pipe2(exec_seen, O_CLOEXEC), 0);
    pid_t sh = fork();
    if (sh == 0) {
        execl("/bin/sh", "sh", "-c", "sleep 5; true", "inkd", nullptr);
        _exit(127);
    }
    // The pipe closes with the exec.
    close(exec_seen[1]);
    char b;
    ASSERT_EQ(read(exec_seen[0], &b, 1), 0);
    close(exec_seen[0]);
    EXPECT_FALSE(ink::tmp::pid_runs_program(sh, "inkd"));
    EXPECT_TRUE(ink::tmp::pid_runs_program(sh, "dash") || ink::tmp::pid_runs_program(sh, "bash") ||
                ink::tmp::pid_runs_program(sh, "sh"));
    kill(sh, SIGKILL);
    waitpid(sh, nullptr, 0);
    EXPECT_FALSE(ink::tmp::pid_is_own(sh)) << "gone";
    EXPECT_FALSE(ink::tmp::pid_is_own(0));
    EXPECT_FALSE(ink::tmp::pid_is_own(-1));
}

TEST_F(TmpNames, PrivateSocketRefusesOtherUsers) {
    std::string n = name("sock");
    int srv = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", n.c_str());
    mode_t old = umask(0);
    ASSERT_EQ(ink::tmp::bind_private(srv, &a, sizeof a), 0);
    umask(old);
    ASSERT_EQ(listen(srv, 5), 0);
    struct stat st;
    ASSERT_EQ(stat(n.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    int c = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    int acc = accept(srv, nullptr, nullptr);
    EXPECT_TRUE(ink::tmp::peer_is_own(acc));
    EXPECT_TRUE(ink::tmp::peer_is_own(c));
    close(acc);
    close(c);

    if (!root())
        GTEST_SKIP() << "another user needs root to play";
    // The mode alone keeps them out...
    auto try_connect = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        return connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 ? 0 : 1;
    };
    // (root passes any mode: the child is an ordinary user)
    EXPECT_EQ(as_other_user(try_connect), 1);
    // ...and where the mode would let them in, the peer check does not.
    chmod(n.c_str(), 0777);
    EXPECT_EQ(as_other_user(try_connect), 0);
    acc = accept(srv, nullptr, nullptr);
    ASSERT_GE(acc, 0);
    EXPECT_FALSE(ink::tmp::peer_is_own(acc));
    close(acc);
    close(srv);
}

}  // namespace
