// Pen click and gesture logic: turns the per-frame pen presence and position
// into pointer records.
//
// Two layers. The gesture recogniser (fmouse_mouse_b_sign_k) is fed once per
// frame; it holds the samples of up to three short taps back while a three-tap
// right-click gesture may be under way, and either answers the gesture with a
// right click (SignK) or hands what it held to the click generator (Burst,
// BurstEnd). The click generator (fmouse_mouse_b_1knoRSim) keeps the left
// button down while the pen is seen, smooths the position over two samples,
// moves the pointer only outside a small dead band, and adds one extra click
// where a press began when two presses begin close together but not at the
// same place.
//
// Inputs are the shared spot record SPOT (screen pixels) and the frame counter
// frameCnt, which the running loop advances before each call. Records go out
// through fmouse_post_motion_event. Every operation returns 0, or -1 as soon as
// a record cannot be written; nothing after the failed write is done.
//
// All state is fixed-size and lives in one process-wide instance; it survives
// the end of a device connection. No heap allocation on the frame path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "NyxCalLib.h"

// Phases of the gesture recogniser; the values are the ones the debug lines and
// the recogniser's table use.
enum GesturePhase : int {
    PHASE_IDLE = 1,    // no pen; waiting for a pen-on frame
    PHASE_H0 = 2,      // tap 1, pen on, samples held
    PHASE_L0 = 3,      // gap 1, pen off
    PHASE_H1 = 4,      // tap 2, pen on, samples held
    PHASE_PASS = 5,    // no gesture: every frame goes straight to the click generator
    PHASE_SETTLE = 6,  // frames ignored after a right click
    PHASE_L1 = 7,      // gap 2, pen off
    PHASE_H2 = 8,      // tap 3, pen on, samples held
};

// "idle", "H0", "L0", "H1", "L1", "H2", "settle", "pass-through"; "?" otherwise.
const char *fmouse_gesture_phase_name(int phase);

// Gesture timing and spread.
inline constexpr int kTapMaxFrames = 4;  // most pen-on frames of a tap, pen-off frames of a gap
inline constexpr int kTapSamples = kTapMaxFrames + 1;  // held samples per tap
inline constexpr double kTapSpreadX = 8.0;             // largest x spread of a tap's samples
inline constexpr double kTapSpreadY = 6.0;             // largest y spread
inline constexpr int kSettleFrames = 20;               // frames ignored after a right click
// Click generator.
inline constexpr double kSmoothWeight = 0.5;            // posted position: mean of two raw samples
inline constexpr double kDeadBand = 3.0;                // |dx| + |dy| a held press must move
inline constexpr unsigned long kExtraClickWindow = 24;  // frames since the previous press began
inline constexpr double kSamePlaceRadius = 2.5;         // |d + offset| <= radius: same place
inline constexpr double kSamePlaceOffset = 0.5;
inline constexpr double kNearX = 8.0;  // |dx| < kNearX and |dy| < kNearY: near
inline constexpr double kNearY = 6.0;
inline constexpr long kExtraClickHoldMs = 5;   // press-to-release of the extra click
inline constexpr long kRightClickHoldMs = 10;  // press-to-release of the right click

// Where the logic's pointer records and pauses go.
class ClickOutput {
  public:
    // One record at (x, y); x and y already truncated. 0, or -1 on failure.
    virtual int post(int x, int y, int leftbutton, int rightbutton) = 0;
    // Holds a button for ms milliseconds.
    virtual void pause_ms(long ms) = 0;

  protected:
    ~ClickOutput() = default;
};

// The whole click and gesture logic with its state. The daemon runs one
// process-wide instance on SPOT, frameCnt and the pointer pipe (the free
// functions below); ClickSimulator runs private ones.
class PenClickLogic {
  public:
    // spot: the spot record read (and overwritten with the smoothed position);
    // clock: the frame counter; out: the record sink. All must outlive this.
    constexpr PenClickLogic(SPOT_TYPE &spot, const long &clock, ClickOutput &out)
        : spot_(&spot), clock_(&clock), out_(&out) {}

    int sign_k(int flag);                                   // one frame into the gesture recogniser
    int knoRSim(int flag);                                  // one sample into the click generator
    int Burst(int I, const double *X, const double *Y);     // replay as pen-on samples
    int BurstEnd(int I, const double *X, const double *Y);  // the same, then the pen lifts
    int SignK(double x, double y);                          // right click at (x, y)

    int end_connection();  // the device connection ends (see the free function)
    void reset();          // back to the start state: idle, everything zero
    int phase_now() const { return phase; }

