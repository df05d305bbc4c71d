// inkctl against the real inktray on a private Xvfb server (no tray manager,
// so no icon and no menu to click), with the fake daemon on the command
// channel: what each command answers and does, its refusals, a tray that is
// not there or does not answer, and stray clients on the control socket.
#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>

#include "ctl_socket.h"
#include "sessions/tray_session.h"

using namespace inktest;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

const std::string kUsageStart = "usage: inkctl COMMAND\n";

struct CtlRun {
    int code = -1;  // exit status; -1: killed after the timeout
    std::string out, err;
    long ms = 0;
};

// Runs the real inkctl with its standard output and error in separate files.
CtlRun run_ctl(const std::vector<std::string> &args, std::chrono::milliseconds limit = 10000ms) {
    std::string out_file = in_root("/ctl.out"), err_file = in_root("/ctl.err");
    std::vector<std::string> argv{in_root("/usr/bin/inkctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto begin = std::chrono::steady_clock::now();
    CtlRun r;
    {
        Process p = Process::start(argv, out_file, "", Process::Group::Caller, err_file);
        auto st = p.wait(limit);
        if (st && WIFEXITED(*st))
            r.code = WEXITSTATUS(*st);
    }  // killed after the timeout as it goes
    r.ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - begin)
                                 .count());
    r.out = read_file(out_file).value_or("");
    r.err = read_file(err_file).value_or("");
    return r;
}

// What a run said: exit status, standard output, standard error.
using Said = std::tuple<int, std::string, std::string>;
Said said(const CtlRun &r) {
    return {r.code, r.out, r.err};
}

// A connection of a client of our own on the control socket.
int connect_raw(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the other end sends until it closes; nullopt when it has not
// closed within the wait.
std::optional<std::string> read_to_end(int fd, std::chrono::milliseconds wait = 3000ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (poll(&p, 1, static_cast<int>(left.count())) != 1)
            return std::nullopt;
        char buf[512];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == ECONNRESET)
            return got;
        if (r <= 0)
            return got;
        got.append(buf, static_cast<size_t>(r));
    }
}

// One request on a connection of its own; the answer up to the close.
std::optional<std::string> ask(const std::string &path, const std::string &bytes) {
    int fd = connect_raw(path);
    if (fd < 0)
        return std::nullopt;
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    auto got = read_to_end(fd);
    close(fd);
    return got;
}

mode_t mode_of(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode;
}

std::string make_private_dir() {
    char tmpl[] = "/tmp/inkctl-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "";
}

// The tray's X display as the socket's name has it: ":N" gives "_N".
std::string tag_of(const std::string &display) {
    return "_" + display.substr(1);
}

class CtlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb_installed())
            GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb): no X server to test on";
        runtime_ = make_private_dir();
        ASSERT_FALSE(runtime_.empty());
        env_.set("XDG_RUNTIME_DIR", runtime_);
        reset_sandbox();
        install_program("inkctl");
    }
    void TearDown() override {
        for (Process *p : {&s.tray, &second_})
            if (p->pid() > 0) {
                std::string out = p->output();
                EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
                EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
            }
        std::error_code ec;
        if (!runtime_.empty())
            fs::remove_all(runtime_, ec);
    }
    // The X server, the fake daemon and the tray after its handshake and
    // first tick (from which on it serves the socket).
    void start() {
        std::string err = s.start(false);
        ASSERT_EQ(err, "") << s.output();
        install_program("inkctl");
        // The name appears at bind(), a moment before the tray listens on it
        // (a connection then is refused): its message says it is served.
        ASSERT_TRUE(s.tray.wait_output("control socket " + sock() + " served\n", 3000ms))
            << s.output();
        EXPECT_TRUE(exists(sock()));
    }
    std::string dir() const { return runtime_ + "/vexor-driver"; }
    std::string sock() const { return dir() + "/tray-" + tag_of(s.x.display_name()); }
    void open_calibration(const std::vector<std::string> &args, long *ms = nullptr) {
        CtlRun r = run_ctl(args);
        if (ms != nullptr)
            *ms = r.ms;
        ASSERT_EQ(r.code, 0) << r.err << s.output();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        ASSERT_TRUE(s.x.wait_count(kCalibTitle, 1)) << s.output();
        ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1)) << s.output();
    }

    std::string runtime_;
    EnvFor env_;
    TraySession s;
    Process second_;
};

