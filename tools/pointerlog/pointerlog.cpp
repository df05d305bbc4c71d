// inkpointerlog: a stand-in for the desktop's pointer consumer, for the demo.
//
// Reads the daemon's pointer records from the pipe, prints what the
// desktop would receive (presses, releases, right clicks, moves), and at the
// end writes a picture of the pen's path (from the scenario) against the
// pointer's path, with the pointer's distance from the pen.
//
//   inkpointerlog --fifo PATH [--scenario FILE] [--svg OUT] [--seconds N]
//
// Ends after N seconds (default: never) or on SIGINT/SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inksim/pen_path.h"
#include "ink_time.h"
#include "pointer_record.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

struct Rec {
    long long t_us;
    PointerRecord p;
};

using inksim::dist_to_pen;

void write_svg(const std::string &path, int w, int h, const std::vector<inksim::Stroke> &pen,
               const std::vector<Rec> &recs) {
    FILE *f = inksim::svg_open_with_pen(path, w, h, pen);
    if (f == nullptr)
        return;
    // Pointer path while the left button is down, and the clicks.
    bool open = false;
    for (const auto &r : recs) {
        bool left = r.p.left;
        if (left && !open) {
            std::fprintf(f, "<polyline fill='none' stroke='#d0021b' stroke-width='2' points='");
            open = true;
        }
        if (left)
            std::fprintf(f, "%d,%d ", r.p.x, r.p.y);
        if (!left && open) {
            std::fprintf(f, "'/>\n");
            open = false;
        }
    }
    if (open)
        std::fprintf(f, "'/>\n");
    PointerRecord prev;
    int lastx = 0, lasty = 0;
    for (const auto &r : recs) {
        if (r.p.left && !prev.left)
            std::fprintf(f, "<circle cx='%d' cy='%d' r='3' fill='#d0021b'/>\n", r.p.x, r.p.y);
        if (r.p.right && !prev.right)
            std::fprintf(f,
                         "<text x='%d' y='%d' font-size='16' fill='#7b1fa2' "
                         "font-family='sans-serif'>right click</text>\n",
                         lastx + 12, lasty - 12);
        if (r.p.has_position()) {
            lastx = r.p.x;
            lasty = r.p.y;
        }
        prev = r.p;
    }
    std::fprintf(f,
                 "<text x='10' y='%d' font-size='14' font-family='sans-serif' fill='#4a90d9'>"
                 "pen (scenario)</text>\n"
                 "<text x='130' y='%d' font-size='14' font-family='sans-serif' fill='#d0021b'>"
                 "pointer records with the left button down; dots: presses</text>\n",
                 h - 12, h - 12);
    std::fprintf(f, "</svg>\n");
    std::fclose(f);
}

}  // namespace

int main(int argc, char **argv) {
    std::string fifo, scenario, svg;
    double seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--fifo" && i + 1 < argc)
            fifo = argv[++i];
        else if (a == "--scenario" && i + 1 < argc)
            scenario = argv[++i];
        else if (a == "--svg" && i + 1 < argc)
            svg = argv[++i];
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else {
            std::fprintf(
                stderr,
                "usage: inkpointerlog --fifo PATH [--scenario FILE] [--svg OUT] [--seconds N]\n");
            return 2;
        }
    }
    if (fifo.empty()) {
        std::fprintf(stderr, "inkpointerlog: --fifo is required\n");
        return 2;
    }
    inksim::Scenario sc;
    if (!scenario.empty()) {
        std::string err;
        if (!inksim::load_scenario(scenario, &sc, &err)) {
            std::fprintf(stderr, "inkpointerlog: %s: %s\n", scenario.c_str(), err.c_str());
            return 2;
        }
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    if (mkfifo(fifo.c_str(), 0666) != 0 && errno != EEXIST) {
        std::perror(fifo.c_str());
        return 1;
    }
    // Open for reading and writing: the daemon closes and reopens the pipe on
    // every connection, and this reader must see no end of file meanwhile.
    int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror(fifo.c_str());
        return 1;
    }
    std::printf("inkpointerlog: reading %s\n", fifo.c_str());
    std::fflush(stdout);

    std::vector<Rec> recs;
    PointerRecordReader reader;
    long long start = ink::time::now_us();
    PointerRecord prev;
    long moves = 0;
    auto on_record = [&](const std::uint8_t *, const PointerRecord &p) {
        Rec r{ink::time::now_us(), p};
        recs.push_back(r);
        double t = (r.t_us - start) / 1e6;
        if (p.left && !prev.left)
            std::printf("%7.2f s  left press    at %4d,%4d\n", t, p.x, p.y);
        else if (!p.left && prev.left)
            std::printf("%7.2f s  left release  at %4d,%4d  (%ld moves while pressed)\n", t, p.x,
                        p.y, moves);
        else if (p.right && !prev.right)
            std::printf("%7.2f s  RIGHT CLICK\n", t);
        if (p.left && prev.left)
            ++moves;
        else if (!p.left)
            moves = 0;
        prev = p;
        std::fflush(stdout);
    };
    auto on_skip = [](std::uint8_t b) {
        std::printf("out of step at byte %02x\n", b);
        std::fflush(stdout);
    };
    while (!g_stop) {
        if (seconds > 0 && ink::time::now_us() - start > seconds * 1e6)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        std::uint8_t buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            reader.feed(buf, static_cast<size_t>(n), on_record, on_skip);
    }
    close(fd);

    // Summary and picture.
    long left = 0, right = 0;
    prev = PointerRecord();
    std::vector<double> err;
    auto pen = inksim::pen_strokes(sc.steps);
    for (const auto &r : recs) {
        left += r.p.left && !prev.left;
        right += r.p.right && !prev.right;
        if (r.p.left && !pen.empty())
            err.push_back(dist_to_pen(pen, r.p.x, r.p.y));
        prev = r.p;
    }
    std::printf("\npointer records: %zu, left clicks: %ld, right clicks: %ld\n", recs.size(), left,
                right);
    if (!err.empty())
        std::printf("pointer distance from the pen while pressed: %s\n",
                    inksim::distance_stats(err).c_str());
    if (!svg.empty()) {
        write_svg(svg, sc.unit.camera.screen_w, sc.unit.camera.screen_h, pen, recs);
        std::printf("picture: %s\n", svg.c_str());
    }
    return 0;
}