  private:
    int post(double x, double y, int left, int right);
    void set_phase(int next);
    void box_reset(double x, double y);
    void spread_update(double x, double y);
    bool spread_fails(int frames) const;
    // Counts one more pen-on frame of a tap and holds its sample while there
    // is room (a tap that outgrows its arrays has already failed).
    void store(double x, double y, double *X, double *Y, int &count, int &frames);
    int release();

    SPOT_TYPE *spot_;
    const long *clock_;
    ClickOutput *out_;

    // Gesture recogniser.
    int phase = PHASE_IDLE;
    int tH0 = 0, tH1 = 0, tH2 = 0;  // pen-on frames of tap 1, 2, 3
    int tL0 = 0, tL1 = 0;           // pen-off frames of gap 1, 2
    int tWait = 0;                  // frames since a right click
    int II = 0, JJ = 0, KK = 0;     // samples held for tap 1, 2, 3
    double X0[kTapSamples] = {}, Y0[kTapSamples] = {};
    double X1[kTapSamples] = {}, Y1[kTapSamples] = {};
    double X2[kTapSamples] = {}, Y2[kTapSamples] = {};
    double maxX = 0, minX = 0, maxY = 0, minY = 0;

    // Click generator.
    int lastRawOn = 0;            // pen seen in the previous sample
    int lastOn = 0;               // a left press is posted and not released
    double lastX = 0, lastY = 0;  // previous raw sample
    double baseX = 0, baseY = 0;  // position of the last posted record
    double thisStartX = 0, thisStartY = 0;
    unsigned long thisStartT = 0;
    double lastStartX = 0, lastStartY = 0;
    unsigned long lastStartT = 0;
};

// ---- The daemon's instance: SPOT, frameCnt, fmouse_post_motion_event ------

// One frame: flag 1 when SPOT holds an accepted spot, 0 otherwise. Called by
// the running loop after it advanced frameCnt. 0, or -1 when a record could
// not be written.
int fmouse_mouse_b_sign_k(int flag);
// One sample into the click generator; reads SPOT.x and SPOT.y when flag is 1
// and overwrites them with the smoothed position.
int fmouse_mouse_b_1knoRSim(int flag);
// Replays I samples of X and Y as pen-on samples (BurstEnd: then one pen-off).
int Burst(int I, double *X, double *Y);
int BurstEnd(int I, double *X, double *Y);
// Right click at (x, y): move there, then right press and release at (0, 0).
int SignK(double x, double y);
// The device connection ends: no pen is seen any more, though nobody lifted
// it. A press under way is released where it was, as for a lift; a gesture
// still held back (taps not yet given to the desktop, a third tap cut short)
// is dropped, neither clicked nor right-clicked, and the recogniser is idle
// for the next connection. 0, or -1 when a record could not be written.
int fmouse_click_end_connection(void);
// Current phase of the recogniser, for debug lines and tests.
int fmouse_gesture_phase(void);
// Test only: puts the daemon's instance back into its start state (idle,
// everything zero). The daemon itself never resets this state.
void fmouse_click_reset(void);

// ---- Reference model for tests and tools ---------------------------------

// One pen frame as the running loop hands it over: flag 1 with the accepted
// spot's screen position, flag 0 for a frame without (or with a rejected) spot.
struct PenFrame {
    int flag;
    double x, y;
};

using PointerBytes = std::array<uint8_t, 4>;

// Runs a private instance of the logic on its own spot and frame counter and
// collects the records it would write to the pointer pipe, byte for byte
// (negative coordinates are dropped and large ones clamped as the pointer sink
// does). Button holds take no time. Starts like a freshly started daemon:
// frame counter 0, every state zero. Allocates; not for the frame path.
class ClickSimulator {
  public:
    ClickSimulator();
    ClickSimulator(const ClickSimulator &) = delete;
    ClickSimulator &operator=(const ClickSimulator &) = delete;

    // Advances the frame counter and feeds one frame; returns how many records
    // this frame produced (they are appended to records()).
    size_t frame(const PenFrame &f);
    size_t frame(int flag, double x = 0, double y = 0) { return frame(PenFrame{flag, x, y}); }

    const std::vector<PointerBytes> &records() const { return records_; }
    long frames() const { return clock_; }
    int phase() const { return logic_.phase_now(); }

  private:
    class Recorder : public ClickOutput {
      public:
        explicit Recorder(std::vector<PointerBytes> &to) : to_(to) {}
        int post(int x, int y, int leftbutton, int rightbutton) override;
        void pause_ms(long) override {}

      private:
        std::vector<PointerBytes> &to_;
    };

    std::vector<PointerBytes> records_;
    SPOT_TYPE spot_{};
    long clock_ = 0;
    Recorder recorder_;
    PenClickLogic logic_;
};

// The records a freshly started daemon writes for these frames.
std::vector<PointerBytes> fmouse_click_simulate(const PenFrame *frames, size_t count);
