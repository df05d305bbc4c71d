// The fake tray program's files as the tests and tools that run it see them:
// its log of exchanges, its event mailbox and its screen-size file, all in
// one directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace inktest {

class FakeTrayLog {
  public:
    // The files "tray.log", "event" and "size" in dir.
    explicit FakeTrayLog(std::string dir);

    // Points the environment of the programs started from now on at these
    // files (the log, the mailbox and the screen-size file).
    void export_env() const;
    std::string log_path() const { return dir_ + "/tray.log"; }
    std::string event_path() const { return dir_ + "/event"; }
    std::string size_path() const { return dir_ + "/size"; }

    // The exchanges logged so far, "D <command and payload> | T <reply>",
    // from the from-th on.
    std::vector<std::string> lines(size_t from = 0) const;
    // Their command bytes ("66", "88", ...), polls (f3) left out.
    std::vector<std::string> commands() const;
    // How often the command byte cmd ("88") was seen.
    size_t count(const std::string &cmd) const;
    // Waits until cmd has been seen at least n times.
    bool wait_count(const std::string &cmd, size_t n, std::chrono::milliseconds timeout) const;
    // Puts an event byte into the mailbox: the next poll hands it out.
    void send_event(unsigned char evt) const;

  private:
    // Reads what the log has gained since the last call. The fake tray
    // program only appends (a log that shrank was started anew), so each
    // call reads just the new whole lines, however often tests poll.
    void catch_up() const;

    std::string dir_;
    mutable std::mutex mu_;
    mutable off_t read_to_ = 0;  // past the last whole line taken
    mutable std::vector<std::string> lines_;
    mutable std::vector<std::string> commands_;
};

}  // namespace inktest
