#include "standins/fake_daemon.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "ink_paths.h"

namespace inktest {

FakeDaemon::~FakeDaemon() {
    close_channel();
    if (listen_fd_ >= 0)
        close(listen_fd_);
    unlink(ink::path::kCmdSocket);
}

bool FakeDaemon::listen() {
    unlink(ink::path::kCmdSocket);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        return false;
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, ink::path::kCmdSocket, sizeof addr.sun_path - 1);
    if (bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return false;
    return ::listen(listen_fd_, 5) == 0;
}

bool FakeDaemon::accept(std::chrono::milliseconds timeout) {
    struct pollfd p {
        listen_fd_, POLLIN, 0
    };
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    client_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_fd_ < 0)
        return false;
    // As the daemon does: the name exists only while it waits for the tray.
    unlink(ink::path::kCmdSocket);
    return true;
}

void FakeDaemon::close_channel() {
    if (client_fd_ >= 0)
        close(client_fd_);
    client_fd_ = -1;
}

bool FakeDaemon::send(const std::vector<std::uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::send(client_fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

std::vector<std::uint8_t> FakeDaemon::recv(std::size_t n, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd p {
            client_fd_, POLLIN, 0
        };
        if (::poll(&p, 1, static_cast<int>(left.count())) != 1)
            break;
        std::uint8_t buf[64];
        ssize_t r = read(client_fd_, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

bool FakeDaemon::silent_for(std::chrono::milliseconds wait) {
    return recv(1, wait).empty();
}

std::optional<int> FakeDaemon::notify(std::uint8_t cmd) {
    if (!send({cmd}))
        return std::nullopt;
    auto r = recv(1);
    if (r.size() != 1)
        return std::nullopt;
    return r[0];
}

std::optional<int> FakeDaemon::poll() {
    return notify(0xF3);
}

std::vector<std::uint8_t> FakeDaemon::screen(std::uint8_t cmd) {
    if (!send({cmd}))
        return {};
    return recv(5);
}

std::vector<std::uint8_t> FakeDaemon::calib_mode() {
    if (!send({0x11}))
        return {};
    return recv(2);
}

std::vector<std::uint8_t> FakeDaemon::le32(int v) {
    auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
            static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
}

std::optional<int> FakeDaemon::dot(int x, int y) {
    return with_values(0x22, {x, y});
}

std::optional<int> FakeDaemon::set_params(const std::vector<int> &values) {
    return with_values(0xF2, values);
}

std::optional<int> FakeDaemon::with_values(std::uint8_t cmd, const std::vector<int> &values) {
    std::vector<std::uint8_t> b{cmd};
    for (int v : values)
        for (auto c : le32(v))
            b.push_back(c);
    if (!send(b))
        return std::nullopt;
    auto r = recv(1);
    if (r.size() != 1)
        return std::nullopt;
    return r[0];
}

}  // namespace inktest
