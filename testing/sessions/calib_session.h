// The calibration session of the end-to-end tests: the real daemon, relay
// and inhibitor, the virtual unit through FUSE, the fake tray program, and a
// virtual user who touches the targets.
//
// The user learns when a target appears by watching the fake tray's log of
// dot commands (0x22), as a person watches the screen; where it stands comes
// from the grid layout for the screen size and the mode.
#pragma once

#include <signal.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <sstream>

#include "NyxCalLib.h"
#include "fmouse_device.h"
#include "ink_time.h"
#include "sessions/pen_session.h"

namespace inktest {

using namespace std::chrono_literals;

// The model reads a whole table of reference values (7 x 7), whatever the grid.
inline std::vector<double> full_table(std::vector<double> v) {
    v.resize(NYX_REF_VALUES);
    return v;
}

struct Samples {
    std::vector<double> u, v;
};

inline int le32_at(const std::string &hex, size_t at) {
    unsigned v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned>(std::stoul(hex.substr(at + 2 * i, 2), nullptr, 16));
    return static_cast<int>(v);
}

class CalibSession : public PenSession {
  protected:
    void SetUp() override {
        PenSession::SetUp();
        if (IsSkipped())
            return;
        // Stand-in for an inhibiting command of a desktop that has one: its
        // help names --inhibit; run with it, it notes its pid and runs until
        // ended.
        std::string saver = in_root("/usr/bin/gnome-screensaver-command");
        write_file(
            saver,
            "#!/bin/sh\n[ \"$1\" = --help ] && { echo '  --inhibit'; exit 0; }\necho $$ >> '" +
                log_dir_ + "/saver.pids'\nexec sleep 60\n");
        chmod(saver.c_str(), 0755);
        unsetenv("INKFAKETRAY_MODE");
    }
    void TearDown() override {
        stop_watch_ = true;
        if (watcher_.joinable())
            watcher_.join();
        PenSession::TearDown();
    }

    // Starts the unit and the daemon and waits for the first connection.
    void bring_up(const std::string &scenario) {
        start(scenario);
        ASSERT_TRUE(wait_cmd_count("88", 1, 30s)) << daemon_.output();
        sc_text_ = scenario;
    }

    // Asks for a calibration and hands the pen to the user once the daemon
    // has left the running loop.
    void calibrate(inksim::CalibUserConfig cfg) {
        // On a busy machine a touch may come and go before the daemon looks
        // (a scaled build's user reacts in 20 ms): the user touches again.
        cfg.retouch_frames = 500;
        user_ = std::make_shared<inksim::CalibUser>(cfg);
        // The user presses Escape once the screensaver is held off: a
        // calibration cancelled before the inhibitor's command is up (a slow
        // host) ends that command before it ran, and leaves it unchecked.
        user_->on_cancel([this] {
            wait_inhibiting_command(20s);
            send_event(0x20);
        });
        dots_before_ = count_cmd("22");
        g_before_ = count_unit('g');
        // Counted before the request: the daemon may ask for the mode at once.
        const size_t asked = count_cmd("11");
        send_event(0x10);
        ASSERT_TRUE(wait_cmd_count("11", asked + 1, 20s)) << daemon_.output();
        sim_->set_user(user_);
        stop_watch_ = false;
        watcher_ = std::thread([this] { watch_targets(); });
    }

