// The click logic's reference run for tests, tools and benchmarks: a private
// instance of the pen click and gesture logic on its own spot record and
// frame counter, collecting the pointer records it would write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pen_click.h"
#include "pointer_record.h"

// One pen frame as the running loop hands it over: flag 1 with the accepted
// spot's screen position, flag 0 for a frame without (or with a rejected) spot.
struct PenFrame {
    int flag;
    double x, y;
};

using PointerBytes = std::array<uint8_t, kPointerRecordSize>;

// Collects the records the logic would write to the pointer pipe, byte for
// byte (negative coordinates are dropped and large ones clamped as the pointer
// sink does). Button holds take no time. Starts like a freshly started daemon:
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
