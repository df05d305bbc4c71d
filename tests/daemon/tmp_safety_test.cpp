// The suite's names in the shared /tmp against another local user: a link,
// a FIFO, a file or socket of someone else, or a pid planted under each of
// the pid file, the command socket, the relay socket and the inhibitor's flag
// file. Nothing outside the suite may be written, signalled or trusted, and
// nothing planted may hang the daemon.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "daemon_helpers.h"
#include "fmouse_comm.h"
#include "fmouse_inhibit.h"
#include "fmouse_start.h"
#include "ink_paths.h"
#include "tmp_names.h"

extern pid_t inkrelay_pid;
extern pid_t inkwake_pid;
extern int hidsock_client_fd;

using namespace inktest;
using namespace std::chrono_literals;

namespace {

sockaddr_un address_of(const char *path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    return a;
}

class TmpSafety : public DaemonSandbox {
  protected:
    void SetUp() override {
        DaemonSandbox::SetUp();
        if (IsSkipped())
            return;
        // Outside the suite's names: must come out of every test untouched.
        victim_ = log_dir_ + "/victim";
        write_file(victim_, "precious\n");
        // The sandbox's /tmp is shared like the real one.
        chmod(inktest::root().c_str(), 0755);
        chmod(in_root("/tmp").c_str(), 01777);
    }
    void TearDown() override {
        if (!victim_.empty()) {
            struct stat st;
            EXPECT_EQ(lstat(victim_.c_str(), &st), 0);
            EXPECT_EQ(read_file(victim_), "precious\n") << "a file outside the suite was written";
        }
    }
    static bool is_root() { return geteuid() == 0; }

    // A process whose command line names the daemon, but which is not it.
    Process impostor() {
        return Process::start({"/bin/sh", "-c", "sleep 30; true", "inkd"},
                              log_dir_ + "/impostor.out");
    }

    std::string victim_;
};

// --- The pid file.

TEST_F(TmpSafety, PidFileLinkIsReplacedNotWrittenThrough) {
    ASSERT_EQ(symlink(victim_.c_str(), pid_file().c_str()), 0);
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    struct stat st;
    ASSERT_EQ(lstat(pid_file().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
    d.signal(SIGINT);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
}

TEST_F(TmpSafety, PidFileFifoDoesNotHoldTheDaemonUp) {
    ASSERT_EQ(mkfifo(pid_file().c_str(), 0666), 0);
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1)) << d.output();
    EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
    d.signal(SIGINT);
    d.wait(5s);
}

TEST_F(TmpSafety, PidOfAProcessMerelyNamingTheDaemonIsTakenOver) {
    Process other = impostor();
    ASSERT_TRUE(wait_until(
        [&] {
            return read_file("/proc/" + std::to_string(other.pid()) + "/cmdline")->find("inkd") !=
                   std::string::npos;
        },
        5s));
    write_file(pid_file(), std::to_string(other.pid()));
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1)) << d.output();
    EXPECT_NE(d.output().find("The process had exited exceptional before!\n"), std::string::npos);
    EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
    EXPECT_TRUE(other.running()) << "the named process is not signalled";
    d.signal(SIGINT);
    d.wait(5s);
}

TEST_F(TmpSafety, PidFileOfAnotherUserIsNotTrusted) {
    if (!is_root())
        GTEST_SKIP() << "a file of another user needs root to make";
    Process victim = Process::start({"/bin/sleep", "30"}, log_dir_ + "/sleep.out");
    write_file(pid_file(), std::to_string(victim.pid()));
    ASSERT_EQ(chown(pid_file().c_str(), kOtherUser, kOtherUser), 0);
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1)) << d.output();
    EXPECT_NE(d.output().find("no file of this user"), std::string::npos) << d.output();
    EXPECT_NE(cwd_of(d.pid()).rfind("/proc/", 0), 0u) << "the planted pid was not looked into";
    struct stat st;
    ASSERT_EQ(stat(pid_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
    EXPECT_TRUE(victim.running());
    d.signal(SIGINT);
    d.wait(5s);
}

TEST_F(TmpSafety, CtrlCLeavesAPidFileThatNamesSomeoneElse) {
    Process other = Process::start({"/bin/sleep", "30"}, log_dir_ + "/sleep.out");
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    write_file(pid_file(), std::to_string(other.pid()));
    d.signal(SIGINT);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    EXPECT_EQ(read_file(pid_file()), std::to_string(other.pid()));
    EXPECT_TRUE(other.running());
}

// --- The command socket.

TEST_F(TmpSafety, CommandSocketLinkIsRemovedNotFollowed) {
    ASSERT_EQ(symlink(victim_.c_str(), ink::path::kCmdSocket), 0);
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1)) << d.output();
    d.signal(SIGTERM);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
}

