// The daemon's fixed pauses at the timing of this build (run in the real-time
// build as well): a failed bring-up waits 1 s, each Disconnect 2 s.
#include <chrono>

#include "daemon_helpers.h"
#include "ink_time.h"

using namespace inktest;
using namespace std::chrono;

TEST_F(DaemonSandbox, FailedConnectionCyclesWithItsPauses) {
    make_node();
    Process d = start_daemon();
    // 66 handshake, 77 found, 44 bring-up failed, 66 disconnect, 77 found again.
    std::vector<steady_clock::time_point> seen;
    size_t last = 0;
    auto deadline = steady_clock::now() + seconds(15);
    while (seen.size() < 5 && steady_clock::now() < deadline) {
        auto cmds = tray_commands();
        while (last < cmds.size()) {
            seen.push_back(steady_clock::now());
            ++last;
        }
        struct timespec ts {
            0, 1000000
        };
        nanosleep(&ts, nullptr);
    }
    ASSERT_GE(seen.size(), 5u);
    auto cmds = tray_commands();
    EXPECT_EQ((std::vector<std::string>(cmds.begin(), cmds.begin() + 5)),
              (std::vector<std::string>{"66", "77", "44", "66", "77"}));
    auto ms = [](auto a, auto b) { return duration_cast<milliseconds>(b - a).count(); };
    const long scale = ink::time::kScale;
    // 44 -> 66: the 1 s pause after the failed bring-up.
    EXPECT_GE(ms(seen[2], seen[3]), 1000 / scale - 20);
    EXPECT_LE(ms(seen[2], seen[3]), 1000 / scale + 400);
    // 66 -> 77: the 2 s pause after Disconnect, then Detect finds the node.
    EXPECT_GE(ms(seen[3], seen[4]), 2000 / scale - 20);
    EXPECT_LE(ms(seen[3], seen[4]), 2000 / scale + 400);
}
