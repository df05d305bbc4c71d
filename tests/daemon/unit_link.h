// A camera unit model wired straight to the daemon's relay link, without the
// relay and FUSE: a thread plays the relay's part over the real socket, and a
// sleeping child stands in for the relay process that the link watches.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/firmware.h"

namespace inktest {

class UnitLink {
  public:
    explicit UnitLink(const inksim::UnitConfig &cfg = inksim::UnitConfig()) : fw_(cfg) {}
    ~UnitLink() { stop(); }

    // Opens the link: the daemon side accepts while the thread connects.
    bool start() {
        relay_ = fork();
        if (relay_ == 0) {
            for (;;)
                pause();
        }
        inkrelay_pid = relay_;
        thread_ = std::thread([this] { run(); });
        return fmouse_comm_buf_init() == 0;
    }

    void stop() {
        if (!thread_.joinable())
            return;
        stop_ = true;
        thread_.join();
        fmouse_comm_buf_close();
        kill(relay_, SIGKILL);
        waitpid(relay_, nullptr, 0);
        inkrelay_pid = 0;
    }

    // The relay ends: the link's liveness check sees it at the next call.
    void end_relay() {
        kill(relay_, SIGKILL);
        // Wait until it has ended, without reaping it: the link's own
        // non-blocking wait does that.
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(relay_), &info, WEXITED | WNOWAIT);
    }

    template <class F>
    auto with(F f) {
        std::lock_guard<std::mutex> lock(mu_);
        return f(fw_);
    }
    void set_pen(bool on, double u = 0, double v = 0) {
        std::lock_guard<std::mutex> lock(mu_);
        pen_ = inksim::PenSample{on, u, v};
    }

  private:
    void run() {
        int fd = -1;
        while (!stop_) {
            fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", ink::path::kRelaySocket);
            if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                break;
            close(fd);
            fd = -1;
            ink::time::sleep_ms(5);
        }
        const long frame_us = 10000 / ink::time::kScale;
        long long next_frame = ink::time::now_us();
        while (!stop_ && fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1);
            long long now = ink::time::now_us();
            std::vector<uint8_t> out;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (p.revents & POLLIN) {
                    uint8_t buf[4096];
                    ssize_t n = read(fd, buf, sizeof buf);
                    if (n <= 0)
                        break;
                    fw_.receive(buf, static_cast<size_t>(n), now);
                }
                if (now >= next_frame) {
                    fw_.frame(pen_, now);
                    next_frame = now + frame_us;
                }
                fw_.take_due(now, &out);
            }
            if (!out.empty() && write(fd, out.data(), out.size()) < 0)
                break;
        }
        if (fd >= 0)
            close(fd);
    }

    inksim::Firmware fw_;
    inksim::PenSample pen_;
    std::mutex mu_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    pid_t relay_ = -1;
};

}  // namespace inktest
