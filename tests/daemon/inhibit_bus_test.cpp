// inkwake, the screensaver inhibitor of a calibration: which inhibitor it
// runs (the desktop's command where that still has --inhibit, its own holder
// elsewhere), the holder's inhibition on a real session bus, and how each
// ends through the daemon's fmouse_stop_inhibitor and through SIGTERM.
//
// Every bus is a dbus-daemon of the test's own, with its own configuration.
// The desktop services that cannot run here, the screensaver service and
// GNOME's session manager, are stand-ins (bus_standin) that serve
// their methods on that bus and record the calls.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "daemon_helpers.h"
#include "sessions/private_bus.h"
#include "fmouse_cmddata.h"
#include "fmouse_inhibit.h"

using namespace inktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char *kMark = "INKWAKE_TEST_RUN";

// Longer than any of the holder's waits at this build's timing (connecting,
// each call): a holder still there after it has nothing left to wait for
// but its SIGTERM.
constexpr auto kSettle = 600ms;

// What a stand-in records of the holder's calls, each followed by from().
const std::string kSaverInhibit = "Inhibit ('Vexor Driver', 'Calibrating the pen')";
const std::string kSessionInhibit = "Inhibit ('Vexor Driver', 0, 'Calibrating the pen', 8)";

std::string from(pid_t holder) {
    return " from " + std::to_string(holder) + "\n";
}

