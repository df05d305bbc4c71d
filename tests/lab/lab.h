// What the kernel lab's cases share. They run in the lab's guest (QEMU with
// Debian's stock kernel, tools/kernel-lab.sh test), as root, on the suite laid
// out there as installed, with the real udevd running; anywhere else they
// skip.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include "pointer_record.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace lab {

using namespace std::chrono_literals;
using inktest::exists;
using inktest::Process;
using inktest::read_file;
using inktest::wait_until;

// The suite's pointer pipe in the guest.
inline const std::string kFifo = "/sbin/fmousefifo";

// Outside the lab's guest the cases skip; its wiring sets INK_LAB_GUEST once
// the suite is installed and udevd runs.
#define LAB_SKIP_OUTSIDE()             \
    if (!std::getenv("INK_LAB_GUEST")) \
    GTEST_SKIP() << "not in the kernel lab's guest (tools/kernel-lab.sh test)"

// A directory of its own for the running case's logs, under /tmp/lab (the
// wiring hands that back to the host).
inline std::string case_dir() {
    auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string d = std::string("/tmp/lab/") + t->test_suite_name() + "." + t->name();
    std::system(("rm -rf '" + d + "' && mkdir -p '" + d + "'").c_str());
    return d;
}

// A shell command's output (standard error with it) and exit status.
inline std::string sh(const std::string &cmd, int *status = nullptr) {
    std::string out;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char b[4096];
        for (size_t n; (n = std::fread(b, 1, sizeof b, p)) > 0;)
            out.append(b, n);
        int st = pclose(p);
        if (status)
            *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return out;
}

inline bool has(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

// The event node of inkpointer's device ("Vexor Pen"), empty while there is
// none.
inline std::string pen_node() {
    return sh(
        "for d in /sys/class/input/event*; do [ \"$(cat $d/device/name)\" = 'Vexor Pen' ] "
        "&& echo /dev/input/${d##*/}; done 2>/dev/null | head -n 1 | tr -d '\\n'");
}

// The writing end of the pointer pipe, as the daemon holds it: records go to
// whatever pointer consumer reads the pipe.
inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class PointerPipe {
  public:
    // Waits until a reader has the pipe open.
    bool open(std::chrono::milliseconds t = 20s) {
        return wait_until([&] { return (fd_ = ::open(kFifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                          t);
    }
    ~PointerPipe() {
        if (fd_ >= 0)
            close(fd_);
    }
    // One record: the left button (tip) or the right one, at x, y.
    void rec(int x, int y, bool left = true, bool right = false) {
        uint8_t b[kPointerRecordSize];
        pointer_record_encode(x, y, left, right, b);
        raw(b, sizeof b);
    }
    // The closing record.
    void end() { rec(0, 0, false); }
    // Records 50 ms apart, then the closing one (a tap: one record, as the
    // daemon writes it).
    void stroke(std::initializer_list<std::pair<int, int>> pts) {
        for (auto [x, y] : pts) {
            rec(x, y);
            pause_ms(50);
        }
        end();
    }
    // The three-tap right click as the daemon writes it: the last tap at x, y,
    // then the right button at (0, 0) and the closing record.
    void right_click(int x, int y) {
        stroke({{x, y}});
        pause_ms(100);
        rec(0, 0, false, true);
        pause_ms(50);
        end();
    }
    void raw(const uint8_t *b, size_t n) { ASSERT_EQ(write(fd_, b, n), ssize_t(n)); }

  private:
    int fd_ = -1;
};

}  // namespace lab
