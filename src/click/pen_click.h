// Pen click and gesture logic: turns the per-frame pen presence and position
// into pointer records. A pure library: it reads and writes only the spot
// record, the frame counter and the output it is given, and does no I/O of
// its own (records, pauses and debug lines all go through ClickOutput).
//
// Two layers. The gesture recogniser (sign_k) is fed once per frame; it holds
// the samples of up to three short taps back while a three-tap right-click
// gesture may be under way, and either answers the gesture with a right click
// (SignK) or hands what it held to the click generator (Burst, BurstEnd). The
// click generator (knoRSim) keeps the left button down while the pen is seen,
// smooths the position over two samples, moves the pointer only outside a
// small dead band, and adds one extra click where a press began when two
// presses begin close together but not at the same place.
//
// Every operation returns 0, or -1 as soon as a record cannot be written;
// nothing after the failed write is done. All state is fixed-size and lives
// in the instance; no heap allocation.
#pragma once

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

// Where the logic's pointer records, pauses and debug lines go.
class ClickOutput {
  public:
    // One record at (x, y); x and y already truncated. 0, or -1 on failure.
    virtual int post(int x, int y, int leftbutton, int rightbutton) = 0;
    // Holds a button for ms milliseconds.
    virtual void pause_ms(long ms) = 0;
    // A debug line ("Break in L0\n", "SignK detected\n", ...); the text
    // carries its own newline. Dropped unless overridden.
    virtual void note(const char *text) { (void)text; }
    // The recogniser moved from one phase to another. Dropped unless overridden.
    virtual void phase_changed(int from, int to) {
        (void)from;
        (void)to;
    }

  protected:
    ~ClickOutput() = default;
};

// The whole click and gesture logic with its state.
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

    // The pen is gone though nobody lifted it (the device connection ends): a
    // press under way is released where it was, a gesture still held back is
    // dropped, and the recogniser is idle again.
    int end_connection();
    void reset();  // back to the start state: idle, everything zero
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
