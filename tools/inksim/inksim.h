// inksim: a virtual camera unit for running and testing the suite without the
// hardware.
//
// Firmware   the unit's side of the command set: run/hold, the frame stream,
//            identification, parameter block, calibration record, background
//            store, register writes, with faults on demand and a log of every
//            command received.
// CameraModel  where the camera sees a screen position (perspective, lens
//            distortion, sensor noise).
// Scenario   a small text file: unit settings, then a pen timeline (strokes,
//            taps, holds, lifts, pauses) and faults; format in tools/README.md.
// HiddevFs   presents the unit as a hiddev node through FUSE.
// Simulator  ties them together: one frame clock, one lock.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace inksim {

// ---------------------------------------------------------------- camera --

struct CameraConfig {
    // Where the screen's corners appear on the sensor (u, v): top left, top
    // right, bottom right, bottom left. The default is a projector image seen
    // slightly from below and to the left.
    std::array<double, 8> corners{170, 95, 880, 120, 905, 585, 135, 560};
    double distortion = 0.04;  // radial, relative to the sensor's half width
    double noise = 0.25;       // sensor noise, standard deviation in pixels
    double center_u = 512, center_v = 320;
    int screen_w = 1024, screen_h = 768;  // the screen the pen positions refer to
};

class CameraModel {
  public:
    explicit CameraModel(const CameraConfig &c = CameraConfig(), unsigned seed = 1);
    // Camera coordinates of screen pixel (x, y), without noise.
    void map(double x, double y, double *u, double *v) const;
    // The same with sensor noise.
    void sense(double x, double y, double *u, double *v);
    const CameraConfig &config() const { return cfg_; }

  private:
    CameraConfig cfg_;
    double h_[9];  // unit square to sensor homography
    std::mt19937 rng_;
    std::normal_distribution<double> noise_;
};

// -------------------------------------------------------------- scenario --

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
};

struct Step {
    StepKind kind;
    double x = 0, y = 0;
    long ms = 0;
    long n = 0;
    int arg = 0;
    int line = 0;
};

struct UnitConfig {
    int rate = 100;  // frames per second
    int hw_type = 65, hw_ver = 3;
    uint16_t vendor = 0, product = 0;  // none known, as in the shipped hw.txt
    std::array<uint8_t, 64> params{};  // parameter block
    bool calibrated = true;            // start with a record fitting the camera
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
bool load_scenario(const std::string &path, Scenario *out, std::string *err);

// -------------------------------------------------------------- firmware --

struct CommandRecord {
    long long t_us;  // when the command byte arrived
    uint8_t cmd;     // the command byte ('o' runs are one record)
    std::vector<uint8_t> payload;
};

// One frame the unit streamed: the marker 0xFF, or 0xFE and its spot record.
struct FrameRecord {
    long long t_us;
    bool spot;
    std::array<uint8_t, 10> record;
};

struct PenSample {
    bool on = false;
    double u = 0, v = 0;
};

// Validity of a background block as the unit checks it.
bool bd0_block_valid(const uint8_t *block, size_t n);
// Sets byte 255 of a calibration record to its checksum.
void seal_record(uint8_t *record);
bool record_sealed(const uint8_t *record);

class Firmware {
  public:
    static constexpr size_t kRecordSize = 256;
    static constexpr size_t kBd0Size = 646;
    // A run of this many 'o' bytes inside a payload abandons the payload: it is
    // how the 600-byte fill brings a unit stuck in a transfer back into step.
    // A calibration record's filler is 'o' too (up to 216 bytes in a row for a
    // 3 x 3 grid), so the run must be longer than that.
    static constexpr int kFillAbort = 240;
    // The sensor's sensitivity register (the third register of Cam.dat) and
    // the value from which it sees stray light. A lamp is dimmer than the
    // pen: the shipped configuration's low setting (0x0020) does not see it,
    // the high setting of light detection (0x0030 with maxW 16) does. The pen
    // spot is seen at either.
    static constexpr uint8_t kSensitivityReg = 0x35;
    static constexpr uint16_t kStrayVisibleFrom = 0x0028;

    explicit Firmware(const UnitConfig &cfg);

    // Bytes from the host (one output report's chunk), received at t_us.
    void receive(const uint8_t *p, size_t n, long long t_us);
    // One camera frame: appends the frame to the output if running.
    void frame(const PenSample &pen, long long t_us);
    // Output bytes due by t_us, in order, appended to out.
    void take_due(long long t_us, std::vector<uint8_t> *out);

