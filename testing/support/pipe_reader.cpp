#include "support/pipe_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace inktest {

PipeReader::PipeReader(const std::string &path) {
    mkfifo(path.c_str(), 0666);
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

PipeReader::~PipeReader() {
    stop_ = true;
    thread_.join();
    close(fd_);
}

std::vector<PipeReader::Record> PipeReader::records() {
    std::lock_guard<std::mutex> l(mu_);
    return records_;
}

size_t PipeReader::count() {
    std::lock_guard<std::mutex> l(mu_);
    return records_.size();
}

void PipeReader::wait_quiet(int quiet_ms, std::chrono::milliseconds limit) {
    size_t last = SIZE_MAX;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        size_t n = count();
        if (n == last)
            return;
        last = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
    }
}

void PipeReader::run() {
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

}  // namespace inktest
