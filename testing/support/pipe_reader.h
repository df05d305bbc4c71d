// Reads 4-byte pointer records from the pointer pipe for as long as it lives.
// It holds the pipe open for reading and writing, so the daemon's open never
// waits and a closing daemon is no end of file.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace inktest {

class PipeReader {
  public:
    using Record = std::array<uint8_t, 4>;

    // Makes the FIFO at path when it does not exist, and starts reading.
    explicit PipeReader(const std::string &path);
    ~PipeReader();
    PipeReader(const PipeReader &) = delete;
    PipeReader &operator=(const PipeReader &) = delete;

    // Every record read so far, in order.
    std::vector<Record> records();
    // How many records have been read so far.
    size_t count();
    // Waits until no record has come for quiet_ms, or until limit.
    void wait_quiet(int quiet_ms, std::chrono::milliseconds limit);

  private:
    void run();
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<Record> records_;
};

}  // namespace inktest
