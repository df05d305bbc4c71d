// A stand-in for the daemon's end of the relay link in tests: a UNIX stream
// server at the suite's relay socket path, with time-limited reads.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "ink_paths.h"
#include "ink_time.h"

namespace inktest {

class LinkServer {
  public:
    ~LinkServer() { close_all(); }
    bool listen() {
        unlink(ink::path::kRelaySocket);
        lfd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, ink::path::kRelaySocket, sizeof a.sun_path - 1);
        return lfd_ >= 0 && bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
               ::listen(lfd_, 5) == 0;
    }
    // True when a connection is waiting (without accepting it).
    bool pending(int ms) {
        pollfd p{lfd_, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }
    bool accept(int ms) {
        if (!pending(ms))
            return false;
        cfd_ = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
        return cfd_ >= 0;
    }
    bool send(const std::vector<uint8_t> &b) {
        return ::send(cfd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Reads exactly n bytes, or what came within ms.
    std::vector<uint8_t> read(size_t n, int ms) {
        std::vector<uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0)
                break;
            pollfd p{cfd_, POLLIN, 0};
            if (poll(&p, 1, left) != 1)
                break;
            uint8_t buf[4096];
            ssize_t r = recv(cfd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0)
                break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // Discards whatever is pending.
    void drain() {
        uint8_t buf[4096];
        while (recv(cfd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }
    void close_client() {
        if (cfd_ >= 0)
            close(cfd_);
        cfd_ = -1;
    }
    void close_all() {
        close_client();
        if (lfd_ >= 0)
            close(lfd_);
        lfd_ = -1;
    }
    int client() const { return cfd_; }

  private:
    int lfd_ = -1;
    int cfd_ = -1;
};

}  // namespace inktest