class Inkwake : public DaemonSandbox {
  protected:
    void SetUp() override {
        DaemonSandbox::SetUp();
        if (IsSkipped())
            return;
        // No session bus unless a test starts one: not even the machine's.
        env_.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        fs::create_directories(log_dir_ + "/runtime");
        env_.set("XDG_RUNTIME_DIR", log_dir_ + "/runtime");
        mark_ = "inhibit_bus_test-" + std::to_string(getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    void TearDown() override {
        if (!mark_.empty()) {
            // A failed test may leave its inkwake behind: end what it started.
            for (pid_t p : leftovers())
                ::kill(p, SIGKILL);
            if (inkwake_pid > 0)
                waitpid(inkwake_pid, nullptr, 0);
            inkwake_pid = 0;
        }
    }

    // inkwake, as the daemon's calibration starts it (its child).
    pid_t start_wake() {
        setenv(kMark, mark_.c_str(), 1);
        inkwake_pid = start_inkwake();
        unsetenv(kMark);
        return inkwake_pid;
    }

    // inkwake under a parent whose arguments have (or lack) the daemon's
    // --vxd-debug, with what it prints captured; the parent exits with
    // inkwake's status.
    Process start_wake_under_parent(bool debug, const std::string &out) {
        std::vector<std::string> argv{"/bin/sh", "-c", "\"$0\"; exit $?",
                                      in_root("/usr/bin/inkwake")};
        if (debug)
            argv.push_back("--vxd-debug");
        setenv(kMark, mark_.c_str(), 1);
        Process p = Process::start(argv, log_dir_ + "/" + out);
        unsetenv(kMark);
        return p;
    }

    // inkwake started as the daemon does, and the process its flag file
    // names once that is its child; 0 if none comes.
    pid_t start_flagged() { return flagged_child(start_wake()); }
    static pid_t flagged_child(pid_t wake) {
        pid_t named = 0;
        wait_until(
            [&] {
                auto c = children_of(wake);
                named = std::atoi(read_file(flag()).value_or("0").c_str());
                return c.size() == 1 && c[0] == named;
            },
            5s);
        auto c = children_of(wake);
        return c.size() == 1 && c[0] == named ? named : 0;
    }

    // The inkwake started by a parent of start_wake_under_parent.
    static pid_t wake_under(Process &parent) {
        pid_t wake = 0;
        wait_until(
            [&] {
                auto c = children_of(parent.pid());
                wake = c.empty() ? 0 : c[0];
                return wake > 0;
            },
            5s);
        return wake;
    }

    // True when pid runs inkwake's own program: the holder, forked, not a
    // command it ran.
    static bool is_holder(pid_t pid) {
        std::error_code ec;
        auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        return !ec && exe == fs::canonical(bin_dir() + "/inkwake", ec);
    }

    // Live processes started through this test's inkwake (inkwake, its
    // holder or command, whatever those started): all carry its mark.
    std::vector<pid_t> leftovers() const {
        std::vector<pid_t> found;
        const std::string want = std::string(kMark) + "=" + mark_;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator("/proc", ec)) {
            std::string name = e.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            pid_t pid = std::atoi(name.c_str());
            auto environ = read_file("/proc/" + name + "/environ");
            if (!environ || pid == getpid())
                continue;
            std::string all = std::string(1, '\0') + *environ;
            if (all.find(std::string(1, '\0') + want + std::string(1, '\0')) != std::string::npos &&
                pid_alive(pid))
                found.push_back(pid);
        }
        return found;
    }
    bool nothing_left() const {
        return wait_until([&] { return leftovers().empty(); }, 5s);
    }
    // Stops the inhibitor as the daemon does: child ended, flag file gone,
    // inkwake reaped, nothing of it left.
    void stop_and_expect_gone(pid_t child, pid_t wake) const {
        fmouse_stop_inhibitor();
        EXPECT_FALSE(pid_alive(child));
        EXPECT_FALSE(exists(flag()));
        EXPECT_EQ(waitpid(wake, nullptr, WNOHANG), -1) << "inkwake already reaped";
        EXPECT_TRUE(nothing_left());
    }

    // A session bus of the test's own (no service files: nothing is started
    // on demand), and its address in the environment.
    void start_bus(const std::string &socket_name = "socket") {
        ASSERT_TRUE(bus_.start(socket_name))
            << "the private bus did not start (dbus, tools/deps.sh)";
        env_.set("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    }

    // A stand-in for the desktop's service on the private bus ("screensaver"
    // or "session"), answering Inhibit with cookie.
    Process start_standin(const std::string &kind, const std::string &cookie, bool refuse = false) {
        std::vector<std::string> argv{INK_BUS_STANDIN, kind, calls_file(kind), cookie};
        if (refuse)
            argv.push_back("--refuse");
        Process p = Process::start(argv, log_dir_ + "/" + kind + ".out");
        EXPECT_TRUE(p.wait_output("ready\n", 10s)) << p.output();
        return p;
    }
    std::string calls_file(const std::string &kind) const {
        return log_dir_ + "/" + kind + ".calls";
    }
    // The calls a stand-in has had, one a line.
    std::string calls(const std::string &kind) const {
        return read_file(calls_file(kind)).value_or("");
    }
    bool wait_calls(const std::string &kind, size_t lines) const {
        return wait_until([&] { return count_of(calls(kind), "\n") >= lines; }, 5s);
    }

    // The desktop's inhibiting command, as a script.
    static void install_command(const std::string &script, mode_t mode = 0755) {
        std::string path = in_root("/usr/bin/gnome-screensaver-command");
        write_file(path, script);
        chmod(path.c_str(), mode);
    }
    std::string command_log() const { return log_dir_ + "/command.log"; }

    PrivateBus bus_;
    std::string mark_;
    EnvFor env_;
};

// --- Which inhibitor inkwake runs.

using InkwakeCommand = Inkwake;

TEST_F(InkwakeCommand, WithoutCommandOrBusTheHolderRunsUntilEnded) {
    pid_t wake = start_wake();
    pid_t holder = flagged_child(wake);
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(is_holder(holder));
    std::this_thread::sleep_for(kSettle);
    EXPECT_TRUE(pid_alive(holder)) << "the holder waits for its SIGTERM, bus or no bus";

    kill(holder, SIGTERM);
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wake, &st, WNOHANG) == wake; }, 5s));
    inkwake_pid = 0;
    EXPECT_EQ(exit_code(st), 0);
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeCommand, CommandWithInhibitIsRunAsBefore) {
    install_command(
        "#!/bin/sh\n"
        "echo \"$$ $*\" >> '" +
        command_log() +
        "'\n"
        "case \"$1\" in\n"
        "--help) printf 'Usage:\\n  gnome-screensaver-command [OPTION...]\\n\\n"
        "  -q, --query     Query the state of the screensaver\\n"
        "  -i, --inhibit   Inhibit the screensaver from activating\\n' ;;\n"
        "*) exec sleep 60 ;;\n"
        "esac\n");
    pid_t wake = start_wake();
    pid_t command = flagged_child(wake);
    ASSERT_GT(command, 0);
    ASSERT_TRUE(
        wait_until([&] { return count_of(read_file(command_log()).value_or(""), "\n") == 2; }, 5s));
    std::string log = *read_file(command_log());
    EXPECT_EQ(log.substr(log.find('\n') + 1), std::to_string(command) + " --inhibit\n");
    EXPECT_EQ(log.substr(log.find(' '), log.find('\n') - log.find(' ')), " --help");
    EXPECT_FALSE(is_holder(command));
    stop_and_expect_gone(command, wake);
}

