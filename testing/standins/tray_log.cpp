#include "standins/tray_log.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
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

std::vector<std::string> FakeTrayLog::lines() const {
    std::vector<std::string> out;
    // Only whole lines: the fake tray program may be writing the last one
    // while it is read, and a part of it would read as another command (or
    // too short a one to parse).
    std::string text = read_file(log_path()).value_or("");
    text.erase(text.find_last_of('\n') + 1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("D ", 0) == 0)
            out.push_back(line);
    return out;
}

std::vector<std::string> FakeTrayLog::commands() const {
    std::vector<std::string> out;
    for (const auto &l : lines())
        if (l.compare(2, 2, "f3") != 0)
            out.push_back(l.substr(2, 2));
    return out;
}

size_t FakeTrayLog::count(const std::string &cmd) const {
    size_t n = 0;
    for (const auto &c : commands())
        n += c == cmd;
    return n;
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
