// The whole connection bring-up against the virtual unit through the real
// relay and FUSE, split into the protocol's fixed pauses, the time spent
// waiting for the unit (the relay passes two bytes per 15 ms), and the
// daemon's own work (CPU time of its thread). Meant for a build at real
// timing (-DINK_TIME_SCALE=1) with a sandbox root; needs the right to mount.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "detect_hw.h"
#include "fmouse_cmddata.h"
#include "fmouse_connect.h"
#include "fmouse_gui.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/simulator.h"

namespace {

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Answers the bring-up's command-channel exchanges as the tray program does.
void fake_tray(int fd) {
    uint8_t c;
    while (read(fd, &c, 1) == 1) {
        uint8_t skip[kGuiParamInts * kGuiIntSize];
        if (c == GUI_CMD_SET_PARAMS) {
            size_t got = 0;
            while (got < sizeof skip) {
                ssize_t n = read(fd, skip + got, sizeof skip - got);
                if (n <= 0)
                    return;
                got += static_cast<size_t>(n);
            }
        }
        // 1024 x 768, each size followed by the status byte.
        uint8_t w[kGuiIntSize + 1] = {0x00, 0x04, 0, 0, kGuiStatusOk},
                                h[kGuiIntSize + 1] = {0x00, 0x03, 0, 0, kGuiStatusOk},
                                ok = kGuiStatusOk;
        ssize_t r = c == GUI_CMD_SCREEN_X   ? write(fd, w, sizeof w)
                    : c == GUI_CMD_SCREEN_Y ? write(fd, h, sizeof h)
                                            : write(fd, &ok, 1);
        (void)r;
    }
}

void BM_BringUp(benchmark::State &state) {
    if (ink::path::kRoot[0] != '/') {
        state.SkipWithError("needs a sandbox build (-DINK_ROOT=...)");
        return;
    }
    std::error_code ec;
    for (const char *d : {"/tmp", "/dev/usb", "/sbin", "/usr/bin/vexor-driver"})
        std::filesystem::create_directories(std::string(ink::path::kRoot) + d, ec);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    std::filesystem::remove(ink::path::kRelayProgram, ec);
    std::filesystem::create_symlink(self + "/inkrelay", ink::path::kRelayProgram, ec);
    for (const char *f : {"hw.txt", "refN.txt", "Cam.dat"})
        std::filesystem::copy_file(std::string(INK_BENCH_DATA_DIR) + "/" + f,
                                   std::string(ink::path::kDataDir) + "/" + f,
                                   std::filesystem::copy_options::overwrite_existing, ec);
    mkfifo(ink::path::kPointerFifo, 0666);
    int reader = open(ink::path::kPointerFifo, O_RDWR | O_CLOEXEC);

    inksim::Simulator sim{inksim::Scenario()};
    std::string err;
    if (!sim.start(&err)) {
        state.SkipWithError(("cannot mount the virtual unit: " + err).c_str());
        return;
    }
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    alg2guisock_client_fd = sv[0];
    std::thread tray(fake_tray, sv[1]);
    signal(SIGPIPE, SIG_IGN);
    check_hw_configfile();

    for (auto _ : state) {
        long long slept0 = ink::time::slept_us();
        double cpu0 = thread_cpu_s();
        long long t0 = ink::time::now_us();
        int r = fmouse_connecting();
        double wall = (ink::time::now_us() - t0) / 1e6;
        double pauses = (ink::time::slept_us() - slept0) / 1e6;
        double cpu = thread_cpu_s() - cpu0;
        if (r != 0)
            state.SkipWithError("bring-up failed");
        state.SetIterationTime(wall);
        state.counters["total_s"] = wall;
        state.counters["fixed_pauses_s"] = pauses;
        state.counters["unit_and_relay_s"] = wall - pauses - cpu;
        state.counters["own_cpu_ms"] = cpu * 1000;
        fmouse_disconnect();
    }
    shutdown(sv[1], SHUT_RDWR);
    tray.join();
    close(sv[0]);
    close(sv[1]);
    close(reader);
    sim.stop();
}
BENCHMARK(BM_BringUp)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
