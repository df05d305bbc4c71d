// Where the pen's events landed, as a client of the desktop saw them: the
// lab's Wayland cases read inkwaylog's log, the desktops stage an X window
// of its own as well.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace lab {

// An event: KIND press, release, press2 and release2 (the secondary button),
// move, in, out; a button the pen has not got is "?CODE". x and y are layout
// coordinates, out the output they are on.
struct Ev {
    std::string kind;
    double x = 0, y = 0;
    std::string out;
};

// On the pixel x, y: the device writes a position a quarter into its pixel,
// and a desktop either passes the fraction on or rounds it.
inline bool near(const Ev *e, double x, double y) {
    return e && std::floor(e->x) == x && std::floor(e->y) == y;
}
// The first (or the last) event of kind k.
inline const Ev *find(const std::vector<Ev> &e, const std::string &k, bool last = false) {
    const Ev *p = nullptr;
    for (const auto &x : e)
        if (x.kind == k && (!p || last))
            p = &x;
    return p;
}
inline size_t count(const std::vector<Ev> &e, const std::string &k) {
    return std::count_if(e.begin(), e.end(), [&](const Ev &x) { return x.kind == k; });
}
inline std::string dump(const std::vector<Ev> &e) {
    std::ostringstream s;
    for (const auto &x : e)
        s << x.kind << " " << x.x << " " << x.y << " " << x.out << "; ";
    return s.str();
}

// The right click after a tap at x, y landed there: one secondary press and
// release, and no primary press but the tap's.
inline bool right_click_at(const std::vector<Ev> &e, double x, double y) {
    return near(find(e, "press2"), x, y) && near(find(e, "release2", true), x, y) &&
           count(e, "press2") == 1 && count(e, "press") == 1;
}

// The events of inkwaylog's log `log` from line `from` on.
inline std::vector<Ev> waylog_events(const std::string &log, size_t from) {
    static const std::map<std::string, std::string> kinds = {
        {"pointer motion", "move"},     {"pointer enter", "move"}, {"tablet motion", "move"},
        {"tablet down", "press"},       {"tablet up", "release"},  {"tablet proximity-in", "in"},
        {"tablet proximity-out", "out"}};
    std::vector<Ev> out;
    std::istringstream in(log);
    size_t n = 0;
    for (std::string l; std::getline(in, l);) {
        std::istringstream f(l);
        std::string who, what, code, state;
        Ev e;
        if (n++ < from || !(f >> who >> what) || (what == "button" && !(f >> code >> state)))
            continue;
        f >> e.x >> e.y >> e.out;
        const bool second = code == "273" || (who == "tablet" && (code == "331" || code == "332"));
        if (what == "button")
            e.kind = state + (who == "pointer" && code == "272" ? "" : second ? "2" : "?" + code);
        else if (auto k = kinds.find(who + " " + what); k != kinds.end())
            e.kind = k->second;
        else
            continue;
        out.push_back(e);
        // A tool coming in is where it moves to as well.
        if (e.kind == "in")
            out.push_back({"move", e.x, e.y, e.out});
    }
    return out;
}

}  // namespace lab
