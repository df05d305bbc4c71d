// The virtual unit's firmware: its side of the command set (run and hold, the
// frame stream, identification, parameter block, calibration record,
// background store, register writes), with faults on demand and a log of
// every command received and every frame streamed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "inksim/scenario.h"

namespace inksim {

struct CommandRecord {
    long long t_us;  // when the command byte arrived
    uint8_t cmd;     // the command byte ('o' runs are one record)
    std::vector<uint8_t> payload;
};

// One frame the unit streamed: the marker kFrameNoSpot, or kFrameSpot and its
// spot record.
struct FrameRecord {
    long long t_us;
    bool spot;
    std::array<uint8_t, kSpotRecordSize> record;
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
// A calibration record that fits the camera model, for a preloaded unit.
std::array<uint8_t, kCalSize> fitted_record(const UnitConfig &cfg);

class Firmware {
  public:
    static constexpr size_t kRecordSize = kCalSize;
    static constexpr size_t kBd0Size = ::kBd0Size;
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

}  // namespace inksim
