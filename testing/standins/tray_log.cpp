#include "standins/tray_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "standins/fake_tray.h"
#include "support/sandbox.h"

namespace inktest {

FakeTrayLog::FakeTrayLog(std::string dir) : dir_(std::move(dir)) {}

void FakeTrayLog::export_env() const {
    setenv(kFakeTrayLogEnv, log_path().c_str(), 1);
    setenv(kFakeTrayEventEnv, event_path().c_str(), 1);
    setenv(kFakeTraySizeFileEnv, size_path().c_str(), 1);
}

void FakeTrayLog::catch_up() const {
    int fd = open(log_path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size < read_to_) {
        read_to_ = 0;
        lines_.clear();
        commands_.clear();
    }
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, read_to_ + static_cast<off_t>(text.size()))) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    // Only whole lines: the fake tray program may be writing the last one
    // while it is read, and a part of it would read as another command (or
    // too short a one to parse).
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        if (text.compare(pos, 2, "D ") != 0)
            continue;
        lines_.push_back(text.substr(pos, nl - pos));
        if (nl - pos >= 4 && text.compare(pos + 2, 2, "f3") != 0)
            commands_.push_back(text.substr(pos + 2, 2));
    }
    read_to_ += static_cast<off_t>(pos);
}

std::vector<std::string> FakeTrayLog::lines(size_t from) const {
    std::lock_guard<std::mutex> l(mu_);
    catch_up();
    if (from >= lines_.size())
        return {};
    return std::vector<std::string>(lines_.begin() + static_cast<long>(from), lines_.end());
}

std::vector<std::string> FakeTrayLog::commands() const {
    std::lock_guard<std::mutex> l(mu_);
    catch_up();
    return commands_;
}

size_t FakeTrayLog::count(const std::string &cmd) const {
    std::lock_guard<std::mutex> l(mu_);
    catch_up();
    return static_cast<size_t>(std::count(commands_.begin(), commands_.end(), cmd));
}

bool FakeTrayLog::wait_count(const std::string &cmd, size_t n,
                             std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count(cmd) >= n; }, timeout);
}

void FakeTrayLog::send_event(unsigned char evt) const {
    char b[8];
    std::snprintf(b, sizeof b, "%02x\n", evt);
    std::string tmp = dir_ + "/event.tmp";
    write_file(tmp, b);
    std::rename(tmp.c_str(), event_path().c_str());
}

}  // namespace inktest
