// inksim: runs a virtual camera unit at the suite's device node until it is
// interrupted, or until its scenario has played out with --exit-when-done.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "inksim/hid_gadget.h"
#include "inksim/simulator.h"
#include "inksim/replay.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: inksim [--scenario FILE | --replay FILE] [--node PATH | --gadget] "
        "[--exit-when-done]\n"
        "  --scenario FILE    unit settings, pen timeline and faults (see tools/README.md)\n"
        "  --replay FILE      a recorded session (/tmp/vxd_record.txt): its unit and frames\n"
        "  --node PATH        where the node appears (default: the suite's device node)\n"
        "  --gadget           a USB HID gadget on dummy_hcd instead of the FUSE node\n"
        "  --exit-when-done   unmount and exit once the timeline has run out\n");
}

// Plays a recorded session back until interrupted, or until its frames have
// all been streamed with --exit-when-done.
int replay(const inksim::SessionRecord &rec, const std::string &node, bool gadget,
           bool exit_when_done, const sigset_t &set) {
    std::printf(
        "inksim: replaying %zu frames at %d fps from %d connection(s); unit type %d "
        "version %d, %s record\n",
        rec.frames.size(), rec.rate, rec.connections, rec.hw_type, rec.hw_ver,
        rec.have_record ? "recorded" : "default");
    for (const auto &e : rec.events)
        std::printf("inksim: the tray program answered event 0x%02x after frame %zu\n", e.event,
                    e.frame);
    inksim::ReplayUnit unit(rec);
    if (gadget)
        unit.set_port(std::make_unique<inksim::GadgetPort>());
    std::string err;
    if (!unit.start(&err, node)) {
        std::fprintf(stderr, "inksim: %s\n", err.c_str());
        return 1;
    }
    std::printf("inksim: unit ready\n");
    std::fflush(stdout);
    for (;;) {
        timespec ts{0, 100000000};
        if (sigtimedwait(&set, nullptr, &ts) > 0)
            break;
        if (exit_when_done && unit.finished())
            break;
    }
    unit.stop();
    std::printf("inksim: stopped after %zu frames\n", unit.frames_sent().size());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string scenario_path, replay_path, node;
    bool exit_when_done = false, gadget = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--scenario") && i + 1 < argc) {
            scenario_path = argv[++i];
        } else if (!std::strcmp(argv[i], "--replay") && i + 1 < argc) {
            replay_path = argv[++i];
        } else if (!std::strcmp(argv[i], "--node") && i + 1 < argc) {
            node = argv[++i];
        } else if (!std::strcmp(argv[i], "--gadget")) {
            gadget = true;
        } else if (!std::strcmp(argv[i], "--exit-when-done")) {
            exit_when_done = true;
        } else {
            usage();
            return 2;
        }
    }
    if ((!replay_path.empty() && !scenario_path.empty()) || (gadget && !node.empty())) {
        usage();
        return 2;
    }
    inksim::Scenario sc;
    std::string err;
    inksim::SessionRecord rec;
    if (!replay_path.empty() && !inksim::load_session_record(replay_path, &rec, &err)) {
        std::fprintf(stderr, "inksim: %s: %s\n", replay_path.c_str(), err.c_str());
        return 2;
    }
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

    if (!replay_path.empty())
        return replay(rec, node, gadget, exit_when_done, set);

    inksim::Simulator sim(sc);
    if (gadget)
        sim.set_port(std::make_unique<inksim::GadgetPort>());
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
