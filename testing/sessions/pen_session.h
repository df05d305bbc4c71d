// An end-to-end pen session in the sandbox: the real inkd and inkrelay, the
// virtual camera unit through FUSE, the fake tray program, and a reader on the
// pointer pipe.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ink_time.h"
#include "inksim/pen_path.h"
#include "inksim/simulator.h"
#include "standins/tray_log.h"
#include "support/pipe_reader.h"
#include "support/process.h"
#include "support/sandbox.h"

// A pointer record as the pipe carries it.
using PointerBytes = std::array<uint8_t, 4>;

namespace inktest {

// --- Faults the end-to-end matrices inject.

enum class Fault { None, Unplug, Silence, Garbage, Refuse, KillRelay, KillTray, KillDaemon };

// In the order of Fault.
inline const char *fault_name(Fault f) {
    static const char *const kNames[] = {"none",   "unplug",    "silence",  "garbage",
                                         "refuse", "killrelay", "killtray", "killdaemon"};
    static_assert(std::size(kNames) == static_cast<size_t>(Fault::KillDaemon) + 1);
    return kNames[static_cast<int>(f)];
}

inline int rec_x(const PointerBytes &r) {
    return ((r[1] >> 4) << 8) | r[2];
}
inline int rec_y(const PointerBytes &r) {
    return ((r[1] & 0x0F) << 8) | r[3];
}
// How often the button of bit goes down in the records.
inline size_t presses(const std::vector<PointerBytes> &recs, uint8_t bit) {
    size_t n = 0;
    bool down = false;
    for (const auto &r : recs) {
        bool now = (r[0] & bit) != 0;
        n += now && !down;
        down = now;
    }
    return n;
}
// The records one a line, "bb x y", for failure messages.
inline std::string dump(const std::vector<PointerBytes> &recs) {
    std::string s;
    for (const auto &r : recs) {
        char b[40];
        std::snprintf(b, sizeof b, "%02x %d %d\n", r[0], rec_x(r), rec_y(r));
        s += b;
    }
    return s;
}

class PenSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = why_no_virtual_unit(); !why.empty())
            GTEST_SKIP() << why;
        reset_sandbox();
        log_dir_ = in_root("/log");
        std::system(("rm -rf '" + log_dir_ + "' && mkdir -p '" + log_dir_ + "'").c_str());
        install_program("inkd");
        install_program("inkrelay");
        install_program("inkwake");
        install_program("inktray", "inkfaketray");
        tray_ = std::make_unique<FakeTrayLog>(log_dir_);
        tray_->export_env();
        pipe_ = std::make_unique<PipeReader>(in_root("/sbin/fmousefifo"));
    }
    void TearDown() override {
        daemon_ = Process();
        // A tray program or relay of a killed daemon is nobody's child here.
        for (pid_t p : strays_)
            if (pid_alive(p))
                kill(p, SIGKILL);
        // The relay ends by itself when the daemon's socket closes.
        if (sim_)
            sim_->stop();
        sim_.reset();
        pipe_.reset();
    }

    // Starts the unit with this scenario text, then the daemon; with
    // `held`, the scenario waits until sim_->hold_steps(false).
    void start(const std::string &scenario, bool held = false) {
        inksim::Scenario sc;
        std::string err;
        ASSERT_TRUE(inksim::parse_scenario(scenario, &sc, &err)) << err;
        scenario_ = sc;
        sim_ = std::make_unique<inksim::Simulator>(sc);
        if (auto port = make_port())
            sim_->set_port(std::move(port));
        sim_->hold_steps(held);
        ASSERT_TRUE(sim_->start(&err)) << err;
        daemon_ = Process::start({in_root("/usr/bin/inkd"), "--vxd-debug"}, log_dir_ + "/inkd.out");
    }

    // The unit's port: the FUSE node unless a session says otherwise.
    virtual std::unique_ptr<inksim::UnitPort> make_port() { return nullptr; }

    // The same with the scenario file `name` of testing/scenarios, after the
    // unit settings given.
    void start_scenario(const std::string &name, const std::string &settings = "") {
        auto text = read_file(scenario_path(name));
        ASSERT_TRUE(text.has_value()) << "no scenario file " << scenario_path(name);
        start(settings + *text);
    }

    // The fake tray program's exchanges and command bytes (FakeTrayLog).
    std::vector<std::string> tray_lines(size_t from = 0) const { return tray_->lines(from); }
    std::vector<std::string> tray_commands() const { return tray_->commands(); }
    size_t count_cmd(const std::string &c) const { return tray_->count(c); }
    bool wait_cmd_count(const std::string &c, size_t n, std::chrono::milliseconds t) const {
        return tray_->wait_count(c, n, t);
    }
    void send_event(unsigned char evt) { tray_->send_event(evt); }
    std::string unit_commands() {
        std::string s;
        for (const auto &c : sim_->commands())
            s += static_cast<char>(c.cmd);
        return s;
    }

    // Waits until the unit has received `cmd` at least n times.
    bool wait_unit_command(char cmd, size_t n, std::chrono::milliseconds t) {
        return wait_until(
            [&] {
                size_t k = 0;
                for (const auto &c : sim_->commands())
                    k += c.cmd == static_cast<uint8_t>(cmd);
                return k >= n;
            },
            t);
    }
    // The daemon's child whose command line holds name, or -1.
    pid_t child_named(const char *name) {
        for (pid_t c : children_of(daemon_.pid())) {
            auto cmd = read_file("/proc/" + std::to_string(c) + "/cmdline").value_or("");
            if (cmd.find(name) != std::string::npos)
                return c;
        }
        return -1;
    }

    // Kills pid (the daemon, or its tray program, whose end ends the daemon),
    // waits until the daemon and everything it had started are gone, then
    // starts a new daemon.
    void kill_then_restart(pid_t pid) {
        strays_ = descendants_of(daemon_.pid());
        kill(pid, SIGKILL);
        ASSERT_TRUE(wait_until([&] { return !daemon_.running(); }, std::chrono::seconds(10)))
            << daemon_.output();
        for (pid_t p : strays_)
            EXPECT_TRUE(wait_until([&] { return !pid_alive(p); }, std::chrono::seconds(10)))
                << "process " << p << " of the ended daemon still runs";
        ++restarts_;
        daemon_ = Process::start({in_root("/usr/bin/inkd"), "--vxd-debug"},
                                 log_dir_ + "/inkd" + std::to_string(restarts_) + ".out");
    }

    // Strikes the fault now. A refusal is armed by the caller, before the
    // unit answers the command it concerns. A killed tray program or daemon
    // ends the daemon; a new one is started, as the next login would.
    void strike(Fault f) {
        const long long now = ink::time::now_us();
        switch (f) {
            case Fault::None:
            case Fault::Refuse:
                break;
            case Fault::Unplug:
                sim_->unplug();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                sim_->plug();
                break;
            case Fault::Silence:
                // Longer than the daemon's read budget.
                sim_->with_firmware([&](inksim::Firmware &fw) {
                    fw.set_silence_until(now + ink::time::budget_us(8000000));
                });
                break;
            case Fault::Garbage:
                sim_->with_firmware([&](inksim::Firmware &fw) { fw.add_garbage(40, now); });
                break;
            case Fault::KillRelay:
                kill(child_named("inkrelay"), SIGKILL);
                break;
            case Fault::KillTray:
                kill_then_restart(child_named("inktray"));
                break;
            case Fault::KillDaemon:
                kill_then_restart(daemon_.pid());
                break;
        }
    }

    // What a soak compares its end with: the running daemon's descriptors and
    // resident memory, and when it began.
    struct SoakStart {
        std::multiset<std::string> fds;
        long rss_kib;
        std::chrono::steady_clock::time_point t;
    };
    SoakStart soak_start() {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return {descriptors_of(daemon_.pid()), rss_kib(daemon_.pid()),
                std::chrono::steady_clock::now()};
    }
    // At the end: the same descriptors, the tray program and one relay, and
    // memory grown by a few pages at most (not under AddressSanitizer, whose
    // quarantine holds freed memory). Prints the figures after what.
    void check_soak_end(const SoakStart &s, const std::string &what) {
        auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.t).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long rss = rss_kib(daemon_.pid());
        auto fds = descriptors_of(daemon_.pid());
        EXPECT_EQ(fds, s.fds) << describe(fds) << " against " << describe(s.fds);
        EXPECT_EQ(children_of(daemon_.pid()).size(), 2u);