TEST_F(CtlTest, StatusFollowsTheDaemonsNotifications) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(said(run_ctl({"status"})), (Said{0, "unconnected\n", ""}));

    s.connect();
    CtlRun r = run_ctl({"status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "connected\n");

    // Connecting (0x77) and disconnected (0x66) are both the dark icon.
    for (std::uint8_t cmd : {0x77, 0x88, 0x66}) {
        ASSERT_EQ(s.daemon.notify(cmd), 0);
        TraySession::ticks(1);
        r = run_ctl({"status"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, cmd == 0x88 ? "connected\n" : "unconnected\n") << int(cmd);
    }
    EXPECT_EQ(s.daemon.poll(), 0);
}

TEST_F(CtlTest, SocketAndItsDirectoryAreTheUsers) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(S_ISSOCK(mode_of(sock())));
    EXPECT_EQ(mode_of(sock()) & 07777, 0600u);
    EXPECT_TRUE(S_ISDIR(mode_of(dir())));
    EXPECT_EQ(mode_of(dir()) & 07777, 0700u);

    if (getuid() != 0)
        GTEST_SKIP() << "another user's connection needs root to make";
    // Opened up for a moment, so that another user can reach the socket at
    // all: the tray still closes the connection unanswered.
    ASSERT_EQ(chmod(runtime_.c_str(), 0711), 0);
    ASSERT_EQ(chmod(dir().c_str(), 0711), 0);
    ASSERT_EQ(chmod(sock().c_str(), 0666), 0);
    std::string path = sock();
    EXPECT_EQ(as_other_user([&] {
                  int fd = connect_raw(path);
                  if (fd < 0)
                      return 11;
                  send(fd, "status\n", 7, MSG_NOSIGNAL);
                  auto got = read_to_end(fd);
                  return !got ? 12 : got->empty() ? 0 : 13;
              }),
              0)
        << "99 setuid, 11 connect, 12 not closed, 13 answered";
    chmod(sock().c_str(), 0600);
    chmod(dir().c_str(), 0700);
    chmod(runtime_.c_str(), 0700);
    EXPECT_NE(s.output().find("connection of another user (uid 65534) closed"), std::string::npos)
        << s.output();
    EXPECT_EQ(run_ctl({"status"}).out, "unconnected\n");
}

// The same code path as the menu items: both windows open, OK raises the
// start request, the kind of the item is what the daemon reads next, and
// the item's pause is made before inkctl is answered.
TEST_F(CtlTest, CalibrateOpensTheCalibrationAsTheMenuItemsDo) {
    ASSERT_NO_FATAL_FAILURE(start());
    s.connect();
    struct Case {
        std::vector<std::string> args;
        Bytes mode;
    };
    for (const Case &c :
         {Case{{"calibrate", "advanced"}, {0x01, 0x00}}, Case{{"calibrate"}, {0x00, 0x00}},
          Case{{"calibrate", "advanced"}, {0x01, 0x00}},
          Case{{"calibrate", "normal"}, {0x00, 0x00}}}) {
        SCOPED_TRACE(c.args.back());
        long ms = 0;
        ASSERT_NO_FATAL_FAILURE(open_calibration(c.args, &ms));
        EXPECT_GE(ms, ink::time::pause_ms(1000));
        XWin cw = s.x.find(kCalibTitle)[0];
        EXPECT_EQ(cw.x, 0);
        EXPECT_EQ(cw.y, 0);
        EXPECT_EQ(cw.w, 1024);
        EXPECT_EQ(cw.h, 768);
        XWin dlg = s.x.find(kDialogTitle)[0];
        EXPECT_EQ(dlg.w, 525);
        EXPECT_EQ(dlg.h, 200);
        EXPECT_EQ(s.daemon.poll(), 0);
        s.x.key(XK_Return, dlg.id);  // OK has the focus
        ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
        EXPECT_EQ(s.daemon.poll(), 0x10);
        EXPECT_EQ(s.daemon.poll(), 0);
        EXPECT_EQ(s.daemon.calib_mode(), c.mode);
        ASSERT_EQ(s.daemon.notify(0x99), 0);
        ASSERT_TRUE(s.x.wait_count(kCalibTitle, 0));
    }
}

TEST_F(CtlTest, RefusedWhereTheMenuRefuses) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string unconnected = "inkctl: the camera unit is not connected\n";
    const std::string busy = "inkctl: a dialog or calibration is already open\n";
    // Unconnected: the calibrate items are not in the menu.
    for (auto args : {std::vector<std::string>{"calibrate"}, {"calibrate", "advanced"}}) {
        EXPECT_EQ(said(run_ctl(args)), (Said{1, "", unconnected}));
    }
    TraySession::ticks(1);
    EXPECT_TRUE(s.x.find(kCalibTitle).empty());
    EXPECT_EQ(s.daemon.calib_mode(), (Bytes{0x00, 0x00}));

    // With the start dialog open, and with the calibration running after OK.
    s.connect();
    ASSERT_NO_FATAL_FAILURE(open_calibration({"calibrate"}));
    for (int phase = 0; phase < 2; ++phase) {
        SCOPED_TRACE(phase == 0 ? "start dialog" : "calibration");
        for (auto args :
             {std::vector<std::string>{"calibrate", "advanced"}, {"calibrate"}, {"about"}}) {
            CtlRun r = run_ctl(args);
            EXPECT_EQ(r.code, 1) << args[0];
            EXPECT_EQ(r.err, busy) << args[0];
        }
        EXPECT_EQ(s.x.find(kCalibTitle).size(), 1u);
        EXPECT_EQ(s.x.find(kDialogTitle).size(), phase == 0 ? 1u : 0u);
        if (phase == 0) {
            s.x.key(XK_Return, s.x.find(kDialogTitle)[0].id);
            ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
            EXPECT_EQ(s.daemon.poll(), 0x10);
        }
    }
    // A refused request changes nothing, not even the kind.
    EXPECT_EQ(s.daemon.calib_mode(), (Bytes{0x00, 0x00}));
    ASSERT_EQ(s.daemon.notify(0x99), 0);
    ASSERT_TRUE(s.x.wait_count(kCalibTitle, 0));

    // The About dialog: once; neither a second one nor a calibration beside it.
    CtlRun r = run_ctl({"about"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 1));
    XWin about = s.x.find(kDialogTitle)[0];
    EXPECT_EQ(about.w, 400);
    EXPECT_EQ(about.h, 150);
    for (auto args : {std::vector<std::string>{"about"}, {"calibrate"}}) {
        r = run_ctl(args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.err, busy) << args[0];
    }
    TraySession::ticks(1);
    EXPECT_EQ(s.x.find(kDialogTitle).size(), 1u);
    EXPECT_TRUE(s.x.find(kCalibTitle).empty());
    s.x.key(XK_Return, about.id);
    ASSERT_TRUE(s.x.wait_count(kDialogTitle, 0));
    EXPECT_EQ(run_ctl({"about"}).code, 0);
    EXPECT_TRUE(s.x.wait_count(kDialogTitle, 1));
    EXPECT_EQ(s.daemon.poll(), 0);
}

