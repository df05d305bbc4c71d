// inkmemdrive: drives one daemon through a bring-up, a pen session, a normal
// calibration and a second pen session against the virtual unit, then ends
// it with SIGINT, its orderly exit. tools/memcheck.sh runs the daemon under
// valgrind through it.
//
//   inkmemdrive --log DIR [--rate FPS] [--wait S] [--gadget] -- COMMAND [ARG...]
//
// --gadget: the unit as a USB HID gadget (the kernel lab, docs/TESTING.md).
//
// COMMAND (e.g. "valgrind ... ROOT/usr/bin/inkd --vxd-debug") runs with its
// output in DIR/inkd.out; the fake tray program, installed as the suite's tray
// program, must log to DIR/tray.log and take its events from DIR/event
// (INKFAKETRAY_LOG, INKFAKETRAY_EVENT). The driver reads the pointer pipe,
// watches the tray log for the calibration's targets and hands them to a
// virtual user who touches them. It prints what happened, and exits with
// COMMAND's exit status, or 3 when a step did not happen in time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_channel.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/hid_gadget.h"
#include "inksim/simulator.h"
#include "standins/tray_log.h"
#include "support/pipe_reader.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_log_dir;
pid_t g_daemon = -1;
Clock::time_point g_t0;

double elapsed() {
    return std::chrono::duration<double>(Clock::now() - g_t0).count();
}

std::mutex g_say;

void say(const std::string &what) {
    std::lock_guard<std::mutex> l(g_say);
    std::printf("  %6.1f s  %s\n", elapsed(), what.c_str());
    std::fflush(stdout);
}

// How often the virtual user begins a step again that the daemon cut short
// by losing the unit (a calibration, a pen session), as a user would.
constexpr int kAttempts = 3;

// The fake tray program's log and mailbox, in the log directory.
std::unique_ptr<inktest::FakeTrayLog> g_tray;

// A byte as the fake tray program logs it.
std::string hex(unsigned char b) {
    char t[4];
    std::snprintf(t, sizeof t, "%02x", b);
    return t;
}

// How often the fake tray program saw the command byte c.
size_t count_cmd(unsigned char c) {
    return g_tray->count(hex(c));
}

