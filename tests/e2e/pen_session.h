// An end-to-end pen session in the sandbox: the real inkd and inkrelay, the
// virtual camera unit through FUSE, the fake tray program, and a reader on the
// pointer pipe.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NyxCalLib.h"
#include "click_simulator.h"
#include "ink_time.h"
#include "inksim.h"
#include "sandbox.h"

namespace inktest {

// Reads 4-byte pointer records from the pipe for as long as it lives. It
// holds the pipe open for reading and writing, so the daemon's open never
// waits and a closing daemon is no end of file.
class PipeReader {
  public:
    explicit PipeReader(const std::string &path) {
        mkfifo(path.c_str(), 0666);
        fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
        thread_ = std::thread([this] { run(); });
    }
    ~PipeReader() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::vector<PointerBytes> records() {
        std::lock_guard<std::mutex> l(mu_);
        return records_;
    }
    // Waits until no record has come for quiet_ms.
    void wait_quiet(int quiet_ms, std::chrono::milliseconds limit) {
        size_t last = SIZE_MAX;
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            size_t n = records().size();
            if (n == last)
                return;
            last = n;
            std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
        }
    }

  private:
    void run() {
        std::vector<uint8_t> pending;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buf[256];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                continue;
            pending.insert(pending.end(), buf, buf + n);
            std::lock_guard<std::mutex> l(mu_);
            while (pending.size() >= 4) {
                records_.push_back({pending[0], pending[1], pending[2], pending[3]});
                pending.erase(pending.begin(), pending.begin() + 4);
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<PointerBytes> records_;
};

// --- What a process holds, read from /proc.

inline std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    auto s =
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::istringstream in(s.value_or(""));
    pid_t c;
    while (in >> c)
        out.push_back(c);
    return out;
}

// What the daemon's descriptors point to ("socket:[...]" reduced to "socket").
inline std::multiset<std::string> descriptors_of(pid_t pid) {
    std::multiset<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        std::string t = target;
        if (t.rfind("socket:", 0) == 0)
            t = "socket";
        else if (t.rfind("pipe:", 0) == 0)
            t = "pipe";
        out.insert(t);
    }
    closedir(d);
    return out;
}

inline std::string describe(const std::multiset<std::string> &s) {
    std::string out;
    for (const auto &x : s)
        out += x + " ";
    return out;
}

// Every process below pid, pid left out.
inline std::vector<pid_t> descendants_of(pid_t pid) {
    std::vector<pid_t> out;
    for (pid_t c : children_of(pid)) {
        out.push_back(c);
        for (pid_t g : descendants_of(c))
            out.push_back(g);
    }
    return out;
}

inline long rss_kib(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status").value_or(""));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// --- Faults the end-to-end matrices inject.

enum class Fault { None, Unplug, Silence, Garbage, Refuse, KillRelay, KillTray, KillDaemon };

inline const char *fault_name(Fault f) {
    switch (f) {
        case Fault::None:
            return "none";
        case Fault::Unplug:
            return "unplug";
        case Fault::Silence:
            return "silence";
        case Fault::Garbage:
            return "garbage";
        case Fault::Refuse:
            return "refuse";
        case Fault::KillRelay:
            return "killrelay";
        case Fault::KillTray:
            return "killtray";
        case Fault::KillDaemon:
            return "killdaemon";
    }
    return "?";
}

inline int rec_x(const PointerBytes &r) {
    return ((r[1] >> 4) << 8) | r[2];
}
inline int rec_y(const PointerBytes &r) {
    return ((r[1] & 0x0F) << 8) | r[3];
}

class PenSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sandbox_available())
            GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT)";
        int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            GTEST_SKIP() << "/dev/fuse cannot be opened: FUSE tests skipped";
        close(fd);
        reset_sandbox();
        log_dir_ = in_root("/log");
        std::system(("rm -rf '" + log_dir_ + "' && mkdir -p '" + log_dir_ + "'").c_str());
        install_program("inkd");
        install_program("inkrelay");
        install_program("inkwake");
        install_program("inktray", "inkfaketray");
        setenv("INKFAKETRAY_LOG", (log_dir_ + "/tray.log").c_str(), 1);
        setenv("INKFAKETRAY_EVENT", (log_dir_ + "/event").c_str(), 1);
        setenv("INKFAKETRAY_SIZE_FILE", (log_dir_ + "/size").c_str(), 1);
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

    // Starts the unit with this scenario text, then the daemon.
    void start(const std::string &scenario) {
        inksim::Scenario sc;
        std::string err;
        ASSERT_TRUE(inksim::parse_scenario(scenario, &sc, &err)) << err;
        sim_ = std::make_unique<inksim::Simulator>(sc);
        ASSERT_TRUE(sim_->start(&err)) << err;
        daemon_ = Process::start({in_root("/usr/bin/inkd"), "--vxd-debug"}, log_dir_ + "/inkd.out");
    }

    std::vector<std::string> tray_lines() const {
        std::vector<std::string> out;
        std::istringstream in(read_file(log_dir_ + "/tray.log").value_or(""));
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("D ", 0) == 0)
                out.push_back(line);
        return out;
    }
    // Command bytes the tray program has seen, polls left out.
    std::vector<std::string> tray_commands() const {
        std::vector<std::string> out;
        for (const auto &l : tray_lines())
            if (l.compare(2, 2, "f3") != 0)
                out.push_back(l.substr(2, 2));
        return out;
    }
    size_t count_cmd(const std::string &c) const {
        size_t n = 0;
        for (const auto &x : tray_commands())
            n += x == c;
        return n;
    }
    bool wait_cmd_count(const std::string &c, size_t n, std::chrono::milliseconds t) const {
        return wait_until([&] { return count_cmd(c) >= n; }, t);
    }
    void send_event(unsigned char evt) {
        char b[8];
        std::snprintf(b, sizeof b, "%02x\n", evt);
        write_file(log_dir_ + "/event.tmp", b);
        rename((log_dir_ + "/event.tmp").c_str(), (log_dir_ + "/event").c_str());
    }
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
                    fw.set_silence_until(now + ink::time::scaled_us(8000000));
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

    // What the daemon should have written for the frames the unit streamed:
    // each spot decoded with a model built here from the unit's record, then
    // the click logic's reference run.
    std::vector<PointerBytes> expected_records(int width, int height, int hw_type) {
        auto rec = std::array<uint8_t, 256>{};
        sim_->with_firmware([&](inksim::Firmware &fw) { rec = fw.record(); });
        double ul[49] = {}, vl[49] = {};
        int rx[8], ry[8];
        if (!DecCAL(rec.data(), ul, vl))
            return {};
        Calib_Init(RefNx, RefNy, sideSpace, width, height, hw_type, rx, ry);
        Calib_InitUV(ul, vl);
        std::vector<PenFrame> frames;
        for (const auto &f : sim_->frames_sent()) {
            if (f.spot && DecData_Run(f.record.data()))
                frames.push_back({1, SPOT.x, SPOT.y});
            else
                frames.push_back({0, 0, 0});
        }
        return fmouse_click_simulate(frames.data(), frames.size());
    }

    std::string log_dir_;
    std::unique_ptr<PipeReader> pipe_;
    std::unique_ptr<inksim::Simulator> sim_;
    Process daemon_;
    std::vector<pid_t> strays_;  // what a killed daemon had started
    int restarts_ = 0;
};

}  // namespace inktest