TEST_F(CtlTest, WrongArgumentsAndHelp) {
    for (auto args : {std::vector<std::string>{},
                      {"stat"},
                      {"status", "now"},
                      {"calibrate", "fast"},
                      {"calibrate", "normal", "advanced"},
                      {"about", "x"},
                      {"screen", "1", "2"},
                      {"screen", "a b"},
                      {"screen", ""},
                      {"--help", "status"},
                      {"-x"}}) {
        CtlRun r = run_ctl(args);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.compare(0, kUsageStart.size(), kUsageStart), 0) << shown << ": " << r.err;
    }
    for (const char *opt : {"--help", "-h"}) {
        CtlRun r = run_ctl({opt});
        EXPECT_EQ(r.code, 0) << opt;
        EXPECT_EQ(r.out.compare(0, kUsageStart.size(), kUsageStart), 0) << opt << ": " << r.out;
        EXPECT_NE(r.out.find("calibrate [normal|advanced]"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// No X server or tray at all: inkctl only looks for the socket.
TEST_F(CtlTest, NoTrayThatAnswers) {
    env_.set("DISPLAY", std::string(":4242"));
    const std::string path = runtime_ + "/vexor-driver/tray-_4242";
    // Nothing there yet; then the socket file of a tray that has gone.
    for (int stale = 0; stale < 2; ++stale) {
        EXPECT_EQ(said(run_ctl({"status"})), (Said{3, "not running\n", ""})) << stale;
        EXPECT_EQ(said(run_ctl({"calibrate"})), (Said{3, "", "inkctl: inktray is not running\n"}))
            << stale;
        ASSERT_EQ(mkdir((runtime_ + "/vexor-driver").c_str(), 0700), stale == 0 ? 0 : -1);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (stale == 0) {
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        }
        close(fd);
    }
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A server that takes the connection and never answers, and one that
    // reads the request and goes away.
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    std::atomic<bool> hang_up{false};
    std::atomic<long long> hung_up_us{0};  // when the vanishing server last hung up
    std::vector<int> held;
    std::thread server([&] {
        for (int i = 0; i < 4; ++i) {
            int c = accept(lfd, nullptr, nullptr);
            if (c < 0)
                return;
            if (hang_up.load()) {
                char buf[64];
                (void)!recv(c, buf, sizeof buf, 0);
                hung_up_us.store(ink::time::now_us());  // before inkctl can see it
                close(c);
            } else {
                held.push_back(c);
            }
        }
    });
    for (bool vanish : {false, true}) {
        hang_up.store(vanish);
        for (auto args : {std::vector<std::string>{"status"}, {"calibrate", "advanced"}}) {
            CtlRun r = run_ctl(args);
            SCOPED_TRACE(args[0] + (vanish ? " (server goes away)" : " (silent server)"));
            EXPECT_EQ(r.code, 3);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "inkctl: inktray did not answer\n");
            // Within the 5 s bound, and at once when the server has gone:
            // counted from the hang-up, not from inkctl's start, which a
            // loaded host may take a second and more over.
            EXPECT_LT(r.ms, 6000);
            if (vanish) {
                EXPECT_LT(ink::time::now_us() - hung_up_us.load(), 1000000);
            }
        }
    }
    server.join();
    for (int c : held)
        close(c);
    close(lfd);
}

// Garbage, over-long lines, silent and vanishing clients: each is answered
// or closed, none holds up the tray, which answers inkctl and the daemon all
// along.
TEST_F(CtlTest, StrayClientsDoNotDisturbTheTray) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string path = sock();
    EXPECT_EQ(ask(path, std::string("\x01\xff\xfe\x00junk\n", 9)), "refused unknown request\n");
    EXPECT_EQ(ask(path, "status please\n"), "refused unknown request\n");
    EXPECT_EQ(ask(path, "status\r\n"), "unconnected\n");
    // Without its newline, on a connection kept open, the request never
    // ends: closed unanswered when the connection has been idle.
    EXPECT_EQ(ask(path, "status"), "");
    // 256 characters are a request (an unknown one), 257 too many.
    EXPECT_EQ(ask(path, std::string(256, 'x') + "\n"), "refused unknown request\n");
    EXPECT_EQ(ask(path, std::string(257, 'x') + "\n"), "refused request too long\n");
    EXPECT_EQ(ask(path, std::string(60000, 's')), "refused request too long\n");

    // A line's end after the connection's: still one request.
    int fd = connect_raw(path);
    ASSERT_GE(fd, 0);
    send(fd, "status", 6, MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_to_end(fd), "unconnected\n");
    close(fd);

    // A client that sends half a request and goes, and one that asks and
    // goes before the answer.
    for (const char *bytes : {"scre", "calibrate normal\n", "screen list\n"}) {
        fd = connect_raw(path);
        ASSERT_GE(fd, 0);
        send(fd, bytes, std::strlen(bytes), MSG_NOSIGNAL);
        close(fd);
    }

    // A silent client is closed after 2 s (scaled); meanwhile inkctl is
    // answered at once.
    auto begin = std::chrono::steady_clock::now();
    int silent = connect_raw(path);
    ASSERT_GE(silent, 0);
    CtlRun r = run_ctl({"status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "unconnected\n");
    EXPECT_LT(r.ms, 1000);
    EXPECT_EQ(read_to_end(silent, std::chrono::milliseconds(ink::time::budget_ms(2000) + 2000)),
              "");
    EXPECT_GE(std::chrono::steady_clock::now() - begin,
              std::chrono::milliseconds(ink::time::budget_ms(2000)));
    close(silent);

    // Eight connections at a time: more are closed at once, the eight when
    // they have been idle for long enough.
    const long idle_ms = ink::time::budget_ms(2000);
    auto t0 = std::chrono::steady_clock::now();
    std::vector<int> many;
    for (int i = 0; i < 12; ++i)
        many.push_back(connect_raw(path));
    std::vector<long> closed_after(many.size(), -1);
    wait_until(
        [&] {
            bool all = true;
            for (size_t i = 0; i < many.size(); ++i) {
                if (closed_after[i] >= 0)
                    continue;
                struct pollfd p {
                    many[i], POLLIN, 0
                };
                char b;
                if (poll(&p, 1, 0) == 1 && recv(many[i], &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                    closed_after[i] =
                        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - t0)
                                              .count());
                else
                    all = false;
            }
            return all;
        },
        std::chrono::milliseconds(idle_ms + 3000));
    EXPECT_EQ(std::count_if(closed_after.begin(), closed_after.end(),
                            [&](long ms) { return ms >= 0 && ms < idle_ms; }),
              4);
    EXPECT_EQ(std::count(closed_after.begin(), closed_after.end(), -1), 0);
    for (int c : many)
        close(c);

    TraySession::ticks(1);
    r = run_ctl({"status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "unconnected\n");
    EXPECT_EQ(s.daemon.poll(), 0);
    EXPECT_EQ(s.daemon.notify(0x88), 0);
    TraySession::ticks(1);
    EXPECT_EQ(run_ctl({"status"}).out, "connected\n");
    EXPECT_TRUE(s.tray.running());
}

// A dead tray's socket is taken over; a live tray's is left to it, also when
// the second tray ends; an orderly exit removes the socket.
TEST_F(CtlTest, OneTrayServesTheDisplay) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string path = sock();
    s.tray.signal(SIGKILL);
    ASSERT_TRUE(s.tray.wait(3000ms).has_value());
    ASSERT_TRUE(exists(path));
    EXPECT_EQ(run_ctl({"status"}).out, "not running\n");

    FakeDaemon d2;
    ASSERT_TRUE(d2.listen());
    Process tray2 =
        Process::start({in_root("/usr/bin/inktray"), "--vxd-debug"}, in_root("/tray2.out"));
    ASSERT_TRUE(d2.accept());
    ASSERT_EQ(d2.notify(0x88), 0);
    ASSERT_TRUE(tray2.wait_output("control socket " + path + " served\n", 3000ms))
        << tray2.output();
    EXPECT_NE(tray2.output().find("the old one of a tray that has gone replaced"),
              std::string::npos);
    // The socket is served from the first tick, which may come before the
    // tick that shows the connection.
    EXPECT_TRUE(wait_until([&] { return run_ctl({"status"}).out == "connected\n"; }, 3000ms));

    {
        FakeDaemon d3;
        ASSERT_TRUE(d3.listen());
        second_ =
            Process::start({in_root("/usr/bin/inktray"), "--vxd-debug"}, in_root("/tray3.out"));
        ASSERT_TRUE(d3.accept());
        ASSERT_EQ(d3.notify(0x66), 0);
        EXPECT_TRUE(
            second_.wait_output("another inktray of this display serves it; not served\n", 3000ms))
            << second_.output();
        EXPECT_EQ(run_ctl({"status"}).out, "connected\n");
        d3.close_channel();
        auto st = second_.wait(3000ms);
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(WEXITSTATUS(*st), 0);
    }
    EXPECT_TRUE(S_ISSOCK(mode_of(path)));
    EXPECT_EQ(run_ctl({"status"}).out, "connected\n");

    d2.close_channel();
    auto st = tray2.wait(3000ms);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(WEXITSTATUS(*st), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(run_ctl({"status"}).code, 3);
    std::string out = tray2.output();
    EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
}

// Without a usable XDG_RUNTIME_DIR the socket lives in a directory of the
// user under /tmp.
TEST_F(CtlTest, WithoutARuntimeDirectory) {
    env_.set("XDG_RUNTIME_DIR", std::nullopt);
    std::string err = s.start(false);
    ASSERT_EQ(err, "") << s.output();
    install_program("inkctl");
    std::string tmp_dir = in_root("/tmp/vexor-driver-" + std::to_string(getuid()));
    std::string path = tmp_dir + "/tray-" + tag_of(s.x.display_name());
    ASSERT_TRUE(wait_until([&] { return exists(path); }, 3000ms)) << s.output();
    EXPECT_EQ(mode_of(tmp_dir) & 07777, 0700u);
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    EXPECT_EQ(run_ctl({"status"}).out, "unconnected\n");
    // XDG_RUNTIME_DIR open to others is not used either.
    ASSERT_EQ(chmod(runtime_.c_str(), 0755), 0);
    env_.set("XDG_RUNTIME_DIR", runtime_);
    EXPECT_EQ(run_ctl({"status"}).out, "unconnected\n");
}

// The name's rule, on its own: the display's characters, the directories
// that are used, and those that are refused.
TEST(CtlSocketPath, NameAndDirectories) {
    EXPECT_EQ(ink::ctl::display_tag(":0"), "_0");
    EXPECT_EQ(ink::ctl::display_tag("localhost:10.0"), "localhost_10.0");
    EXPECT_EQ(ink::ctl::display_tag("host/x y:1"), "host_x_y_1");
    EXPECT_EQ(ink::ctl::display_tag("a-b_c.D9:2"), "a-b_c.D9_2");

    reset_sandbox();
    EnvFor env;
    std::string rt = make_private_dir();
    ASSERT_FALSE(rt.empty());
    std::string err;
    env.set("XDG_RUNTIME_DIR", rt);
    EXPECT_EQ(ink::ctl::socket_path(":0", false, &err), rt + "/vexor-driver/tray-_0");
    EXPECT_FALSE(exists(rt + "/vexor-driver")) << "only the tray makes the directory";
    EXPECT_EQ(ink::ctl::socket_path(":0", true, &err), rt + "/vexor-driver/tray-_0");
    EXPECT_EQ(mode_of(rt + "/vexor-driver") & 07777, 0700u);
    EXPECT_EQ(ink::ctl::socket_path("", true, &err), "");
    EXPECT_EQ(err, "DISPLAY is not set");

    // XDG_RUNTIME_DIR unusable: the directory under /tmp.
    std::string fallback = in_root("/tmp/vexor-driver-" + std::to_string(getuid()));
    std::string open_dir = rt + "/open", link = rt + "/link";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink(rt.c_str(), link.c_str()), 0);
    for (const std::optional<std::string> &v :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/dir"), std::optional<std::string>(open_dir),
          std::optional<std::string>(link), std::optional<std::string>(rt + "/missing")}) {
        env.set("XDG_RUNTIME_DIR", v);
        err.clear();
        EXPECT_EQ(ink::ctl::socket_path(":1", true, &err), fallback + "/tray-_1")
            << v.value_or("(unset)") << ": " << err;
    }
    EXPECT_EQ(mode_of(fallback) & 07777, 0700u);

    // A fallback directory that is not the user's own private one.
    fs::remove_all(fallback);
    ASSERT_EQ(mkdir(fallback.c_str(), 0755), 0);
    ASSERT_EQ(chmod(fallback.c_str(), 0755), 0);
    EXPECT_EQ(ink::ctl::socket_path(":1", true, &err), "");
    EXPECT_EQ(err, fallback + ": has mode 0755, not 0700");
    EXPECT_EQ(mode_of(fallback) & 07777, 0755u) << "left as it is";
    fs::remove_all(fallback);
    ASSERT_EQ(symlink(rt.c_str(), fallback.c_str()), 0);
    EXPECT_EQ(ink::ctl::socket_path(":1", true, &err), "");
    EXPECT_EQ(err, fallback + ": not a directory");
    fs::remove_all(fallback);
    write_file(fallback, "");
    EXPECT_EQ(ink::ctl::socket_path(":1", false, &err), "");
    EXPECT_EQ(err, fallback + ": not a directory");
    fs::remove_all(fallback);
    if (getuid() == 0) {
        ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
        ASSERT_EQ(chown(fallback.c_str(), 65534, 65534), 0);
        EXPECT_EQ(ink::ctl::socket_path(":1", true, &err), "");
        EXPECT_EQ(err, fallback + ": belongs to another user");
        fs::remove_all(fallback);
    }

    // A socket name has room for 107 characters.
    std::string deep = rt + "/" + std::string(120 - rt.size(), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    env.set("XDG_RUNTIME_DIR", deep);
    EXPECT_EQ(ink::ctl::socket_path(":1", true, &err), "");
    EXPECT_EQ(err, deep + "/vexor-driver/tray-_1: too long for a socket name");
    fs::remove_all(rt);
}

// inkctl's Screen commands on one X screen of two monitors (an 800x600 panel,
// the primary, and a 640x480 projector right of it).
TEST(CtlScreenTest, ListsAndChoosesTheMonitor) {
    if (!xephyr_installed())
        GTEST_SKIP() << "Xephyr is not installed (apt-get install xserver-xephyr)";
    EnvFor env;
    std::string rt = make_private_dir();
    ASSERT_FALSE(rt.empty());
    env.set("XDG_RUNTIME_DIR", rt);
    reset_sandbox();
    install_program("inktray");
    install_program("inkctl");
    std::string config = in_root("/config");
    std::string choice_file = config + "/vexor-driver/screen";
    fs::remove_all(config);
    fs::create_directories(config + "/vexor-driver");
    env.set("XDG_CONFIG_HOME", config);

    XServer x;
    ASSERT_TRUE(x.start_heads({{800, 600, 0, 0}, {640, 480, 800, 0}}));
    FakeDaemon daemon;
    ASSERT_TRUE(daemon.listen());
    Process tray =
        Process::start({in_root("/usr/bin/inktray"), "--vxd-debug"}, in_root("/tray.out"));
    ASSERT_TRUE(daemon.accept());
    ASSERT_EQ(daemon.notify(0x66), 0);
    ASSERT_TRUE(tray.wait_output(" served\n", 3000ms)) << tray.output();
    auto width = [&] {
        Bytes b = daemon.screen(0xF0);
        return b.size() == 5 ? b[0] | (b[1] << 8) : -1;
    };

    // No choice: the monitor that is not the primary.
    for (auto args : {std::vector<std::string>{"screen"}, {"screen", "list"}}) {
        CtlRun r = run_ctl(args);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out,
                  "0 XINERAMA-0 800x600+0+0\n"
                  "1 XINERAMA-1 640x480+800+0 *\n"
                  "all 1440x600+0+0\n");
        EXPECT_EQ(r.err, "");
    }
    struct Case {
        std::string arg, file, list;
        int w;
    };
    for (const Case &c : {Case{"all", "all\n",
                               "0 XINERAMA-0 800x600+0+0\n1 XINERAMA-1 640x480+800+0\n"
                               "all 1440x600+0+0 *\n",
                               1440},
                          Case{"0", "XINERAMA-0\n",
                               "0 XINERAMA-0 800x600+0+0 *\n1 XINERAMA-1 640x480+800+0\n"
                               "all 1440x600+0+0\n",
                               800},
                          Case{"XINERAMA-1", "XINERAMA-1\n",
                               "0 XINERAMA-0 800x600+0+0\n1 XINERAMA-1 640x480+800+0 *\n"
                               "all 1440x600+0+0\n",
                               640}}) {
        SCOPED_TRACE(c.arg);
        EXPECT_EQ(said(run_ctl({"screen", c.arg})), (Said{0, "", ""}));
        EXPECT_EQ(read_file(choice_file).value_or("(none)"), c.file);
        // The tray takes the new choice up as one from its Screen submenu.
        EXPECT_TRUE(wait_until([&] { return daemon.poll() == 0x30; }, 2000ms)) << tray.output();
        TraySession::ticks(2);
        EXPECT_EQ(width(), c.w);
        EXPECT_EQ(run_ctl({"screen"}).out, c.list);
    }
    // Monitors that are not there: refused, the choice stays.
    for (const char *arg : {"2", "HDMI-7", "monitor"}) {
        CtlRun r = run_ctl({"screen", arg});
        EXPECT_EQ(r.code, 1) << arg;
        EXPECT_EQ(r.err, std::string("inkctl: there is no monitor ") + arg + "\n");
    }
    EXPECT_EQ(read_file(choice_file).value_or("(none)"), "XINERAMA-1\n");
    TraySession::ticks(2);
    EXPECT_EQ(daemon.poll(), 0);
    std::string out = tray.output();
    EXPECT_NE(out.find("screen chosen: all\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("CRITICAL"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    fs::remove_all(rt);
}

}  // namespace
