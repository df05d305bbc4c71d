// inksim: runs a virtual camera unit at the suite's device node until it is
// interrupted, or until its scenario has played out with --exit-when-done.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "inksim.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: inksim [--scenario FILE] [--node PATH] [--exit-when-done]\n"
        "  --scenario FILE    unit settings, pen timeline and faults (see tools/README.md)\n"
        "  --node PATH        where the node appears (default: the suite's device node)\n"
        "  --exit-when-done   unmount and exit once the timeline has run out\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::string scenario_path, node;
    bool exit_when_done = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--scenario") && i + 1 < argc) {
            scenario_path = argv[++i];
        } else if (!std::strcmp(argv[i], "--node") && i + 1 < argc) {
            node = argv[++i];
        } else if (!std::strcmp(argv[i], "--exit-when-done")) {
            exit_when_done = true;
        } else {
            usage();
            return 2;
        }
    }
    inksim::Scenario sc;
    std::string err;
    if (!scenario_path.empty() && !inksim::load_scenario(scenario_path, &sc, &err)) {
        std::fprintf(stderr, "inksim: %s\n", err.c_str());
        return 2;
    }
    // The FUSE threads inherit this mask, so the signals come only to sigtimedwait.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    inksim::Simulator sim(sc);
    if (!sim.start(&err, node)) {
        std::fprintf(stderr, "inksim: %s\n", err.c_str());
        return 1;
    }
    std::printf("inksim: unit ready\n");
    std::fflush(stdout);
    for (;;) {
        timespec ts{0, 100000000};
        int sig = sigtimedwait(&set, nullptr, &ts);
        if (sig > 0)
            break;
        if (exit_when_done && sim.finished())
            break;
    }
    sim.stop();
    std::printf("inksim: stopped after %lld frames\n", sim.frames());
    return 0;
}
