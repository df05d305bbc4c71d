// Reads the real X pointer's position and buttons every few milliseconds on
// a thread of its own, for comparing where the pointer went with where the
// pen was.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace inktest {

// The pointer at one moment; x and y relative to the sampler's origin.
struct PointerSample {
    long long t_us;
    int x, y;
    bool left, right;
};

class PointerSampler {
  public:
    PointerSampler() = default;
    PointerSampler(const PointerSampler &) = delete;
    PointerSampler &operator=(const PointerSampler &) = delete;
    ~PointerSampler();

    // Opens its own connection to the display and samples positions relative
    // to (ox, oy); false when the display cannot be opened.
    bool start(const std::string &display, int ox, int oy);
    void stop();
    std::vector<PointerSample> samples();

  private:
    Display *d_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<PointerSample> samples_;
};

}  // namespace inktest