    // Faults and test controls.
    void set_silence_until(long long t_us) { silence_until_ = t_us; }
    void add_garbage(size_t n, long long t_us);
    void refuse_next(int what) { refuse_ |= what; }
    void corrupt_record();
    void set_slow_us(long us) { slow_us_ = us; }
    void fail_type_once() { type_fail_ = true; }
    // The answer to the next command c (and whatever follows it) stays
    // unsent until release_answer(), which also cancels a hold whose command
    // has not come yet: the test lets the unit answer once something else
    // has happened.
    void hold_answer_to(uint8_t c) { hold_answer_to_ = c; }
    void release_answer() {
        hold_answer_to_ = 0;
        answer_held_ = false;
    }
    // A lamp on (or off): seen as a spot while the sensitivity is high.
    void set_stray_light(bool on) { stray_light_ = on; }
    void queue_bytes(const uint8_t *p, size_t n, long long t_us);
    // Unplugged: the unit loses power, and with it a transfer half received,
    // the bytes not yet sent and the streaming state. What it keeps in its
    // memory (record, background block) stays.
    void power_off();

    bool running() const { return running_; }
    bool silent(long long t_us) const { return t_us < silence_until_; }
    const std::array<uint8_t, kRecordSize> &record() const { return record_; }
    void set_record(const uint8_t *r) { std::copy(r, r + kRecordSize, record_.begin()); }
    const std::vector<uint8_t> &bd0() const { return bd0_; }
    const std::vector<CommandRecord> &log() const { return log_; }
    // Every frame streamed, in order (for tests that recompute what the host
    // saw); the first kFrameLogMax frames of a long run.
    static constexpr size_t kFrameLogMax = 1000000;
    const std::vector<FrameRecord> &frames_sent() const { return frames_sent_; }
    uint16_t reg(uint8_t r) const { return regs_[r]; }
    bool background_taken() const { return background_taken_; }

    static constexpr int kRefuseCal = 1, kRefuseBdStart = 2, kRefuseBdEnd = 4;

  private:
    enum class Rx { Idle, RegWrite, CalRecord, Bd0Block };
    void reply(std::initializer_list<uint8_t> b, long long t_us);
    void reply(const uint8_t *p, size_t n, long long t_us);
    void command(uint8_t c, long long t_us);
    void payload_done(long long t_us);

    UnitConfig cfg_;
    Rx rx_ = Rx::Idle;
    size_t need_ = 0;
    std::vector<uint8_t> rxbuf_;
    int fill_run_ = 0;
    bool running_ = false;
    bool stray_light_ = false;
    bool background_taken_ = false;
    std::array<uint8_t, kRecordSize> record_{};
    std::vector<uint8_t> bd0_;
    std::array<uint16_t, 256> regs_{};
    std::deque<std::pair<long long, uint8_t>> out_;
    long long silence_until_ = 0;
    long slow_us_ = 0;
    int refuse_ = 0;
    bool type_fail_ = false;
    uint8_t hold_answer_to_ = 0;
    bool answer_held_ = false;
    std::vector<CommandRecord> log_;
    std::vector<FrameRecord> frames_sent_;
    std::mt19937 rng_;
};

// --------------------------------------------------------------- hiddev ---

using Report = std::array<int32_t, 8>;

class HiddevFs {
  public:
    HiddevFs();
    ~HiddevFs();
    // Mounts at dir (an existing directory) holding the node "name".
    bool start(const std::string &dir, const std::string &name, std::string *err);
    void stop();
    // Queues one input report (eight values) for every open of the node.
    void push_report(const Report &values);
    // Unplugged: the node disappears and every open fails its reads.
    void set_plugged(bool on);
    void set_ids(uint16_t vendor, uint16_t product);
    // Called with the eight values of every output report sent.
    // Set before start.
    void on_output(std::function<void(const Report &)> f);
    int open_count();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// ----------------------------------------------------- calibration user ---

// A person calibrating the unit. When a target appears, the user lifts the pen
// if it is still down, moves to the target and holds it there for a while,
// then lifts. The targets stand where the tray program draws them: the core's
// grid layout for the screen size and the mode's grid. The pen is seen through
// the simulator's camera model, noise included.
struct CalibUserConfig {
    int screen_w = 1024, screen_h = 768;
    int ref_nx = 4, ref_ny = 3, side_space = 5;  // the mode's grid
    int hw_type = 65;
    int reaction_frames = 20;  // from seeing a target to touching it
    int hold_frames = 30;      // how long the pen rests on a target
    int cancel_at = -1;        // at this target the user presses Escape instead
    int repeat_at = -1;        // at this target the user touches the previous one again
    // At these targets the pen is still down from the previous target when
    // the target appears, and the first touch lasts only two frames.
    std::vector<int> hesitate_at;
    bool stray_light = false;  // a lamp left on: the camera sees stray light
};

// Screen positions of the targets in the order they are shown (row by row).
std::vector<std::pair<int, int>> target_layout(const CalibUserConfig &cfg);

class CalibUser {
  public:
    explicit CalibUser(const CalibUserConfig &cfg);
    const CalibUserConfig &config() const { return cfg_; }
    const std::vector<std::pair<int, int>> &targets() const { return targets_; }
    // How the user presses Escape (the test's or the tray's cancel).
    void on_cancel(std::function<void()> f);
    // Target k (from 0) is now on the screen. Thread-safe.
    void target_shown(int k);
    // The last target seen, -1 before the first.
    int shown();
    // The pen for the next streamed frame: true and the screen position while
    // it is down. The simulator calls it once per frame.
    bool pen(double *x, double *y);