TEST_F(InkwakeCommand, CommandWithoutInhibitGivesTheHolder) {
    // As today's command of that name: no --inhibit in its help, and run
    // with it, it fails at once.
    install_command(
        "#!/bin/sh\n"
        "echo \"$*\" >> '" +
        command_log() +
        "'\n"
        "case \"$1\" in\n"
        "--help) printf 'Usage:\\n  gnome-screensaver-command [OPTION...]\\n\\n"
        "  --exit           Causes the screensaver to exit gracefully\\n"
        "  -q, --query      Query the state of the screensaver\\n"
        "  -l, --lock       Tells the running screensaver process to lock the "
        "screen\\n'\n"
        "    exit 0 ;;\n"
        "*) echo \"Unknown option $1\" >&2; exit 1 ;;\n"
        "esac\n");
    pid_t wake = start_wake();
    pid_t holder = flagged_child(wake);
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(is_holder(holder));
    EXPECT_EQ(read_file(command_log()), "--help\n") << "the command is only asked for its help";
    stop_and_expect_gone(holder, wake);
}

TEST_F(InkwakeCommand, HelpThatNeverEndsIsCutShortWithAllItStarted) {
    // Its help would mention --inhibit, a minute late; the sleep it waits on
    // is a process of its own, ended with it.
    install_command(
        "#!/bin/sh\n"
        "case \"$1\" in\n"
        "--help) sleep 60; echo '  --inhibit' ;;\n"
        "*) exec sleep 60 ;;\n"
        "esac\n");
    auto t0 = std::chrono::steady_clock::now();
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_TRUE(is_holder(holder));
    fmouse_stop_inhibitor();
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeCommand, CommandThatMayNotBeRunIsNotRun) {
    install_command(
        "#!/bin/sh\necho \"$*\" >> '" + command_log() + "'\necho '  --inhibit'\nexec sleep 60\n",
        0644);
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(is_holder(holder));
    EXPECT_FALSE(exists(command_log()));
    fmouse_stop_inhibitor();
    EXPECT_TRUE(nothing_left());
}

// --- The holder's inhibition on the session bus.

using InkwakeBus = Inkwake;

