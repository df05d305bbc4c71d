// Scenario files: the virtual unit's settings, then a pen timeline (strokes,
// taps, holds, lifts, pauses) and faults, one item a line. The format is
// described in tools/README.md; the example files are in testing/scenarios/.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device_protocol.h"
#include "inksim/camera.h"

namespace inksim {

enum class StepKind {
    Down,       // pen touches at (x, y)
    Move,       // pen moves to (x, y) over ms while held down
    Hold,       // time passes (pen unchanged)
    Lift,       // pen leaves the surface
    Unplug,     // the node disappears
    Plug,       // the node comes back
    Silence,    // the unit sends nothing for ms (0: until further notice)
    Garbage,    // n bytes of noise in the stream
    Refuse,     // the next acknowledgement of arg ('v', 'g' first or 'G' final) is refused
    BadRecord,  // the stored calibration record turns invalid
    Slow,       // every answer is held back ms
    TypeFail,   // the next type answer fails its complement test
    Light,      // stray light seen (n 1) or not (n 0)
    Deaf,       // the unit takes no output reports for ms (0: until further notice)
};

struct Step {
    StepKind kind;
    double x = 0, y = 0;
    long ms = 0;
    long n = 0;
    int arg = 0;
    int line = 0;
};

// The unit a scenario describes.
struct UnitConfig {
    int rate = 100;  // frames per second
    int hw_type = 65, hw_ver = 3;
    uint16_t vendor = 0, product = 0;       // none known, as in the shipped hw.txt
    std::array<uint8_t, kE4Size> params{};  // parameter block
    bool calibrated = true;                 // start with a record fitting the camera
    int ref_nx = 4, ref_ny = 3, side_space = 5;
    unsigned seed = 1;
    CameraConfig camera;
    UnitConfig();
};

struct Scenario {
    UnitConfig unit;
    std::vector<Step> steps;
};

// Parses scenario text. On error returns false with "line N: reason" in *err.
bool parse_scenario(const std::string &text, Scenario *out, std::string *err);
// Reads and parses a scenario file; false with the reason in *err.
bool load_scenario(const std::string &path, Scenario *out, std::string *err);

}  // namespace inksim
