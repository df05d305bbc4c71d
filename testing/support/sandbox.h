// The sandbox root of this build, and the small file and waiting helpers
// of the tests and tools.
//
// Process-level tests run the suite's real programs inside INK_ROOT (a
// compile-time setting of the build). They share that one root, so CTest runs
// them one at a time.
#pragma once

#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace inktest {

// True when this build has a sandbox root (process tests skip otherwise).
bool sandbox_available();
// Why a test cannot mount the virtual camera unit here: no sandbox root in
// this build, or no /dev/fuse to open. Empty when it can:
//   if (auto why = why_no_virtual_unit(); !why.empty())
//       GTEST_SKIP() << why;
std::string why_no_virtual_unit();
// The sandbox root, e.g. "/tmp/inkroot-1a2b3c4d".
std::string root();
// A path inside the sandbox: root() + p (p starts with '/').
std::string in_root(const std::string &p);
// Directory holding the built programs and tools.
std::string bin_dir();
// The scenario file `name` of testing/scenarios.
std::string scenario_path(const std::string &name);

// Empties the sandbox and lays out its fixed directories (tmp, dev/usb, sbin,
// usr/bin/vexor-driver, usr/share/...), with the default data files installed.
void reset_sandbox();
// Makes <root>/usr/bin/<name> run the built program bin_dir()/<from>.
void install_program(const std::string &name, const std::string &from = "");

void write_file(const std::string &path, const std::string &content);
std::optional<std::string> read_file(const std::string &path);
bool exists(const std::string &path);

// Polls cond every 5 ms until it holds or the timeout passes.
template <class F>
bool wait_until(F cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts {
            0, 5000000
        };
        nanosleep(&ts, nullptr);
    }
}

// Number of occurrences of needle in hay.
size_t count_of(const std::string &hay, const std::string &needle);

}  // namespace inktest