TEST_F(TmpSafety, CommandSocketNameThatCannotBeTakenEndsTheDaemon) {
    // Something under the name that cannot be removed: the daemon must end
    // (taking its tray program with it) instead of waiting for ever.
    ASSERT_EQ(mkdir(ink::path::kCmdSocket, 0755), 0);
    write_file(std::string(ink::path::kCmdSocket) + "/keep", "");
    Process d = start_daemon();
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    EXPECT_NE(d.output().find("alg2gui cmd init error\n"), std::string::npos) << d.output();
    EXPECT_TRUE(children_of(d.pid()).empty());
    EXPECT_FALSE(exists(pid_file()));
}

TEST_F(TmpSafety, CommandSocketAdmitsNoOtherUser) {
    if (!is_root())
        GTEST_SKIP() << "another user needs root to play";
    // A tray program that never connects keeps the daemon at its accept.
    // (The installed program is a link to the built one: replace, not write.)
    unlink(in_root("/usr/bin/inktray").c_str());
    write_file(in_root("/usr/bin/inktray"), "#!/bin/sh\nexec sleep 30\n");
    chmod(in_root("/usr/bin/inktray").c_str(), 0755);
    Process d = start_daemon();
    ASSERT_TRUE(wait_until([] { return exists(ink::path::kCmdSocket); }, 5s));
    struct stat st;
    ASSERT_EQ(stat(ink::path::kCmdSocket, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const sockaddr_un a = address_of(ink::path::kCmdSocket);
    auto connect_and_read = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
            return 1;
        unsigned char b;
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        // Refused: closed at once, the handshake byte never comes.
        return read(fd, &b, 1) == 0 ? 2 : 3;
    };
    EXPECT_EQ(as_other_user(connect_and_read), 1) << "the socket's mode keeps others out";
    chmod(ink::path::kCmdSocket, 0777);
    EXPECT_EQ(as_other_user(connect_and_read), 2) << "and so does the peer check";
    EXPECT_TRUE(wait_until(
        [&] { return d.output().find("connection of another user refused") != std::string::npos; },
        5s));
    EXPECT_TRUE(d.running());
    d.signal(SIGTERM);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
}

// --- The relay socket, daemon side.

class RelaySocket : public TmpSafety {
  protected:
    void TearDown() override {
        if (inkrelay_pid > 0) {
            kill(inkrelay_pid, SIGKILL);
            waitpid(inkrelay_pid, nullptr, 0);
        }
        inkrelay_pid = 0;
        fmouse_comm_buf_close();
        TmpSafety::TearDown();
    }
    // A stand-in relay: connects once the name exists (after SIGUSR1 when
    // held), then waits.
    void start_relay(bool held = false) {
        sigset_t usr1, old;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, &old);
        pid_t pid = fork();
        if (pid == 0) {
            int sig;
            if (held)
                sigwait(&usr1, &sig);
            const sockaddr_un a = address_of(ink::path::kRelaySocket);
            bool connected = wait_until(
                [&] {
                    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                    if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0)
                        return true;
                    close(fd);
                    return false;
                },
                5s);
            if (connected)
                pause();
            _exit(connected ? 0 : 1);
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        inkrelay_pid = pid;
    }
};

