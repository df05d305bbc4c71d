// The daemon's frame path in the Run state: relay link read, spot decode,
// click logic, pointer record, tray poll, all through real sockets and a real
// pipe. A fast frame source plays the relay, a fast stand-in answers the
// polls. Reports frames per second sustained, the latency from a spot
// record's arrival to its pointer record (median and 99th percentile), and the
// heap allocations made on the daemon's thread meanwhile (must be 0).
// Needs a sandbox build (-DINK_ROOT=...): it serves the relay socket.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>
#include <vector>

#include "NyxCalLib.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_gui.h"
#include "fmouse_running.h"
#include "fmouse_motion.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/firmware.h"

// Heap allocations made by threads that count them.
namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};
}  // namespace

void *operator new(size_t n) {
    if (t_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr size_t kSpotFrameSize = 1 + kSpotRecordSize;

// A frame with the spot record for camera position (u, v), as the unit sends it.
void spot_frame(double u, double v, uint8_t out[kSpotFrameSize]) {
    unsigned uw = (static_cast<unsigned>(std::lround(u * 32)) & 0xFFFF) ^ SPOT_MASK_U;
    unsigned vw = (static_cast<unsigned>(std::lround(v * 16)) & 0xFFFF) ^ SPOT_MASK_V;
    const uint8_t rec[kSpotFrameSize] = {kFrameSpot,
                                         static_cast<uint8_t>(uw >> 8),
                                         static_cast<uint8_t>(uw),
                                         static_cast<uint8_t>(vw >> 8),
                                         static_cast<uint8_t>(vw),
                                         0,
                                         0x0C,
                                         0,
                                         0xC8,
                                         1,
                                         0};
    std::memcpy(out, rec, sizeof rec);
}

struct Rig {
    pid_t relay = -1;
    int source = -1;       // the frame source's end of the relay link
    int tray_daemon = -1;  // the daemon's end of the command channel
    int tray_peer = -1;
    int pipe_rd = -1;
    std::thread tray;
    std::atomic<bool> stop{false};
    std::thread accept_thread;

    bool up(benchmark::State &state) {
        if (ink::path::kRoot[0] != '/') {
            state.SkipWithError("needs a sandbox build (-DINK_ROOT=...)");
            return false;
        }
        std::error_code ec;
        std::filesystem::create_directories(std::string(ink::path::kRoot) + "/tmp", ec);
        // The model, from a record that fits the default camera.
        auto rec = inksim::fitted_record(inksim::UnitConfig());
        if (!DecCAL(rec.data(), Ul, Vl)) {
            state.SkipWithError("record does not decode");
            return false;
        }
        Calib_Init(RefNx, RefNy, sideSpace, 1024, 768, 65, refX, refY);
        Calib_InitUV(Ul, Vl);

        relay = fork();
        if (relay == 0) {
            for (;;)
                pause();
        }
        inkrelay_pid = relay;
        std::thread conn([this] {
            for (;;) {
                int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un a{};
                a.sun_family = AF_UNIX;
                std::strncpy(a.sun_path, ink::path::kRelaySocket, sizeof a.sun_path - 1);
                if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
                    source = fd;
                    return;
                }
                close(fd);
                ink::time::sleep_ms(2);
            }
        });
        if (fmouse_comm_buf_init() != 0) {
            state.SkipWithError("relay link did not open");
            conn.join();
            return false;
        }
        conn.join();

        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        tray_daemon = sv[0];
        tray_peer = sv[1];
        alg2guisock_client_fd = tray_daemon;
        tray = std::thread([this] {
            uint8_t buf[256];
            for (;;) {
                ssize_t n = read(tray_peer, buf, sizeof buf);
                if (n <= 0)
                    return;
                for (ssize_t i = 0; i < n; ++i)
                    buf[i] = 0;  // every poll: no event
                if (write(tray_peer, buf, static_cast<size_t>(n)) != n)
                    return;
            }
        });
        int p[2];
        pipe2(p, O_CLOEXEC);
        pipe_rd = p[0];
        motion_fd = p[1];
        fcntl(pipe_rd, F_SETPIPE_SZ, 1 << 20);
        fcntl(motion_fd, F_SETPIPE_SZ, 1 << 20);
        return true;
    }

    void down() {
        if (source >= 0)
            close(source);
        kill(relay, SIGKILL);
        waitpid(relay, nullptr, 0);
        inkrelay_pid = 0;
        fmouse_comm_buf_close();
        shutdown(tray_peer, SHUT_RDWR);
        if (tray.joinable())
            tray.join();
        close(tray_daemon);
        close(tray_peer);
        close(pipe_rd);
        close(motion_fd);
        motion_fd = -1;
    }
};

// Camera position of a pen moving back and forth along a long stroke, far
// enough per frame to leave the dead band: one pointer record per frame.
void pen_at(long k, double *u, double *v) {
    double t = static_cast<double>(k % 40) / 40.0;
    if ((k / 40) % 2)
        t = 1 - t;
    *u = 250 + 450 * t;
    *v = 200 + 250 * t;
}

void BM_FramePathThroughput(benchmark::State &state) {
    Rig rig;
    if (!rig.up(state))
        return;
    const long frames = state.range(0);
    for (auto _ : state) {
        // The daemon loop runs until the source closes and the relay ends.
        std::thread source([&] {
            std::vector<uint8_t> buf;
            buf.reserve(kSpotFrameSize * 1024);
            for (long k = 0; k < frames;) {
                buf.clear();
                for (int j = 0; j < 1024 && k < frames; ++j, ++k) {
                    uint8_t f[kSpotFrameSize];
                    double u, v;
                    pen_at(k, &u, &v);
                    spot_frame(u, v, f);
                    buf.insert(buf.end(), f, f + kSpotFrameSize);
                }
                size_t off = 0;
                while (off < buf.size()) {
                    ssize_t w = write(rig.source, buf.data() + off, buf.size() - off);
                    if (w <= 0)
                        return;
                    off += static_cast<size_t>(w);
                }
            }
        });
        std::thread drain([&] {
            uint8_t b[65536];
            long need = frames * 4, got = 0;
            while (got < need * 9 / 10) {
                ssize_t n = read(rig.pipe_rd, b, sizeof b);
                if (n <= 0)
                    return;
                got += n;
            }
        });
        long before_frames = frameCnt;
        g_allocations = 0;
        auto t0 = std::chrono::steady_clock::now();
        // Ends with -1 once the source has gone quiet: stop it then.
        double elapsed = 0;
        std::thread ender([&] {
            source.join();
            while (frameCnt - before_frames < frames)
                ink::time::sleep_ms(1);
            elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            kill(rig.relay, SIGKILL);
        });
        t_counting = true;
        fmouse_running();
        t_counting = false;
        ender.join();
        drain.join();
        state.SetIterationTime(elapsed);
        state.counters["frames_per_s"] = static_cast<double>(frames) / elapsed;
        state.counters["heap_allocs_in_loop"] = static_cast<double>(g_allocations.load());
    }
    state.SetItemsProcessed(state.iterations() * frames);
    rig.down();
}
BENCHMARK(BM_FramePathThroughput)
    ->Arg(200000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_FramePathLatency(benchmark::State &state) {
    Rig rig;
    if (!rig.up(state))
        return;
    const long frames = state.range(0);
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(frames));
    for (auto _ : state) {
        g_allocations = 0;
        std::thread daemon([] {
            t_counting = true;
            fmouse_running();
            t_counting = false;
        });
        fcntl(rig.pipe_rd, F_SETFL, O_NONBLOCK);
        long misses = 0;
        for (long k = 0; k < frames; ++k) {
            uint8_t f[kSpotFrameSize];
            double u, v;
            pen_at(k, &u, &v);
            spot_frame(u, v, f);
            uint8_t b[4096];
            while (read(rig.pipe_rd, b, sizeof b) > 0) {
            }
            auto t0 = std::chrono::steady_clock::now();
            if (write(rig.source, f, sizeof f) != static_cast<ssize_t>(sizeof f))
                break;
            // The first frames of a contact are held back by the gesture
            // recogniser; after them every spot frame gives a record, except
            // where the pen turns and the smoothed move stays in the dead band.
            pollfd pr{rig.pipe_rd, POLLIN, 0};
            if (poll(&pr, 1, 5) != 1) {
                misses += k >= 10;
                continue;
            }
            if (k >= 10)
                lat.push_back(
                    std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                        .count());
        }
        state.counters["frames_without_record"] = static_cast<double>(misses);
        kill(rig.relay, SIGKILL);
        daemon.join();
    }
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["median_us"] = lat[lat.size() / 2];
        state.counters["p99_us"] = lat[lat.size() * 99 / 100];
        state.counters["max_us"] = lat.back();
    }
    state.counters["heap_allocs_in_loop"] = static_cast<double>(g_allocations.load());
    rig.down();
}
BENCHMARK(BM_FramePathLatency)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