// Polls cond every 20 ms; false when the time ran out or the daemon ended.
bool wait_for(const std::function<bool()> &cond, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (cond())
            return true;
        if (kill(g_daemon, 0) != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

size_t count_unit(inksim::Simulator &sim, uint8_t c) {
    size_t n = 0;
    for (const auto &r : sim.commands())
        n += r.cmd == c;
    return n;
}

// A few strokes and taps with the pen set by hand; returns the pointer
// records they gave.
size_t pen_session(inksim::Simulator &sim, inktest::PipeReader &pipe, int rate) {
    const size_t before = pipe.count();
    const auto frame = std::chrono::microseconds(1000000 / rate);
    auto stroke = [&](double x0, double y0, double x1, double y1, int frames) {
        for (int i = 0; i <= frames; ++i) {
            sim.set_pen(std::make_pair(x0 + (x1 - x0) * i / frames, y0 + (y1 - y0) * i / frames));
            std::this_thread::sleep_for(frame);
        }
        sim.set_pen(std::nullopt);
        std::this_thread::sleep_for(frame * 30);
    };
    stroke(200, 200, 800, 560, 60);
    stroke(300, 600, 700, 150, 40);
    for (auto p : {std::make_pair(512.0, 384.0), std::make_pair(150.0, 650.0)})
        stroke(p.first, p.second, p.first, p.second, 6);
    // Let the daemon catch up with what it was sent: until no record came
    // for 0.5 s, and, while none has come at all, for 5 s (a daemon that
    // fell behind on a slow machine still has the strokes to read).
    const auto drawn = Clock::now();
    size_t last = SIZE_MAX;
    for (int i = 0; i < 100; ++i) {
        const size_t n = pipe.count();
        if (n == last && (n > before || Clock::now() - drawn >= std::chrono::seconds(5)))
            break;
        last = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return pipe.count() - before;
}

// The unit's last n commands, with their times on the driver's clock: where
// an exchange stopped, when a step did not happen in time.
void say_unit_tail(inksim::Simulator &sim, size_t n, long long t0_us) {
    const auto log = sim.commands();
    std::string out = "unit's last commands:";
    for (size_t k = log.size() > n ? log.size() - n : 0; k < log.size(); ++k) {
        char b[64];
        const int c = log[k].cmd;
        std::snprintf(b, sizeof b, " %.1f s '%c'(%zu)", (log[k].t_us - t0_us) / 1e6,
                      c >= 0x20 && c < 0x7f ? c : '?', log[k].payload.size());
        out += b;
    }
    say(out);
}

// The name of a tray command that tells a connection state, or null.
const char *state_name(const std::string &cmd) {
    const std::pair<unsigned char, const char *> states[] = {
        {GUI_CMD_DISCONNECTED, "disconnected"},    {GUI_CMD_CONNECTING, "connecting"},
        {GUI_CMD_CONNECTED, "connected"},          {GUI_CMD_CALIB_END, "calibration ended"},
        {GUI_CMD_WAIT_CLOSE, "connecting failed"},
    };
    for (const auto &st : states)
        if (cmd == hex(st.first))
            return st.second;
    return nullptr;
}

// The tray's connection states, told as they come: where the daemon lost
// the unit and brought it up again shows in the driver's own timeline.
class TrayStates {
  public:
    TrayStates() : thread_([this] { run(); }) {}
    ~TrayStates() {
        stop_ = true;
        thread_.join();
    }

  private:
    void run() {
        size_t seen = 0;
        while (!stop_) {
            const auto c = g_tray->commands();
            for (; seen < c.size(); ++seen) {
                const char *name = state_name(c[seen]);
                if (name)
                    say("tray told 0x" + c[seen] + " (" + name + ")");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The daemon's own account of its states and errors, from its output (the
// relay's included): the last lines that name a state, an error, a timeout
// or a stall, each cut short (the calibration's record dumps are long and
// tell nothing here).
void say_daemon_story(size_t max_lines) {
    std::ifstream in(g_log_dir + "/inkd.out");
    std::vector<std::string> keep;
    for (std::string line; std::getline(in, line);) {
        for (const char *k : {"main state", "Vxd is", "trun to", "Calibrate", "disconnect",
                              "unconnect", "rror", "time out", "timeout", "overflow", "stalled"})
            if (line.find(k) != std::string::npos) {
                keep.push_back(line.substr(0, 100));
                break;
            }
    }
    const size_t from = keep.size() > max_lines ? keep.size() - max_lines : 0;
    std::printf("daemon's states and errors (%zu of %zu such lines):\n", keep.size() - from,
                keep.size());
    for (size_t k = from; k < keep.size(); ++k)
        std::printf("  %s\n", keep[k].c_str());
    std::fflush(stdout);
}

// Whether the tray was told "connected" after its last "disconnected".
bool connected_again() {
    const auto c = g_tray->commands();
    const auto lost = std::find(c.rbegin(), c.rend(), hex(GUI_CMD_DISCONNECTED));
    return lost != c.rend() && std::find(c.rbegin(), lost, hex(GUI_CMD_CONNECTED)) != lost;
}

// A pen session drawn while the daemon kept the unit. When the daemon lost
// it meanwhile (nothing from the unit for 5 s, or an output report held for
// the relay's 2 s: under an emulator on a busy host the guest can stall that
// long), the loss is told with the unit's last commands, and the user draws
// again once the unit is connected anew, as a user would, a few times at
// most.
struct PenSession {
    size_t records = 0;  // of the last session drawn
    bool kept = false;   // drawn with the unit kept throughout
};

PenSession pen_session_kept(inksim::Simulator &sim, inktest::PipeReader &pipe, int rate,
                            const std::string &what, double wait_s, long long t0_us) {
    PenSession s;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const size_t lost = count_cmd(GUI_CMD_DISCONNECTED);
        s.records = pen_session(sim, pipe, rate);
        s.kept = count_cmd(GUI_CMD_DISCONNECTED) == lost;
        if (s.kept || attempt == kAttempts)
            break;
        say("the daemon lost the unit during " + what + " " + std::to_string(attempt) + " of " +
            std::to_string(kAttempts) + " (" + std::to_string(s.records) +
            " pointer records); drawing again once it is connected");
        say_unit_tail(sim, 16, t0_us);
        if (!wait_for(connected_again, wait_s))
            break;
    }
    return s;
}

// The daemon's children and what they run.
std::string children() {
    std::string out;
    for (pid_t c : inktest::children_of(g_daemon)) {
        char exe[512];
        ssize_t n = readlink(("/proc/" + std::to_string(c) + "/exe").c_str(), exe, sizeof exe - 1);
        exe[n > 0 ? n : 0] = '\0';
        out += std::string(out.empty() ? "" : ", ") + exe;
    }
    return out;
}

// One normal calibration (4 x 3 targets), from the tray's start event to its
// end: the user touches each target as the tray is told to draw it.
enum class Calibration { Stored, EndedByDaemon, NotStored, NotInTime };

Calibration calibrate(inksim::Simulator &sim, double wait_s) {
    auto user = std::make_shared<inksim::CalibUser>(inksim::CalibUserConfig{});
    const size_t tray_before = g_tray->commands().size();
    const size_t dots_before = count_cmd(GUI_CMD_CALIB_DOT);
    const size_t g_before = count_unit(sim, DEV_CMD_SAVE_BD0);
    const size_t v_before = count_unit(sim, DEV_CMD_WRITE_CAL);
    const size_t connected_before = count_cmd(GUI_CMD_CONNECTED);
    const size_t asked = count_cmd(GUI_CMD_CALIB_MODE);
    g_tray->send_event(GUI_EVT_CALIB_START);
    if (!wait_for([&] { return count_cmd(GUI_CMD_CALIB_MODE) > asked; }, wait_s)) {
        std::fprintf(stderr, "inkmemdrive: not in time: calibration start\n");
        return Calibration::NotInTime;
    }
    say("calibration asked for");
    sim.set_user(user);
    size_t seen = 0;
    const size_t targets = user->targets().size();
    // Ended by the daemon: the tray told the calibration's end (0x99, which a
    // stored calibration never sends), and later the unit connected again.
    auto ended = [&] {
        const auto c = g_tray->commands();
        const auto end = std::find(c.begin() + tray_before, c.end(), hex(GUI_CMD_CALIB_END));
        return end != c.end() && std::find(end + 1, c.end(), hex(GUI_CMD_CONNECTED)) != c.end();
    };
    auto watch = [&] {
        for (const size_t dots = count_cmd(GUI_CMD_CALIB_DOT); seen + dots_before < dots; ++seen)
            user->target_shown(static_cast<int>(seen));
        // The end: the record written, the background stored again and the
        // unit connected anew, all counted from the start of the calibration
        // (a bring-up started over before it, on a loaded machine, also
        // stores and connects).
        return ended() || (count_unit(sim, DEV_CMD_WRITE_CAL) > v_before &&
                           count_unit(sim, DEV_CMD_SAVE_BD0) >= g_before + 2 &&
                           count_cmd(GUI_CMD_CONNECTED) > connected_before);
    };
    const bool done = wait_for(watch, wait_s);
    sim.set_user(nullptr);
    if (!done) {
        std::fprintf(stderr, "inkmemdrive: not in time: calibration end\n");
        return Calibration::NotInTime;
    }
    if (ended())
        return Calibration::EndedByDaemon;
    const bool stored = count_unit(sim, DEV_CMD_WRITE_CAL) == v_before + 1;
    say("calibration: " + std::to_string(seen) + " of " + std::to_string(targets) +
        " targets touched, record " + (stored ? "stored" : "NOT stored"));
    return stored && seen == targets ? Calibration::Stored : Calibration::NotStored;
}

int usage() {
    std::fprintf(stderr,
                 "usage: inkmemdrive --log DIR [--rate FPS] [--wait S] [--gadget] -- COMMAND "
                 "[ARG...]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int rate = 50;
    double wait_s = 600;  // for any one step
    bool gadget = false;  // the unit as a USB gadget (the kernel lab)
    int i = 1;
    for (; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--log") && i + 1 < argc)
            g_log_dir = argv[++i];
        else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc)
            rate = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--gadget"))
            gadget = true;
        else if (!std::strcmp(argv[i], "--wait") && i + 1 < argc)
            wait_s = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--")) {
            ++i;
            break;
        } else
            return usage();
    }
    if (g_log_dir.empty() || i >= argc || rate < 1 || rate > 1000)
        return usage();
    signal(SIGPIPE, SIG_IGN);

    inksim::Scenario sc;
    std::string err;
    if (!inksim::parse_scenario("rate " + std::to_string(rate) + "\n", &sc, &err)) {
        std::fprintf(stderr, "inkmemdrive: %s\n", err.c_str());
        return 2;
    }
    g_tray = std::make_unique<inktest::FakeTrayLog>(g_log_dir);
    inktest::PipeReader pipe(ink::path::kPointerFifo);
    inksim::Simulator sim(sc);
    if (gadget)
        sim.set_port(std::make_unique<inksim::GadgetPort>());
    if (!sim.start(&err)) {
        std::fprintf(stderr, "inkmemdrive: %s\n", err.c_str());
        return 1;
    }
    g_t0 = Clock::now();
    const long long t0_us = ink::time::now_us();
    g_daemon = fork();
    if (g_daemon == 0) {
        int fd = open((g_log_dir + "/inkd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
        execvp(argv[i], argv + i);
        _exit(127);
    }
    say("daemon started under: " + std::string(argv[i]) + ", unit at " + std::to_string(rate) +
        " frames/s");

    TrayStates states;
    bool ok = true;
    auto step = [&](bool done, const std::string &what) {
        if (!done) {
            std::fprintf(stderr, "inkmemdrive: not in time: %s\n", what.c_str());
            ok = false;
        }
        return done;
    };

    // Bring-up: connected once.
    if (step(wait_for([] { return count_cmd(GUI_CMD_CONNECTED) >= 1; }, wait_s), "bring-up")) {
        say("brought up (tray told 0x" + hex(GUI_CMD_CONNECTED) + "); children: " + children());
        const PenSession p = pen_session_kept(sim, pipe, rate, "the pen session", wait_s, t0_us);
        say("pen session: " + std::to_string(p.records) + " pointer records");
        ok = step(p.kept && p.records > 0, "pointer records of the pen session") && ok;
    }

    // A normal calibration (4 x 3 targets): the user touches each target as
    // the tray is told to draw it. When the daemon ends the calibration
    // itself (the unit's answer came too late: under an emulator on a busy
    // host the guest can stall for seconds), the user starts it again once
    // the unit is back, as a user would, a few times at most; every such end
    // is told with the unit's last commands.
    if (ok) {
        Calibration how = Calibration::EndedByDaemon;
        for (int attempt = 1; attempt <= kAttempts && how == Calibration::EndedByDaemon;
             ++attempt) {
            how = calibrate(sim, wait_s);
            if (how == Calibration::EndedByDaemon) {
                say("the daemon ended calibration " + std::to_string(attempt) + " of " +
                    std::to_string(kAttempts) + " before its record was stored");
                say_unit_tail(sim, 16, t0_us);
            } else if (how == Calibration::Stored) {
                say("calibration stored at attempt " + std::to_string(attempt) + " of " +
                    std::to_string(kAttempts));
            }
        }
        if (how == Calibration::NotInTime)
            say_unit_tail(sim, 16, t0_us);
        ok = step(how == Calibration::Stored, "a stored calibration") && ok;
    }
    if (ok) {
        const PenSession p = pen_session_kept(
            sim, pipe, rate, "the pen session after the calibration", wait_s, t0_us);
        say("pen session after the calibration: " + std::to_string(p.records) + " pointer records");
        ok = step(p.kept && p.records > 0, "pointer records after the calibration") && ok;
    }

    // The orderly exit.
    say("SIGINT to the daemon");
    kill(g_daemon, SIGINT);
    int st = 0;
    pid_t r = 0;
    for (int k = 0; k < 6000 && (r = waitpid(g_daemon, &st, WNOHANG)) == 0; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (r == 0) {
        std::fprintf(stderr, "inkmemdrive: the daemon did not end after SIGINT\n");
        kill(g_daemon, SIGKILL);
        waitpid(g_daemon, &st, 0);
        ok = false;
    }
    sim.stop();
    int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    say("daemon ended, status " + std::to_string(code) + "; unit streamed " +
        std::to_string(sim.frames()) + " frames");
    if (!ok) {
        say_daemon_story(30);
        return 3;
    }
    return code;
}
