#include "inksim/pen_path.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace inksim {

std::vector<Stroke> pen_strokes(const std::vector<Step> &steps) {
    std::vector<Stroke> out;
    bool down = false;
    for (const auto &s : steps) {
        switch (s.kind) {
            case StepKind::Down:
                out.push_back({{s.x, s.y}});
                down = true;
                break;
            case StepKind::Move:
                if (down)
                    out.back().push_back({s.x, s.y});
                break;
            case StepKind::Lift:
                down = false;
                break;
            default:
                break;
        }
    }
    return out;
}

double dist_to_segment(double px, double py, double x0, double y0, double x1, double y1) {
    double dx = x1 - x0, dy = y1 - y0, l2 = dx * dx + dy * dy;
    double t = l2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / l2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (x0 + t * dx), py - (y0 + t * dy));
}

double dist_to_pen(const std::vector<Stroke> &pen, double x, double y) {
    double best = 1e18;
    for (const auto &p : pen) {
        best = std::min(best, std::hypot(x - p[0].first, y - p[0].second));
        for (size_t i = 1; i < p.size(); ++i)
            best = std::min(best, dist_to_segment(x, y, p[i - 1].first, p[i - 1].second, p[i].first,
                                                  p[i].second));
    }
    return best;
}

std::string distance_stats(std::vector<double> v) {
    if (v.empty())
        return "no samples";
    std::sort(v.begin(), v.end());
    double mean = 0;
    for (double e : v)
        mean += e;
    mean /= static_cast<double>(v.size());
    char buf[128];
    std::snprintf(buf, sizeof buf, "mean %.1f px, 95th percentile %.1f px, max %.1f px", mean,
                  v[static_cast<size_t>(0.95 * static_cast<double>(v.size() - 1))], v.back());
    return buf;
}

FILE *svg_open_with_pen(const std::string &path, int w, int h, const std::vector<Stroke> &pen) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::perror(path.c_str());
        return nullptr;
    }
    std::fprintf(
        f,
        "<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' viewBox='0 0 %d %d'>\n"
        "<rect width='%d' height='%d' fill='white' stroke='#888'/>\n",
        w, h, w, h, w, h);
    for (const auto &p : pen) {
        if (p.size() == 1) {
            std::fprintf(f,
                         "<circle cx='%.1f' cy='%.1f' r='9' fill='none' stroke='#4a90d9' "
                         "stroke-width='3'/>\n",
                         p[0].first, p[0].second);
            continue;
        }
        std::fprintf(f,
                     "<polyline fill='none' stroke='#4a90d9' stroke-width='8' "
                     "stroke-opacity='0.45' points='");
        for (const auto &q : p)
            std::fprintf(f, "%.1f,%.1f ", q.first, q.second);
        std::fprintf(f, "'/>\n");
    }
    return f;
}

}  // namespace inksim
