#include "support/click_simulator.h"

#include "pointer_record.h"

int ClickSimulator::Recorder::post(int x, int y, int leftbutton, int rightbutton) {
    if (x < 0 || y < 0)
        return 0;  // the sink refuses these without failing
    PointerBytes rec{};
    pointer_record_encode(x, y, leftbutton != 0, rightbutton != 0, rec.data());
    to_.push_back(rec);
    return 0;
}

ClickSimulator::ClickSimulator() : recorder_(records_), logic_(spot_, clock_, recorder_) {}

size_t ClickSimulator::frame(const PenFrame &f) {
    const size_t before = records_.size();
    clock_++;
    if (f.flag) {
        spot_.x = f.x;
        spot_.y = f.y;
    }
    logic_.sign_k(f.flag);
    return records_.size() - before;
}

std::vector<PointerBytes> fmouse_click_simulate(const PenFrame *frames, size_t count) {
    ClickSimulator sim;
    for (size_t i = 0; i < count; i++)
        sim.frame(frames[i]);
    return sim.records();
}
