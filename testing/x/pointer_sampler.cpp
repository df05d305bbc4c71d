#include "x/pointer_sampler.h"

#include "ink_time.h"

namespace inktest {

bool PointerSampler::start(const std::string &display, int ox, int oy) {
    d_ = XOpenDisplay(display.c_str());
    if (d_ == nullptr)
        return false;
    thread_ = std::thread([this, ox, oy] {
        Window root = DefaultRootWindow(d_);
        while (!stop_) {
            Window r, c;
            int rx, ry, wx, wy;
            unsigned mask;
            if (XQueryPointer(d_, root, &r, &c, &rx, &ry, &wx, &wy, &mask)) {
                std::lock_guard<std::mutex> l(mu_);
                samples_.push_back({ink::time::now_us(), rx - ox, ry - oy,
                                    (mask & Button1Mask) != 0, (mask & Button3Mask) != 0});
            }
            ink::time::sleep_ms(4);
        }
    });
    return true;
}

void PointerSampler::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

PointerSampler::~PointerSampler() {
    stop();
    if (d_ != nullptr)
        XCloseDisplay(d_);
}

std::vector<PointerSample> PointerSampler::samples() {
    std::lock_guard<std::mutex> l(mu_);
    return samples_;
}

}  // namespace inktest
