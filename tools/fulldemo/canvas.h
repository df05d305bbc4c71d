// The full demo's canvas: a window over the projected image that paints what
// reaches the desktop (lines while the left button is held, a dot for every
// press, a ring for every right click) and counts the presses and releases
// it receives.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "x/desk.h"

class Canvas {
  public:
    struct Mark {
        int x, y;
    };
    Canvas() = default;
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;
    ~Canvas();

    // Covers the rectangle r of the root (the projected image), under
    // keep_above when given; false when the display cannot be opened.
    bool start(const std::string &display, inktest::Rect r, Window keep_above = 0);
    int left_presses() const { return left_presses_; }
    int left_releases() const { return left_releases_; }
    int right_presses() const { return right_presses_; }
    std::vector<Mark> right_clicks();
    std::vector<Mark> left_presses_at();

  private:
    void paint_all();
    void ring(const Mark &m);
    void run();

    Display *d_ = nullptr;
    Window win_ = 0;
    int h_ = 0;
    GC ink_{}, red_{};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> left_presses_{0}, left_releases_{0}, right_presses_{0};
    std::mutex mu_;
    std::vector<std::array<int, 4>> segs_;
    std::vector<Mark> dots_, rights_;
};