TEST_F(RelaySocket, LinkIsRemovedNotFollowedAndTheSocketIsPrivate) {
    ASSERT_EQ(symlink(victim_.c_str(), ink::path::kRelaySocket), 0);
    start_relay();
    ASSERT_EQ(fmouse_comm_buf_init(), 0);
    EXPECT_TRUE(ink::tmp::peer_is_own(hidsock_client_fd));
    struct stat st;
    ASSERT_EQ(lstat(ink::path::kRelaySocket, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RelaySocket, ConnectionOfAnotherUserIsRefused) {
    if (!is_root())
        GTEST_SKIP() << "another user needs root to play";
    start_relay(true);
    std::atomic<int> result{-2};
    std::thread server([&] { result = fmouse_comm_buf_init(); });
    ASSERT_TRUE(wait_until([] { return exists(ink::path::kRelaySocket); }, 5s));
    // Even with the mode opened up, a stranger's bytes never reach the daemon.
    chmod(ink::path::kRelaySocket, 0777);
    const sockaddr_un a = address_of(ink::path::kRelaySocket);
    int st = as_other_user([&] {
        // The name exists from the bind on; the daemon may not listen yet.
        int fd = -1;
        for (int tries = 0; tries < 200; ++tries) {
            fd = socket(AF_UNIX, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0)
                break;
            close(fd);
            fd = -1;
            usleep(10000);
        }
        if (fd < 0)
            return 1;
        unsigned char b = 'r';
        // The daemon may already have closed its end: then the write fails.
        if (write(fd, &b, 1) < 0)
            return errno == EPIPE || errno == ECONNRESET ? 2 : 4;
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        // Closed by the daemon (with our byte unread: reset).
        ssize_t r = read(fd, &b, 1);
        return r == 0 || (r < 0 && errno == ECONNRESET) ? 2 : 3;
    });
    EXPECT_EQ(st, 2);
    kill(inkrelay_pid, SIGUSR1);
    server.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(ink::tmp::peer_is_own(hidsock_client_fd));
}

// --- The inhibitor's flag file.

class FlagFile : public TmpSafety {
  protected:
    void SetUp() override {
        TmpSafety::SetUp();
        if (IsSkipped())
            return;
        install_saver();
    }
    // The inhibitor, as the daemon's calibration starts it.
    pid_t start_inhibitor() { return inkwake_pid = start_inkwake(); }
    pid_t saver_of(pid_t wake) {
        pid_t saver = -1;
        wait_until(
            [&] {
                auto c = children_of(wake);
                saver = c.empty() ? -1 : c[0];
                return saver > 0 && read_file(flag()) == std::to_string(saver) + "\n";
            },
            5s);
        return saver;
    }
};

TEST_F(FlagFile, LinkIsReplacedNotWrittenThrough) {
    ASSERT_EQ(symlink(victim_.c_str(), flag().c_str()), 0);
    pid_t wake = start_inhibitor();
    pid_t saver = saver_of(wake);
    ASSERT_GT(saver, 0);
    struct stat st;
    ASSERT_EQ(lstat(flag().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    fmouse_stop_inhibitor();
    EXPECT_FALSE(pid_alive(saver));
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1);
}

TEST_F(FlagFile, PlantedLinkOrFifoAtStopIsNeitherReadNorWaitedOn) {
    for (int fifo = 0; fifo < 2; ++fifo) {
        SCOPED_TRACE(fifo ? "fifo" : "link");
        pid_t wake = start_inhibitor();
        pid_t saver = saver_of(wake);
        ASSERT_GT(saver, 0);
        unlink(flag().c_str());
        if (fifo)
            ASSERT_EQ(mkfifo(flag().c_str(), 0666), 0);
        else
            ASSERT_EQ(symlink(victim_.c_str(), flag().c_str()), 0);
        auto t0 = std::chrono::steady_clock::now();
        fmouse_stop_inhibitor();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_FALSE(pid_alive(saver)) << "the inhibitor's own command is still ended";
        EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1);
        // Not ours: left where it was, and the victim behind the link unread.
        struct stat st;
        EXPECT_EQ(lstat(flag().c_str(), &st), 0);
        unlink(flag().c_str());
    }
}

TEST_F(FlagFile, PidInAFileOfAnotherUserIsNotSignalled) {
    if (!is_root())
        GTEST_SKIP() << "a file of another user needs root to make";
    Process victim = Process::start({"/bin/sleep", "30"}, log_dir_ + "/victim.out");
    pid_t wake = start_inhibitor();
    pid_t saver = saver_of(wake);
    ASSERT_GT(saver, 0);
    // Another user's file in the name's place, naming one of our processes.
    unlink(flag().c_str());
    write_file(flag(), std::to_string(victim.pid()) + "\n");
    ASSERT_EQ(chown(flag().c_str(), kOtherUser, kOtherUser), 0);
    fmouse_stop_inhibitor();
    EXPECT_TRUE(victim.running());
    EXPECT_FALSE(pid_alive(saver));
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1);
}

}  // namespace