TEST_F(InkwakeBus, ScreenSaverServiceHoldsTheInhibitionUntilStopped) {
    start_bus();
    Process saver = start_standin("screensaver", "4242");
    Process session = start_standin("session", "77");
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_calls("screensaver", 1));
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(calls("screensaver"), kSaverInhibit + from(holder));
    EXPECT_TRUE(pid_alive(holder));

    fmouse_stop_inhibitor();
    EXPECT_EQ(calls("screensaver"),
              kSaverInhibit + from(holder) + "UnInhibit (4242,)" + from(holder));
    EXPECT_EQ(calls("session"), "") << "one inhibition is enough";
    EXPECT_FALSE(exists(flag()));
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeBus, SessionManagerServesWhereNoScreenSaverIs) {
    start_bus();
    Process session = start_standin("session", "77");
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_calls("session", 1));
    EXPECT_EQ(calls("session"), kSessionInhibit + from(holder));

    fmouse_stop_inhibitor();
    EXPECT_EQ(calls("session"), kSessionInhibit + from(holder) + "Uninhibit (77,)" + from(holder));
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeBus, RefusingScreenSaverGivesWayToTheSessionManager) {
    start_bus();
    Process saver = start_standin("screensaver", "4242", true);
    Process session = start_standin("session", "77");
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_calls("session", 1));

    fmouse_stop_inhibitor();
    EXPECT_EQ(calls("screensaver"), kSaverInhibit + from(holder));
    EXPECT_EQ(calls("session"), kSessionInhibit + from(holder) + "Uninhibit (77,)" + from(holder));
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeBus, BusWithoutServiceKeepsTheHolderUntilStopped) {
    start_bus();
    pid_t wake = start_wake();
    pid_t holder = flagged_child(wake);
    ASSERT_GT(holder, 0);
    std::this_thread::sleep_for(kSettle);
    EXPECT_TRUE(pid_alive(holder));
    stop_and_expect_gone(holder, wake);
}

TEST_F(InkwakeBus, BusOfTheRuntimeDirectoryServesWithoutAnAddress) {
    start_bus("bus");
    Process saver = start_standin("screensaver", "4242");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", bus_.dir().c_str(), 1);
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_calls("screensaver", 1));
    fmouse_stop_inhibitor();
    EXPECT_EQ(calls("screensaver"),
              kSaverInhibit + from(holder) + "UnInhibit (4242,)" + from(holder));
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeBus, AddressOfABusThatIsGoneKeepsTheHolderUntilStopped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + log_dir_ + "/gone").c_str(), 1);
    pid_t holder = start_flagged();
    ASSERT_GT(holder, 0);
    std::this_thread::sleep_for(kSettle);
    EXPECT_TRUE(pid_alive(holder));
    fmouse_stop_inhibitor();
    EXPECT_FALSE(pid_alive(holder));
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeBus, EndedInkwakeHasItsHolderRelease) {
    // As when the daemon dies during a calibration.
    start_bus();
    Process saver = start_standin("screensaver", "4242");
    pid_t wake = start_wake();
    pid_t holder = flagged_child(wake);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_calls("screensaver", 1));

    kill(wake, SIGTERM);
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wake, &st, WNOHANG) == wake; }, 5s));
    inkwake_pid = 0;
    EXPECT_EQ(exit_code(st), 1);
    EXPECT_FALSE(exists(flag()));
    ASSERT_TRUE(wait_calls("screensaver", 2));
    EXPECT_EQ(calls("screensaver"),
              kSaverInhibit + from(holder) + "UnInhibit (4242,)" + from(holder));
    EXPECT_TRUE(nothing_left());
}

// --- What the holder says, in the daemon's debug mode only.

using InkwakeDiagnostics = Inkwake;

const std::string kChoseHolder =
    "FMOUSE MSG: inkwake: no gnome-screensaver-command with --inhibit: inhibiting through the "
    "session bus\n";

// Ends inkwake through the flag file (as the daemon does) and returns its
// parent's exit code.
int end_through_flag(Process &parent) {
    pid_t holder = std::atoi(read_file(in_root("/tmp/inkwake_flag")).value_or("0").c_str());
    if (holder <= 0 || !pid_alive(holder))
        return -2000;
    kill(holder, SIGTERM);
    auto st = parent.wait(5s);
    return st ? exit_code(*st) : -3000;
}