#ifndef __SANITIZE_ADDRESS__
        EXPECT_LE(rss - s.rss_kib, 512) << s.rss_kib << " KiB before, " << rss << " KiB after";
#endif
        std::printf("%s in %.1f s; %zu descriptors (%s); RSS %ld -> %ld KiB\n", what.c_str(), secs,
                    fds.size(), describe(fds).c_str(), s.rss_kib, rss);
    }

    // The daemon's descriptors, its output file named alike for every run.
    std::multiset<std::string> daemon_descriptors() {
        std::multiset<std::string> out;
        for (const auto &d : descriptors_of(daemon_.pid()))
            out.insert(d.rfind(log_dir_ + "/inkd", 0) == 0 ? "daemon output" : d);
        return out;
    }

    // Checks the records against the pen the scenario played: every record
    // with the left button held lies within tolerance pixels of its strokes.
    // The expectation is the scenario's own path, never a computation by the
    // code under test. Returns how many records held the button.
    size_t expect_on_pen(const std::vector<PointerBytes> &recs, double tolerance) {
        const auto pen = inksim::pen_strokes(scenario_.steps);
        size_t held = 0;
        for (const auto &r : recs) {
            if ((r[0] & 0x04) == 0)
                continue;
            ++held;
            EXPECT_LT(inksim::dist_to_pen(pen, rec_x(r), rec_y(r)), tolerance)
                << rec_x(r) << "," << rec_y(r) << " is off the pen's path";
        }
        return held;
    }

    std::string log_dir_;
    std::unique_ptr<FakeTrayLog> tray_;
    std::unique_ptr<PipeReader> pipe_;
    inksim::Scenario scenario_;  // what the unit plays
    std::unique_ptr<inksim::Simulator> sim_;
    Process daemon_;
    std::vector<pid_t> strays_;  // what a killed daemon had started
    int restarts_ = 0;
};

}  // namespace inktest
