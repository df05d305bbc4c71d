// The daemon as a process: start-up guard, handshake, the state machine's
// notifications as the device node comes and goes, and what each way of
// ending leaves behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "daemon_helpers.h"
#include "fmouse_cmddata.h"
#include "fmouse_inhibit.h"
#include "fmouse_motion.h"
#include "fmouse_start.h"

using namespace inktest;
using namespace std::chrono_literals;
using Cmds = std::vector<std::string>;

namespace {

// A dead pid: a child that has already been reaped.
pid_t dead_pid() {
    pid_t p = fork();
    if (p == 0)
        _exit(0);
    waitpid(p, nullptr, 0);
    return p;
}

}  // namespace

TEST_F(DaemonSandbox, HandshakeThenStatesFollowTheDeviceNode) {
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(tray_commands(), Cmds{"66"}) << "no node: Detect waits quietly";
    EXPECT_TRUE(d.wait_output("alg2gui connect successful\n", 2s));
    EXPECT_NE(d.output().find("vexor driver debug mode\n"), std::string::npos);
    EXPECT_NE(d.output().find("FMOUSE MSG: feedback cmd success\n"), std::string::npos);

    make_node();
    ASSERT_TRUE(wait_commands(7));
    Cmds all = tray_commands();
    Cmds first7(all.begin(), all.begin() + 7);
    EXPECT_EQ(first7, (Cmds{"66", "77", "44", "66", "77", "44", "66"}));
    std::string out = d.output();
    for (const char *line :
         {"Detect main state\n", "Detect hw\n", "Vxd device is conncected\n",
          "Connecting main state\n", "disconnect in connecting ms\n", "Vxd is Unconnected\n",
          "disconnect state\n", "kvx normal: 4 3\n", "kvx advance: 7 5\n", "kvx sidespace: 5\n",
          "verdorID : 0x0000 productID : 0x0000\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    // Each transition has a line of its own, in the order the machine takes them.
    size_t at = 0;
    for (const char *line : {"main state goes from Detect to Connecting\n",
                             "main state goes from Connecting to Disconnect\n",
                             "main state goes from Disconnect to Detect\n",
                             "main state goes from Detect to Connecting\n"}) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line;
        ++at;
    }

    // Node gone: the machine settles in Detect after its Disconnect.
    unlink(node().c_str());
    std::this_thread::sleep_for(1000ms);
    auto settled = tray_commands();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(tray_commands(), settled);
    EXPECT_EQ(settled.back(), "66");
    EXPECT_TRUE(d.running());
}

TEST_F(DaemonSandbox, QuietWithoutTheDebugSwitch) {
    Process d = start_daemon({});
    ASSERT_TRUE(wait_commands(1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(d.output(), "");
}

TEST_F(DaemonSandbox, WrongArgumentsAreRefused) {
    for (auto args : {std::vector<std::string>{"--vxd-debug", "x"}, {"-d"}, {"--vxd-debugx"}}) {
        Process d = start_daemon(args);
        EXPECT_EQ(exit_code(d.wait(5s)), 255);
        EXPECT_EQ(d.output(), "argument error!\n");
        EXPECT_FALSE(exists(pid_file()));
    }
}

TEST_F(DaemonSandbox, SigintRemovesPidFileAndNamesButSignalsNoChild) {
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
    struct stat st;
    ASSERT_EQ(stat(pid_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "only the daemon writes its pid file";
    write_file(in_root("/tmp/vxdsock_server"), "");
    write_file(in_root("/tmp/inkwake_flag"), "1\n");
    d.signal(SIGINT);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    EXPECT_NE(
        d.output().find("\nCapture Signal NO:2(int)\ndelete .vxd_drv.pid and exit (Ctrl+C)\n"),
        std::string::npos);
    for (const char *p :
         {"/tmp/.inkd.pid", "/tmp/alg2gui_cmd_server", "/tmp/vxdsock_server", "/tmp/inkwake_flag"})
        EXPECT_FALSE(exists(in_root(p))) << p;
    // The tray program was not signalled: it sees the channel close and ends by itself.
    EXPECT_TRUE(
        wait_until([&] { return read_file(tray_log())->find("closed") != std::string::npos; }, 5s));
}

TEST_F(DaemonSandbox, SigtermQuitsTheTrayAndKeepsThePidFile) {
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    auto kids = children_of(d.pid());
    ASSERT_EQ(kids.size(), 1u);
    pid_t tray = kids[0];
    write_file(in_root("/tmp/vxdsock_server"), "");
    d.signal(SIGTERM);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    std::string out = d.output();
    EXPECT_NE(out.find("\nCapture Signal NO:15(term)\n"), std::string::npos);
    EXPECT_NE(out.find("Close inkrelay.\n"), std::string::npos);
    EXPECT_NE(out.find("Close inktray.\n"), std::string::npos);
    EXPECT_NE(out.find("Close inkd.\n"), std::string::npos);
    EXPECT_TRUE(exists(pid_file()));
    EXPECT_FALSE(exists(in_root("/tmp/vxdsock_server")));
    EXPECT_TRUE(wait_until([&] { return !pid_alive(tray); }, 5s));
    EXPECT_EQ(read_file(tray_log())->find("closed"), std::string::npos)
        << "tray was quit, not closed";
}

TEST_F(DaemonSandbox, TheTrayProgramsEndEndsTheDaemon) {
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    auto kids = children_of(d.pid());
    ASSERT_EQ(kids.size(), 1u);
    kill(kids[0], SIGKILL);
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    std::string out = d.output();
    EXPECT_NE(out.find("(child)\n"), std::string::npos);
    EXPECT_NE(out.find("Kill inktray!\n"), std::string::npos);
    EXPECT_NE(out.find("Close inkd.\n"), std::string::npos);
    EXPECT_TRUE(exists(pid_file()));
}

TEST_F(DaemonSandbox, TrayProgramThatCannotStartEndsTheDaemon) {
    // The exec fails (no program there): the child ends at once and the
    // daemon must not wait for a connection that never comes.
    unlink(in_root("/usr/bin/inktray").c_str());
    Process d = start_daemon();
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    EXPECT_NE(d.output().find("Kill inktray!\n"), std::string::npos);
}

TEST_F(DaemonSandbox, SecondDaemonEndsAtOnceWhileTheFirstRuns) {
    Process first = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    Process second = start_daemon({"--vxd-debug"}, "second.out");
    EXPECT_EQ(exit_code(second.wait(5s)), 0);
    EXPECT_NE(second.output().find("r_system = 0\nFMOUSE MSG: The process has been started!\n"),
              std::string::npos);
    EXPECT_EQ(read_file(pid_file()), std::to_string(first.pid()));
    EXPECT_TRUE(first.running());
    EXPECT_EQ(tray_commands(), Cmds{"66"}) << "the second daemon started no tray program";
}

TEST_F(DaemonSandbox, StalePidFilesAreTakenOver) {
    Process other = Process::start({"/bin/sleep", "30"}, log_dir_ + "/sleep.out");
    struct Case {
        std::string content;
        std::string says;
        bool cwd_in_proc;
    };
    std::vector<Case> cases = {
        {std::to_string(other.pid()), "The process had exited exceptional before!\n", true},
        {std::to_string(dead_pid()), "cd the file error!\n", false},
        {"", "holds no pid", false},
        {"garbage", "holds no pid", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        reset_sandbox();
        install_program("inkd");
        install_program("inktray", "inkfaketray");
        unlink(tray_log().c_str());
        write_file(pid_file(), c.content);
        Process d = start_daemon();
        ASSERT_TRUE(wait_commands(1));
        EXPECT_NE(d.output().find(c.says), std::string::npos) << d.output();
        EXPECT_EQ(read_file(pid_file()), std::to_string(d.pid()));
        if (c.cwd_in_proc)
            EXPECT_EQ(cwd_of(d.pid()), "/proc/" + std::to_string(other.pid()));
        else
            EXPECT_NE(cwd_of(d.pid()).rfind("/proc/", 0), 0u);
        d.signal(SIGINT);
        d.wait(5s);
    }
}

TEST_F(DaemonSandbox, DetectFailureEndsTheDaemon) {
    // A missing hardware file ends the daemon at its first Detect.
    unlink(in_root("/usr/bin/vexor-driver/hw.txt").c_str());
    Process d = start_daemon();
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    std::string out = d.output();
    EXPECT_NE(out.find("FMOUSE ERR: Can not open Hw.txt\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE ERR: Check hw configfile error\n"), std::string::npos);
    EXPECT_NE(out.find("FMOUSE ERR: Detect error\n"), std::string::npos);
    EXPECT_NE(out.find("Main state exit\n"), std::string::npos);
    EXPECT_EQ(tray_commands(), Cmds{"66"});
}

TEST_F(DaemonSandbox, UnusableReferenceGridEndsTheDaemonWithItsReason) {
    write_file(in_root("/usr/bin/vexor-driver/refN.txt"), "a 4 b 3 c 7 d 5 e 0\n");
    Process d = start_daemon();
    EXPECT_EQ(exit_code(d.wait(5s)), 0);
    EXPECT_NE(d.output().find("side space 0"), std::string::npos);
    EXPECT_NE(d.output().find("Check refN configfile error\n"), std::string::npos);
}

TEST_F(DaemonSandbox, ConfigurationIsReadAgainAtEveryDetect) {
    Process d = start_daemon();
    ASSERT_TRUE(wait_commands(1));
    // Once both files are read (the grid's side space is the last line of
    // that), Detect waits for the node; removing the file then changes
    // nothing yet.
    ASSERT_TRUE(d.wait_output("kvx sidespace: ", 5s)) << d.output();
    unlink(in_root("/usr/bin/vexor-driver/hw.txt").c_str());
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(d.running());
    make_node();
    EXPECT_EQ(exit_code(d.wait(10s)), 0);
    EXPECT_EQ(tray_commands(), (Cmds{"66", "77", "44", "66"}));
    EXPECT_NE(d.output().find("Detect error\n"), std::string::npos);
}

// --- The pointer pipe across device connections.

size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

TEST_F(DaemonSandbox, ReconnectingWithoutAConsumerLeaksNoDescriptor) {
    // Each connection opens the pipe and closes it with a closing record; with
    // the consumer gone that record fails, and the pipe stays open until the
    // next connection opens it anew.
    signal(SIGPIPE, SIG_IGN);
    std::string fifo = in_root("/sbin/fmousefifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    size_t before = 0;
    for (int i = 0; i < 5; ++i) {
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        if (i == 0)
            before = open_descriptors();
        ASSERT_EQ(fmouse_motion_init(), 0);
        EXPECT_EQ(open_descriptors(), before + 1) << "connection " << i;
        close(reader);  // the consumer goes away
        EXPECT_EQ(fmouse_motion_close(), -1) << "the closing record cannot be written";
        EXPECT_GE(motion_fd, 0) << "the pipe is left open";
    }
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(fmouse_motion_init(), 0);
    EXPECT_EQ(fmouse_motion_close(), 0);
    uint8_t rec[8];
    EXPECT_EQ(read(reader, rec, sizeof rec), 4) << "the closing record alone";
    close(reader);
    EXPECT_EQ(motion_fd, -1);
    EXPECT_EQ(open_descriptors(), before - 1) << "no descriptor left of any connection";
}

// --- The screensaver inhibitor around a calibration.

class Inhibitor : public DaemonSandbox {
  protected:
    void SetUp() override {
        DaemonSandbox::SetUp();
        if (IsSkipped())
            return;
        install_saver();
    }
    // The inhibitor, as the daemon's calibration starts it.
    pid_t start_inhibitor() { return inkwake_pid = start_inkwake(); }
    pid_t flag_pid() const { return std::atoi(read_file(flag()).value_or("0").c_str()); }
};

TEST_F(Inhibitor, FlagNamesTheRunningCommandAndStoppingEndsBoth) {
    write_file(flag(), "123456789\nstale content from an earlier run\n");
    pid_t wake = start_inhibitor();
    ASSERT_TRUE(wait_until(
        [&] {
            auto c = children_of(wake);
            return !c.empty() && read_file(flag()) == std::to_string(c[0]) + "\n";
        },
        5s));
    pid_t saver = flag_pid();
    EXPECT_TRUE(pid_alive(saver));
    fmouse_stop_inhibitor();
    EXPECT_FALSE(exists(flag()));
    EXPECT_FALSE(pid_alive(saver));
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1) << "inhibitor already reaped";
}

// What the daemon's log says of an ordinary stop, and of a command that
// failed at once (as a desktop's command without an inhibit option does):
// plain messages, no error line but the two fixed wait lines.
std::string stop_inhibitor_output() {
    unsigned char was = vxd_debug_flag;
    vxd_debug_flag = 1;
    testing::internal::CaptureStdout();
    fmouse_stop_inhibitor();
    std::string out = testing::internal::GetCapturedStdout();
    vxd_debug_flag = was;
    return out;
}

TEST_F(Inhibitor, AnOrdinaryStopAndAFailedCommandReadAsSuch) {
    pid_t wake = start_inhibitor();
    ASSERT_TRUE(wait_until([&] { return flag_pid() > 0 && !children_of(wake).empty(); }, 5s));
    EXPECT_EQ(stop_inhibitor_output(),
              "FMOUSE ERR: wait calibrate process is recycled\n"
              "FMOUSE ERR: wait tmp pid error\n"
              "FMOUSE MSG: screensaver inhibitor stopped\n");

    // A command that offers --inhibit but fails at once when run with it.
    write_file(in_root("/usr/bin/gnome-screensaver-command"),
               "#!/bin/sh\n[ \"$1\" = --help ] && { echo '  --inhibit'; exit 0; }\nexit 1\n");
    wake = start_inhibitor();
    ASSERT_TRUE(wait_until([&] { return flag_pid() > 0; }, 5s));
    pid_t saver = flag_pid();
    // Gone, not only ended: inkwake has reaped it.
    ASSERT_TRUE(wait_until([&] { return !exists("/proc/" + std::to_string(saver)); }, 5s));
    EXPECT_EQ(stop_inhibitor_output(), "FMOUSE MSG: the screensaver command " +
                                           std::to_string(saver) +
                                           " of inkwake has already ended\n"
                                           "FMOUSE ERR: wait calibrate process is recycled\n"
                                           "FMOUSE ERR: wait tmp pid error\n"
                                           "FMOUSE MSG: screensaver inhibitor stopped\n");
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1) << "inhibitor already reaped";
}

TEST_F(Inhibitor, ASigtermBeforeTheFlagIsWrittenLeavesNoFlagBehind) {
    // The SIGTERM is already pending when inkwake starts, the earliest it can
    // come: it must take effect once the flag file is written and known to be
    // inkwake's, ending the command and removing the flag.
    std::string pids = log_dir_ + "/saver.pid";
    write_file(in_root("/usr/bin/gnome-screensaver-command"),
               "#!/bin/sh\n[ \"$1\" = --help ] && { echo '  --inhibit'; exit 0; }\necho $$ > '" +
                   pids + "'\nexec sleep 60\n");
    pid_t wake = fork();
    ASSERT_GE(wake, 0);
    if (wake == 0) {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        raise(SIGTERM);  // pending across the exec
        execl(in_root("/usr/bin/inkwake").c_str(), "inkwake", static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wake, &st, WNOHANG) == wake; }, 5s));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    EXPECT_FALSE(exists(flag())) << "a flag naming a dead command";
    pid_t saver = std::atoi(read_file(pids).value_or("0").c_str());
    if (saver > 0) {  // the command may have been ended before it got to run
        EXPECT_TRUE(wait_until([&] { return !pid_alive(saver); }, 5s)) << "command left running";
    }
}

TEST_F(Inhibitor, PlantedPidIsNotSignalled) {
    Process victim = Process::start({"/bin/sleep", "30"}, log_dir_ + "/victim.out");
    pid_t wake = start_inhibitor();
    ASSERT_TRUE(wait_until([&] { return flag_pid() > 0; }, 5s));
    pid_t saver = flag_pid();
    write_file(flag(), std::to_string(victim.pid()) + "\n");
    fmouse_stop_inhibitor();
    EXPECT_TRUE(victim.running()) << "a pid planted in the flag file must not be killed";
    EXPECT_FALSE(pid_alive(saver)) << "the inhibitor's own command is still ended";
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1);
}

TEST_F(Inhibitor, MissingFlagFileDoesNotHang) {
    // The flag file cannot be created (a dangling link stands in its place):
    // inkwake ends its command and fails; stopping must neither block nor kill.
    symlink("/nonexistent/target", flag().c_str());
    pid_t wake = start_inhibitor();
    auto t0 = std::chrono::steady_clock::now();
    fmouse_stop_inhibitor();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1);
    EXPECT_FALSE(exists("/nonexistent/target"));
}

TEST_F(Inhibitor, EndedInhibitorTakesItsCommandAndItsFlagFileAlong) {
    // As when the daemon dies during a calibration: nobody would be left to
    // end the command, and the flag would name a process that is gone.
    pid_t wake = start_inhibitor();
    ASSERT_TRUE(wait_until([&] { return flag_pid() > 0; }, 5s));
    pid_t saver = flag_pid();
    kill(wake, SIGTERM);
    ASSERT_TRUE(wait_until([&] { return waitpid(wake, nullptr, WNOHANG) == wake; }, 5s));
    EXPECT_TRUE(wait_until([&] { return !pid_alive(saver); }, 5s));
    EXPECT_FALSE(exists(flag()));
}

TEST_F(Inhibitor, InkwakeEndsWhenItsCommandIsKilled) {
    pid_t wake = start_inhibitor();
    ASSERT_TRUE(wait_until([&] { return flag_pid() > 0; }, 5s));
    kill(flag_pid(), SIGTERM);
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wake, &st, WNOHANG) == wake; }, 5s));
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}
