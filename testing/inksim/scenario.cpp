#include <fstream>
#include <map>
#include <sstream>

#include "inksim/scenario.h"
#include "inksim/firmware.h"

namespace inksim {

UnitConfig::UnitConfig() {
    // Parameter block of a typical unit: encoding 1, sensor bytes, no gain,
    // row or column corrections.
    params.fill(0);
    params[0] = 0x01;
    params[1] = 0x12;
    params[2] = 0x34;
    params[3] = 0x56;
    params[4] = 0x78;
    params[5] = 0x9A;
    params[10] = 0xFF;  // gain correction 0
    params[11] = 0xFF;  // row start correction 0
    params[12] = 0xFF;  // column start correction 0
}

namespace {

bool fail(std::string *err, int line, const std::string &why) {
    *err = "line " + std::to_string(line) + ": " + why;
    return false;
}

}  // namespace

bool parse_scenario(const std::string &text, Scenario *out, std::string *err) {
    Scenario sc;
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    while (std::getline(in, raw)) {
        ++line;
        auto hash = raw.find('#');
        if (hash != std::string::npos)
            raw.erase(hash);
        std::istringstream ls(raw);
        std::string word;
        if (!(ls >> word))
            continue;
        std::vector<double> num;
        std::vector<std::string> rest;
        std::string tok;
        while (ls >> tok)
            rest.push_back(tok);
        bool numeric = true;
        for (const auto &t : rest) {
            try {
                size_t used = 0;
                double d = std::stod(t, &used);
                if (used != t.size())
                    numeric = false;
                num.push_back(d);
            } catch (...) {
                numeric = false;
            }
        }
        auto need = [&](size_t n) -> bool {
            if (!numeric || num.size() != n)
                return fail(err, line, "'" + word + "' takes " + std::to_string(n) + " number(s)");
            return true;
        };
        auto nonneg = [&](double d) -> bool { return d >= 0 && d < 1e9; };
        Step st;
        st.line = line;
        UnitConfig &u = sc.unit;
        if (word == "rate") {
            if (!need(1))
                return false;
            if (num[0] < 1 || num[0] > 1000)
                return fail(err, line, "rate must be 1 to 1000 frames per second");
            u.rate = static_cast<int>(num[0]);
        } else if (word == "screen") {
            if (!need(2))
                return false;
            if (num[0] < 16 || num[1] < 16 || num[0] > 16384 || num[1] > 16384)
                return fail(err, line, "screen size out of range");
            u.camera.screen_w = static_cast<int>(num[0]);
            u.camera.screen_h = static_cast<int>(num[1]);
        } else if (word == "corners") {
            if (!need(8))
                return false;
            for (int i = 0; i < 8; ++i)
                u.camera.corners[i] = num[i];
        } else if (word == "distortion") {
            if (!need(1))
                return false;
            if (num[0] < -0.5 || num[0] > 0.5)
                return fail(err, line, "distortion must be -0.5 to 0.5");
            u.camera.distortion = num[0];
        } else if (word == "noise") {
            if (!need(1))
                return false;
            if (num[0] < 0 || num[0] > 50)
                return fail(err, line, "noise must be 0 to 50 pixels");
            u.camera.noise = num[0];
        } else if (word == "seed") {
            if (!need(1))
                return false;
            u.seed = static_cast<unsigned>(num[0]);
        } else if (word == "type") {
            if (!need(2))
                return false;
            if (num[0] < 0 || num[0] > 255 || num[1] < 0 || num[1] > 255)
                return fail(err, line, "type and version are bytes");
            u.hw_type = static_cast<int>(num[0]);
            u.hw_ver = static_cast<int>(num[1]);
        } else if (word == "ids") {
            if (rest.size() != 2)
                return fail(err, line, "'ids' takes vendor and product");
            try {
                u.vendor = static_cast<uint16_t>(std::stoul(rest[0], nullptr, 0));
                u.product = static_cast<uint16_t>(std::stoul(rest[1], nullptr, 0));
            } catch (...) {
                return fail(err, line, "bad vendor or product id");
            }
        } else if (word == "param") {
            if (!need(2))
                return false;
            if (num[0] < 0 || num[0] > 63 || num[1] < 0 || num[1] > 255)
                return fail(err, line, "'param' takes an index 0 to 63 and a byte");
            u.params[static_cast<size_t>(num[0])] = static_cast<uint8_t>(num[1]);
        } else if (word == "calibrated") {
            if (rest.size() != 1 || (rest[0] != "yes" && rest[0] != "no"))
                return fail(err, line, "'calibrated' takes yes or no");
            u.calibrated = rest[0] == "yes";
        } else if (word == "grid") {
            if (!need(3))
                return false;
            if (num[0] < 3 || num[0] > 7 || num[1] < 3 || num[1] > 7 || num[2] < 1 || num[2] > 255)
                return fail(err, line,
                            "'grid' takes columns and rows 3 to 7 and a side space 1 to 255");
            u.ref_nx = static_cast<int>(num[0]);
            u.ref_ny = static_cast<int>(num[1]);
            u.side_space = static_cast<int>(num[2]);
        } else if (word == "down" || word == "move" || word == "tap" || word == "stroke") {
            size_t want = word == "down" ? 2 : word == "move" ? 3 : word == "tap" ? 2 : 5;
            if (word == "tap" && num.size() == 3)
                want = 3;
            if (!need(want))
                return false;
            for (double d : num)
                if (!nonneg(d))
                    return fail(err, line, "positions and times must not be negative");
            if (word == "down") {
                sc.steps.push_back({StepKind::Down, num[0], num[1], 0, 0, 0, line});
            } else if (word == "move") {
                sc.steps.push_back(
                    {StepKind::Move, num[0], num[1], static_cast<long>(num[2]), 0, 0, line});
            } else if (word == "tap") {
                long ms = want == 3 ? static_cast<long>(num[2]) : 60;
                sc.steps.push_back({StepKind::Down, num[0], num[1], 0, 0, 0, line});
                sc.steps.push_back({StepKind::Hold, 0, 0, ms, 0, 0, line});
                sc.steps.push_back({StepKind::Lift, 0, 0, 0, 0, 0, line});
            } else {
                sc.steps.push_back({StepKind::Down, num[0], num[1], 0, 0, 0, line});
                sc.steps.push_back(
                    {StepKind::Move, num[2], num[3], static_cast<long>(num[4]), 0, 0, line});
                sc.steps.push_back({StepKind::Lift, 0, 0, 0, 0, 0, line});
            }
        } else if (word == "hold" || word == "pause") {
            if (!need(1))
                return false;
            if (!nonneg(num[0]))
                return fail(err, line, "time must not be negative");
            if (word == "pause")
                sc.steps.push_back({StepKind::Lift, 0, 0, 0, 0, 0, line});
            sc.steps.push_back({StepKind::Hold, 0, 0, static_cast<long>(num[0]), 0, 0, line});
        } else if (word == "lift") {
            if (!need(0))
                return false;
            sc.steps.push_back({StepKind::Lift, 0, 0, 0, 0, 0, line});
        } else if (word == "unplug" || word == "plug" || word == "badrecord" ||
                   word == "typefail") {
            if (!need(0))
                return false;
            StepKind k = word == "unplug"      ? StepKind::Unplug
                         : word == "plug"      ? StepKind::Plug
                         : word == "badrecord" ? StepKind::BadRecord
                                               : StepKind::TypeFail;
            sc.steps.push_back({k, 0, 0, 0, 0, 0, line});
        } else if (word == "silence" || word == "slow" || word == "deaf") {
            if (!need(1))
                return false;
            if (!nonneg(num[0]))
                return fail(err, line, "time must not be negative");
            StepKind k = word == "silence" ? StepKind::Silence
                         : word == "slow"  ? StepKind::Slow
                                           : StepKind::Deaf;
            sc.steps.push_back({k, 0, 0, static_cast<long>(num[0]), 0, 0, line});
        } else if (word == "garbage") {
            if (!need(1))
                return false;
            if (num[0] < 1 || num[0] > 100000)
                return fail(err, line, "garbage takes 1 to 100000 bytes");
            sc.steps.push_back({StepKind::Garbage, 0, 0, 0, static_cast<long>(num[0]), 0, line});
        } else if (word == "light") {
            if (rest.size() != 1 || (rest[0] != "on" && rest[0] != "off"))
                return fail(err, line, "'light' takes on or off");
            sc.steps.push_back({StepKind::Light, 0, 0, 0, rest[0] == "on" ? 1 : 0, 0, line});
        } else if (word == "refuse") {
            static const std::map<std::string, int> what = {{"cal", Firmware::kRefuseCal},
                                                            {"bd", Firmware::kRefuseBdStart},
                                                            {"bdend", Firmware::kRefuseBdEnd}};
            if (rest.size() != 1 || !what.count(rest[0]))
                return fail(err, line, "'refuse' takes cal, bd or bdend");
            sc.steps.push_back({StepKind::Refuse, 0, 0, 0, 0, what.at(rest[0]), line});
        } else {
            return fail(err, line, "unknown word '" + word + "'");
        }
    }
    *out = std::move(sc);
    return true;
}

bool load_scenario(const std::string &path, Scenario *out, std::string *err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *err = "cannot open " + path;
        return false;
    }
    std::ostringstream s;
    s << f.rdbuf();
    if (s.str().size() > 1000000) {
        *err = path + ": too large for a scenario";
        return false;
    }
    std::string e;
    if (!parse_scenario(s.str(), out, &e)) {
        *err = path + ": " + e;
        return false;
    }
    return true;
}

}  // namespace inksim
