// inkrelay through the virtual unit's FUSE node: how many input reports per
// second it carries to the daemon's socket, and how long one report takes from
// the unit model to the socket. Needs a sandbox build (-DINK_ROOT=...) and the
// right to mount FUSE; skips otherwise.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/simulator.h"

namespace {

// One running relay between a started unit and a listening test socket.
struct Rig {
    std::unique_ptr<inksim::Simulator> sim;
    pid_t relay = -1;
    int lfd = -1, cfd = -1;
    std::string error;

    bool up() {
        if (ink::path::kRoot[0] != '/')
            return fail("needs a sandbox build (-DINK_ROOT=...)");
        std::error_code ec;
        std::filesystem::create_directories(std::string(ink::path::kRoot) + "/dev/usb", ec);
        std::filesystem::create_directories(std::string(ink::path::kRoot) + "/tmp", ec);
        inksim::Scenario sc;
        sim = std::make_unique<inksim::Simulator>(sc);
        if (!sim->start(&error))
            return fail("cannot mount the virtual unit: " + error);
        unlink(ink::path::kRelaySocket);
        lfd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, ink::path::kRelaySocket, sizeof a.sun_path - 1);
        if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 5) != 0)
            return fail("cannot listen on the relay socket");
        std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
        std::string prog = self + "/inkrelay";
        relay = fork();
        if (relay == 0) {
            execl(prog.c_str(), prog.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return fail("the relay did not connect");
        cfd = accept(lfd, nullptr, nullptr);
        return cfd >= 0 || fail("accept failed");
    }
    bool fail(const std::string &e) {
        error = e;
        return false;
    }
    // Reads exactly n bytes (or gives up after 2 s).
    bool take(size_t n) {
        uint8_t buf[8192];
        while (n > 0) {
            pollfd p{cfd, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1)
                return false;
            ssize_t r = recv(cfd, buf, std::min(n, sizeof buf), 0);
            if (r <= 0)
                return false;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    ~Rig() {
        if (relay > 0) {
            kill(relay, SIGKILL);
            int st;
            waitpid(relay, &st, 0);
        }
        if (cfd >= 0)
            close(cfd);
        if (lfd >= 0)
            close(lfd);
        if (sim)
            sim->stop();
    }
};

void BM_RelayReportsPerSecond(benchmark::State &state) {
    Rig rig;
    if (!rig.up()) {
        state.SkipWithError(rig.error.c_str());
        return;
    }
    // Batches that fit the node's per-open queue (2048 events, 256 reports).
    const int batch = 128;
    const inksim::Report full{1, 2, 3, 4, 5, 6, 6, 0};
    long reports = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            rig.sim->inject_report(full);
        if (!rig.take(batch * 6)) {
            state.SkipWithError("reports lost");
            return;
        }
        reports += batch;
    }
    state.counters["reports_per_s"] =
        benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RelayReportsPerSecond)->UseRealTime()->MinTime(2.0);

void BM_RelayReportLatency(benchmark::State &state) {
    Rig rig;
    if (!rig.up()) {
        state.SkipWithError(rig.error.c_str());
        return;
    }
    inksim::Report one;
    hid_input_pack(&kFrameNoSpot, 1, one.data());
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        rig.sim->inject_report(one);
        if (!rig.take(1)) {
            state.SkipWithError("report lost");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}
BENCHMARK(BM_RelayReportLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