    // Hands every new dot command of the tray log to the user, and the end of
    // the dots (or of the calibration, or of the connection) after them.
    void watch_targets() {
        size_t seen = 0, line = 0, skip = dots_before_;
        while (!stop_watch_) {
            auto lines = tray_lines(line);
            line += lines.size();
            for (const auto &l : lines) {
                const std::string c = l.substr(2, 2);
                if (seen > 0 && (c == "aa" || c == "99" || c == "66" || c == "88"))
                    user_->finished();
                if (l.compare(2, 2, "22") != 0)
                    continue;
                if (skip > 0) {
                    --skip;  // a dot of an earlier calibration
                    continue;
                }
                {
                    std::lock_guard<std::mutex> g(drawn_mu_);
                    drawn_.emplace_back(le32_at(l, 5), le32_at(l, 13));
                }
                user_->target_shown(static_cast<int>(seen));
                if (on_shown_)
                    on_shown_(static_cast<int>(seen));
                ++seen;
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    std::vector<std::pair<int, int>> drawn() {
        std::lock_guard<std::mutex> l(drawn_mu_);
        return drawn_;
    }

    // For failure messages: the daemon's error lines (what failed, however
    // long ago), then the end of its debug output.
    std::string output_tail() {
        std::string out = daemon_.output();
        std::string errors;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line))
            if (line.find("FMOUSE ERR") != std::string::npos ||
                line.find(" error") != std::string::npos)
                errors += line + "\n";
        return "errors:\n" + errors + "end of the output:\n" +
               (out.size() > 4000 ? out.substr(out.size() - 4000) : out);
    }

    size_t count_unit(char c) {
        size_t n = 0;
        for (const auto &r : sim_->commands())
            n += r.cmd == static_cast<uint8_t>(c);
        return n;
    }
    // The n-th command c (from 0) the unit received.
    inksim::CommandRecord unit_cmd(char c, size_t n) {
        for (const auto &r : sim_->commands())
            if (r.cmd == static_cast<uint8_t>(c) && n-- == 0)
                return r;
        return {};
    }

    // What the daemon averaged for each target: the first three frames of the
    // first run of three or more consecutive spots at that target, between
    // the calibration's open background block and the record write.
    Samples samples_taken(long long from_us, long long to_us) {
        inksim::Scenario sc;
        std::string err;
        inksim::parse_scenario(sc_text_, &sc, &err);
        inksim::CameraModel cam(sc.unit.camera);
        const auto &t = user_->targets();
        Samples s;
        auto frames = sim_->frames_sent();
        for (size_t k = 0; k < t.size(); ++k) {
            double tu, tv;
            cam.map(t[k].first, t[k].second, &tu, &tv);
            std::vector<std::pair<double, double>> run;
            for (const auto &f : frames) {
                if (f.t_us <= from_us || f.t_us >= to_us)
                    continue;
                bool here = f.spot && DecData_Raw(f.record.data()) &&
                            std::hypot(SPOT.x - tu, SPOT.y - tv) < 8.0;
                if (!here) {
                    if (run.size() >= 3)
                        break;
                    run.clear();
                    continue;
                }
                run.emplace_back(SPOT.x, SPOT.y);
            }
            bool found = run.size() >= 3;
            EXPECT_TRUE(found) << "no three frames at target " << k;
            if (!found)
                return {};
            s.u.push_back((run[0].first + run[1].first + run[2].first) / 3.0);
            s.v.push_back((run[0].second + run[1].second + run[2].second) / 3.0);
        }
        return s;
    }

    // Checks a completed calibration: the tray's exchanges, the targets, the
    // record and both background blocks the unit received. Returns the
    // samples, for the pen session that follows.
    Samples check_completed(int w, int h, int nx, int ny) {
        EXPECT_TRUE(wait_until([&] { return count_unit('g') >= g_before_ + 2; }, 30s))
            << daemon_.output();
        EXPECT_TRUE(wait_cmd_count("88", 2, 30s)) << daemon_.output();
        stop_watch_ = true;
        watcher_.join();

        // The tray: mode, screen size, one dot per target, dots done, connected.
        auto cmds = tray_commands();
        auto at = std::find(cmds.begin(), cmds.end(), "11");
        std::vector<std::string> want = {"11", "f0", "f1"};
        for (int i = 0; i < nx * ny; ++i)
            want.push_back("22");
        want.push_back("aa");
        want.push_back("88");
        EXPECT_EQ(std::vector<std::string>(at, cmds.end()), want) << output_tail();

        // The targets were drawn where the layout puts them, row by row.
        EXPECT_EQ(drawn(), user_->targets());
        EXPECT_EQ(static_cast<int>(user_->targets().size()), nx * ny);

        auto g_open = unit_cmd('g', g_before_);
        auto g_fit = unit_cmd('g', g_before_ + 1);
        auto v_cmd = unit_cmd('v', 0);
        EXPECT_EQ(v_cmd.cmd, 'v') << "the record was written";
        Samples s = samples_taken(g_open.t_us, v_cmd.t_us);
        if (s.u.empty())
            return s;

        // The record: what the core encodes for the averaged samples, sealed.
        unsigned char eu[256];
        CalcEU(nx, ny, 5, s.u.data(), s.v.data(), eu);
        eu[255] = fmouse_cal_checksum(eu);
        std::vector<uint8_t> want_rec(eu, eu + 256);
        EXPECT_EQ(v_cmd.payload, want_rec);
        sim_->with_firmware([&](inksim::Firmware &fw) {
            EXPECT_EQ(std::vector<uint8_t>(fw.record().begin(), fw.record().end()), want_rec);
        });

        // The background blocks: open at the start, fitted to the new model
        // at the end.
        int rx[8], ry[8];
        unsigned char data[1000];
        Calib_Init(nx, ny, 5, w, h, 65, rx, ry);
        int n = OpenBD0(data);
        EXPECT_EQ(g_open.payload, std::vector<uint8_t>(data, data + n));
        Calib_InitUV(full_table(s.u).data(), full_table(s.v).data());
        n = CalcBD0(data);
        EXPECT_EQ(g_fit.payload, std::vector<uint8_t>(data, data + n));
        sim_->with_firmware([&](inksim::Firmware &fw) {
            EXPECT_EQ(fw.bd0(), std::vector<uint8_t>(data, data + n));
        });
        return s;
    }

    // After a calibration: the pen touches a few points of a w x h screen,
    // and every record with the button held lands where the pen touched.
    void pen_session_through(int w, int h) {
        sim_->set_user(nullptr);
        size_t before = pipe_->records().size();
        std::this_thread::sleep_for(std::chrono::microseconds(ink::time::pause_us(300000)));
        const std::pair<double, double> points[] = {
            {w * 0.3, h * 0.3}, {w * 0.7, h * 0.4}, {w * 0.5, h * 0.8}};
        // Each touch lasts until the daemon has written its press, and the
        // next starts after its release: a stalled host cannot shorten one
        // to nothing or run two together.
        const auto since = [&] {
            auto all = pipe_->records();
            return std::vector<PointerBytes>(all.begin() + static_cast<long>(before), all.end());
        };
        for (size_t k = 0; k < std::size(points); ++k) {
            sim_->set_pen(points[k]);
            std::this_thread::sleep_for(std::chrono::microseconds(ink::time::pause_us(200000)));
            wait_until([&] { return presses(since(), 0x04) > k; }, 10s);
            sim_->set_pen(std::nullopt);
            std::this_thread::sleep_for(std::chrono::microseconds(ink::time::pause_us(400000)));
            wait_until(
                [&] {
                    auto got = since();
                    return !got.empty() && !(got.back()[0] & 0x04);
                },
                10s);
        }
        pipe_->wait_quiet(300, 10s);
        const auto got = since();
        EXPECT_EQ(presses(got, 0x04), 3u) << dump(got);
        for (const auto &r : got) {
            if (!(r[0] & 0x04))
                continue;
            double best = 1e9;
            for (const auto &p : points)
                best = std::fmin(best, std::hypot(rec_x(r) - p.first, rec_y(r) - p.second));
            EXPECT_LT(best, 8.0) << rec_x(r) << " " << rec_y(r);
        }
    }

    std::vector<uint8_t> unit_record() {
        std::vector<uint8_t> r;
        sim_->with_firmware(
            [&](inksim::Firmware &fw) { r.assign(fw.record().begin(), fw.record().end()); });
        return r;
    }

    // Waits until the inhibiting command of this calibration has started
    // (it notes its pid first thing).
    bool wait_inhibiting_command(std::chrono::milliseconds t) {
        return wait_until([&] { return !read_file(log_dir_ + "/saver.pids").value_or("").empty(); },
                          t);
    }

    // A calibration that ends at its first exchange with the unit may end
    // before the inhibitor's command is up, and the command is then ended
    // before it ran. The unit's answer to that exchange (command c) is held
    // back until the command runs, so the check that it ran and is gone again
    // always has something to check.
    void hold_answer_to(char c) {
        sim_->with_firmware(
            [c](inksim::Firmware &fw) { fw.hold_answer_to(static_cast<uint8_t>(c)); });
    }
    void release_answer_once_the_command_runs() {
        EXPECT_TRUE(wait_inhibiting_command(10s)) << "the inhibiting command did not start";
        sim_->with_firmware([](inksim::Firmware &fw) { fw.release_answer(); });
    }

    // For failure messages: what inkwake and the daemon said of the
    // inhibitor (which way inkwake inhibited, the flag file, the ends).
    std::string inhibitor_lines() {
        std::istringstream in(daemon_.output());
        std::string line, out;
        while (std::getline(in, line))
            if (line.find("inkwake") != std::string::npos ||
                line.find("inhibit") != std::string::npos ||
                line.find("calibrate process") != std::string::npos ||
                line.find("tmp pid") != std::string::npos)
                out += line + "\n";
        return out;
    }

    // The inhibitor ran during the calibration and is gone with its command.
    void check_inhibitor_gone() {
        auto pids = read_file(log_dir_ + "/saver.pids").value_or("");
        EXPECT_FALSE(pids.empty()) << "the inhibiting command ran\n" << inhibitor_lines();
        std::istringstream in(pids);
        pid_t p;
        while (in >> p)
            EXPECT_TRUE(wait_until([&] { return !pid_alive(p); }, 5s)) << "command " << p;
        EXPECT_FALSE(exists(in_root("/tmp/inkwake_flag")));
    }

    std::shared_ptr<inksim::CalibUser> user_;
    std::function<void(int)> on_shown_;  // called after the user saw target k
    std::thread watcher_;
    std::atomic<bool> stop_watch_{true};
    std::mutex drawn_mu_;
    std::vector<std::pair<int, int>> drawn_;
    size_t dots_before_ = 0, g_before_ = 0;
    std::string sc_text_;
};

inline inksim::CalibUserConfig grid(int w, int h, int nx, int ny) {
    inksim::CalibUserConfig c;
    c.screen_w = w;
    c.screen_h = h;
    c.ref_nx = nx;
    c.ref_ny = ny;
    return c;
}

inline std::string unit_cmds_from(const std::vector<inksim::CommandRecord> &log, size_t from) {
    std::string s;
    for (size_t i = from; i < log.size(); ++i)
        s += static_cast<char>(log[i].cmd);
    return s;
}

}  // namespace inktest