  private:
    struct Segment {
        int frames;  // -1: until the next target
        bool down;
        double x, y;
    };
    bool hesitates_at(int k) const;
    CalibUserConfig cfg_;
    std::vector<std::pair<int, int>> targets_;
    std::mutex mu_;
    std::deque<Segment> plan_;
    int shown_ = -1;
    std::function<void()> cancel_;
};

// ------------------------------------------------------------ simulator ---

struct OutputReport {
    long long t_us;
    Report values;
};

// What every virtual unit runs on: its hiddev node through FUSE, its
// firmware, and a frame clock on a thread of its own, all behind one lock.
//
// At each tick of the clock, a unit that is running streams one frame (what
// the frame holds is the subclass's business); a unit on hold sends an empty
// report now and then, as a real one does. Output reports from the host go to
// the firmware, and whatever the firmware has due goes out as input reports
// of up to six bytes.
class UnitHost {
  public:
    UnitHost(const UnitHost &) = delete;
    UnitHost &operator=(const UnitHost &) = delete;

    // Mounts the node (default: the suite's device node) and starts the clock.
    bool start(std::string *err, const std::string &node_path = "");
    // Stops the clock and unmounts the node; does nothing when not started.
    void stop();
    // Every command the firmware received, in order.
    std::vector<CommandRecord> commands();

  protected:
    UnitHost(const UnitConfig &unit, int rate);
    // A subclass stops the unit in its own destructor: the clock calls into it.
    virtual ~UnitHost();

    // Called with the lock held: once when the unit starts, then at every
    // tick while the firmware runs (to stream one frame), and for every
    // output report before the firmware takes it.
    virtual void on_start() {}
    virtual void on_frame(long long now) = 0;
    virtual void on_output(long long /*now*/, const Report & /*r*/) {}

    // Sends what the firmware has due by now. Lock held.
    void deliver(long long now);

    Firmware fw_;
    HiddevFs fs_;
    std::mutex mu_;

  private:
    void clock_loop();
    void output_report(const Report &r);

    // A unit on hold reports once every this many ticks.
    static constexpr int kIdleReportFrames = 10;

    const int rate_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool started_ = false;
    std::thread clock_;
    long long idle_ticks_ = 0;
};

// The scripted virtual unit: a scenario's unit with its camera, its timeline
// of pen steps and faults, a calibrating user or a pen set by hand.
class Simulator : public UnitHost {
  public:
    explicit Simulator(const Scenario &sc);
    ~Simulator() override;
    // True once the scenario's timeline has run out.
    bool finished();

    // Test controls; all take the simulator's lock.
    void unplug();
    void plug();
    void inject_report(const Report &r);
    void send_bytes(const std::vector<uint8_t> &b);
    void set_pen(std::optional<std::pair<double, double>> pos);
    // Hands the pen to a calibrating user (nullptr takes it back); a user
    // who leaves stray light on turns it on now.
    void set_user(std::shared_ptr<CalibUser> user);
    void with_firmware(const std::function<void(Firmware &)> &f);
    std::vector<FrameRecord> frames_sent();
    std::vector<OutputReport> reports();
    long long frames();

  private:
    void on_start() override;
    void on_frame(long long now) override;
    void on_output(long long now, const Report &r) override;
    void run_steps_at_frame();
    void apply(const Step &s);

    Scenario sc_;
    CameraModel camera_;
    std::vector<OutputReport> reports_;
    // Timeline: it advances one frame per frame the unit streams.
    size_t step_ = 0;
    long long frame_ = 0;
    long long step_end_ = 0;  // frame at which the current timed step ends
    bool in_timed_ = false;
    bool pen_on_ = false;
    double pen_x_ = 0, pen_y_ = 0, from_x_ = 0, from_y_ = 0;
    long long move_start_ = 0;
    std::optional<std::pair<double, double>> manual_;
    std::shared_ptr<CalibUser> user_;
};

// A calibration record that fits the camera model, for a preloaded unit.
std::array<uint8_t, 256> fitted_record(const UnitConfig &cfg);

}  // namespace inksim
