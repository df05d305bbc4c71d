// A stand-in for the daemon's end of the command channel.
//
// Serves the command socket the way the daemon does (unlink, bind, listen 5,
// accept, unlink the name right after the accept), then drives the tray
// program with command bytes and reads its replies. Every read has a time
// limit, so a tray that does not answer fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace inktest {

using namespace std::chrono_literals;

class FakeDaemon {
  public:
    FakeDaemon() = default;
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;
    ~FakeDaemon();

    // Creates the server socket; false on failure.
    bool listen();
    // Waits for the tray program to connect; the socket name is then removed.
    bool accept(std::chrono::milliseconds timeout = 5000ms);
    bool connected() const { return client_fd_ >= 0; }
    // Closes the connection (the daemon has ended).
    void close_channel();

    // Writes raw bytes.
    bool send(const std::vector<std::uint8_t> &bytes);
    // Reads exactly n bytes, or returns what arrived before the timeout.
    std::vector<std::uint8_t> recv(std::size_t n, std::chrono::milliseconds timeout = 3000ms);
    // True when no byte arrives within the wait.
    bool silent_for(std::chrono::milliseconds wait);

    // One-byte command with a status reply; the status, or nullopt.
    std::optional<int> notify(std::uint8_t cmd);
    // 0xF3; the event byte, or nullopt.
    std::optional<int> poll();
    // 0xF0 or 0xF1: the raw 5 reply bytes.
    std::vector<std::uint8_t> screen(std::uint8_t cmd);
    // 0x11: the raw 2 reply bytes.
    std::vector<std::uint8_t> calib_mode();
    // 0x22 with x and y; the status, or nullopt.
    std::optional<int> dot(int x, int y);
    // 0xF2 with the seven values; the status, or nullopt.
    std::optional<int> set_params(const std::vector<int> &values);

    // Little-endian bytes of a 32-bit value.
    static std::vector<std::uint8_t> le32(int v);

  private:
    // cmd with each value as le32; the status, or nullopt.
    std::optional<int> with_values(std::uint8_t cmd, const std::vector<int> &values);

    int listen_fd_ = -1;
    int client_fd_ = -1;
};

}  // namespace inktest
