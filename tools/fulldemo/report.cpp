#include "report.h"

#include <cmath>
#include <cstdio>
#include <fstream>

std::vector<inktest::PointerSample> read_records(const std::string &path) {
    std::vector<inktest::PointerSample> out;
    std::ifstream f(path);
    std::string line;
    int x = 0, y = 0;
    while (std::getline(f, line)) {
        long long t;
        unsigned b[4];
        if (std::sscanf(line.c_str(), "%lld %x %x %x %x", &t, &b[0], &b[1], &b[2], &b[3]) != 5)
            continue;
        int rx = static_cast<int>(((b[1] >> 4) << 8) | b[2]);
        int ry = static_cast<int>(((b[1] & 0x0F) << 8) | b[3]);
        if (rx != 0 || ry != 0) {
            x = rx;
            y = ry;
        }
        out.push_back({t, x, y, (b[0] & 0x04) != 0, (b[0] & 0x01) != 0});
    }
    return out;
}

std::vector<double> timed_error(const std::vector<inksim::PenAt> &track,
                                const std::vector<inktest::PointerSample> &samples,
                                long long delay_us) {
    std::vector<double> out;
    for (const auto &s : samples) {
        if (!s.left)
            continue;
        if (const inksim::PenAt *p = inksim::pen_at(track, s.t_us - delay_us))
            out.push_back(std::hypot(s.x - p->x, s.y - p->y));
    }
    return out;
}

void write_svg(const std::string &path, int w, int h, const std::vector<inksim::Stroke> &pen,
               const std::vector<inktest::PointerSample> &records,
               const std::vector<inktest::PointerSample> &samples,
               const std::vector<Canvas::Mark> &presses, const std::vector<Canvas::Mark> &rights) {
    FILE *f = inksim::svg_open_with_pen(path, w, h, pen);
    if (f == nullptr)
        return;
    // The X pointer while its left button was held; a dot at every press the
    // desktop received (clicks too short for the sampling included).
    for (const auto &m : presses)
        std::fprintf(f, "<circle cx='%d' cy='%d' r='3' fill='#d0021b'/>\n", m.x, m.y);
    bool open = false;
    for (const auto &s : records) {
        if (s.left && !open) {
            std::fprintf(f, "<polyline fill='none' stroke='#d0021b' stroke-width='3' points='");
            open = true;
        }
        if (s.left)
            std::fprintf(f, "%d,%d ", s.x, s.y);
        if (!s.left && open) {
            std::fprintf(f, "'/>\n");
            open = false;
        }
    }
    if (open)
        std::fprintf(f, "'/>\n");
    // The real X pointer as sampled meanwhile.
    for (const auto &s : samples)
        if (s.left)
            std::fprintf(f, "<circle cx='%d' cy='%d' r='0.9' fill='#000' fill-opacity='0.55'/>\n",
                         s.x, s.y);
    for (const auto &m : rights)
        std::fprintf(f,
                     "<circle cx='%d' cy='%d' r='14' fill='none' stroke='#7b1fa2' "
                     "stroke-width='2'/>\n<text x='%d' y='%d' font-size='16' fill='#7b1fa2' "
                     "font-family='sans-serif'>right click</text>\n",
                     m.x, m.y, m.x + 18, m.y - 14);
    // The legend: one line a kind, over a white box, so that no two texts
    // and no path can run into each other whatever the screen's width.
    const char *legend[][2] = {
        {"#4a90d9", "blue: the pen's path (a ring: a tap)"},
        {"#d0021b", "red: pointer records with the left button held, dots: presses"},
        {"#222222", "black dots: the real X pointer, sampled"},
    };
    const int line = 20, top = h - 10 - 3 * line;
    std::fprintf(f,
                 "<rect x='4' y='%d' width='500' height='%d' fill='white' fill-opacity='0.85' "
                 "stroke='#888'/>\n",
                 top - 4, 3 * line + 8);
    for (int i = 0; i < 3; ++i)
        std::fprintf(f,
                     "<text x='10' y='%d' font-size='14' font-family='sans-serif' "
                     "fill='%s'>%s</text>\n",
                     top + (i + 1) * line - 5, legend[i][0], legend[i][1]);
    std::fprintf(f, "</svg>\n");
    std::fclose(f);
}
