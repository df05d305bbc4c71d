// inkfulldemo: the whole suite on an X display, driven by a virtual user
// (demo.h says what it does).
//
//   inkfulldemo --scenario FILE --out DIR [--xvfb] [--monitors 1|2 [--choice LINE]]
//
// Uses $DISPLAY when it can be opened (and --xvfb is not given), otherwise
// starts a private Xvfb. --monitors 2: a private display of two monitors, a
// laptop panel (primary) and the projector right of it, which the camera
// sees; --choice writes the user's monitor choice first ("all": the whole
// desktop, the projector then showing all of it). Without a system tray on
// the display it serves as a minimal one. Ends on its own; SIGINT or SIGTERM
// end it early, and every process it started ends with it.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "demo.h"

namespace {

void on_signal(int) {
    g_stop = true;
}

constexpr const char *kUsage =
    "usage: inkfulldemo --scenario FILE --out DIR [--xvfb] [--monitors 1|2 [--choice LINE]]\n";

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--scenario" && i + 1 < argc)
            o.scenario = argv[++i];
        else if (a == "--out" && i + 1 < argc)
            o.out = argv[++i];
        else if (a == "--xvfb")
            o.xvfb = true;
        else if (a == "--monitors" && i + 1 < argc &&
                 (std::strcmp(argv[i + 1], "1") == 0 || std::strcmp(argv[i + 1], "2") == 0))
            o.monitors = std::atoi(argv[++i]);
        else if (a == "--choice" && i + 1 < argc)
            o.choice = argv[++i];
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    if (o.scenario.empty() || o.out.empty() || (!o.choice.empty() && o.monitors != 2)) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    // The tray program and inkpointer read the monitor choice from a config
    // home of the demo's own, never the user's.
    std::string config = o.out + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!o.choice.empty()) {
        mkdir(config.c_str(), 0700);
        mkdir((config + "/vexor-driver").c_str(), 0700);
        std::ofstream(config + "/vexor-driver/screen") << o.choice << "\n";
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mkdir(o.out.c_str(), 0755);
    Demo demo(o);
    int rc = demo.run();
    demo.cleanup();
    return rc;
}