TEST_F(InkwakeDiagnostics, FollowTheDaemonsDebugMode) {
    Process quiet = start_wake_under_parent(false, "quiet.out");
    ASSERT_GT(flagged_child(wake_under(quiet)), 0);
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(end_through_flag(quiet), 0);
    EXPECT_EQ(quiet.output(), "");

    Process noisy = start_wake_under_parent(true, "noisy.out");
    ASSERT_GT(flagged_child(wake_under(noisy)), 0);
    ASSERT_TRUE(noisy.wait_output("no session bus", 5s));
    EXPECT_EQ(end_through_flag(noisy), 0);
    EXPECT_EQ(noisy.output(),
              kChoseHolder +
                  "FMOUSE MSG: inkwake: no session bus: nothing inhibited, waiting to be ended\n");

    start_bus();
    Process empty_bus = start_wake_under_parent(true, "empty_bus.out");
    ASSERT_GT(flagged_child(wake_under(empty_bus)), 0);
    ASSERT_TRUE(empty_bus.wait_output("no screensaver service", 5s));
    std::this_thread::sleep_for(kSettle);
    EXPECT_EQ(end_through_flag(empty_bus), 0);
    EXPECT_EQ(empty_bus.output(), kChoseHolder +
                                      "FMOUSE MSG: inkwake: no screensaver service on the session "
                                      "bus: nothing inhibited, waiting to be ended\n");
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeDiagnostics, HeldAndReleased) {
    start_bus();
    Process saver = start_standin("screensaver", "4242");
    Process wake = start_wake_under_parent(true, "wake.out");
    ASSERT_GT(flagged_child(wake_under(wake)), 0);
    ASSERT_TRUE(wake.wait_output("cookie 4242\n", 5s));
    EXPECT_EQ(end_through_flag(wake), 0);
    EXPECT_EQ(
        wake.output(),
        kChoseHolder +
            "FMOUSE MSG: inkwake: inhibited through org.freedesktop.ScreenSaver, cookie 4242\n"
            "FMOUSE MSG: inkwake: released the inhibition, cookie 4242\n");
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeDiagnostics, ServiceLeavingTheBusLeavesTheHolderWaiting) {
    start_bus();
    Process session = start_standin("session", "77");
    Process wake = start_wake_under_parent(true, "wake.out");
    pid_t holder = flagged_child(wake_under(wake));
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wake.wait_output("cookie 77\n", 5s));
    session.signal(SIGKILL);
    ASSERT_TRUE(wake.wait_output("has left", 5s));
    std::this_thread::sleep_for(kSettle);
    EXPECT_TRUE(pid_alive(holder));
    EXPECT_EQ(end_through_flag(wake), 0);
    EXPECT_EQ(wake.output(),
              kChoseHolder +
                  "FMOUSE MSG: inkwake: inhibited through org.gnome.SessionManager, cookie 77\n"
                  "FMOUSE MSG: inkwake: org.gnome.SessionManager has left the session bus: nothing "
                  "inhibited now, waiting to be ended\n");
    EXPECT_TRUE(nothing_left());
}

TEST_F(InkwakeDiagnostics, BusClosingLeavesTheHolderWaiting) {
    start_bus();
    Process saver = start_standin("screensaver", "4242");
    Process wake = start_wake_under_parent(true, "wake.out");
    pid_t holder = flagged_child(wake_under(wake));
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wake.wait_output("cookie 4242\n", 5s));
    bus_.kill();
    ASSERT_TRUE(wake.wait_output("has closed", 5s));
    std::this_thread::sleep_for(kSettle);
    EXPECT_TRUE(pid_alive(holder));
    EXPECT_EQ(end_through_flag(wake), 0);
    EXPECT_EQ(
        wake.output(),
        kChoseHolder +
            "FMOUSE MSG: inkwake: inhibited through org.freedesktop.ScreenSaver, cookie 4242\n"
            "FMOUSE MSG: inkwake: the session bus connection has closed: nothing inhibited "
            "now, waiting to be ended\n");
    EXPECT_TRUE(nothing_left());
}

}  // namespace
