// The fallback backend: the X server's test extension moves the core pointer
// and presses buttons 1 (left) and 3 (right) on an X display.
#pragma once

#include "backend.h"

typedef struct _XDisplay Display;

namespace ink::pointer {

class XTestBackend : public Backend {
  public:
    ~XTestBackend() override;
    // Opens the display (nullptr: $DISPLAY) and checks the extension.
    // Returns 0, or -1 with the reason printed.
    int open(const char *display);
    // Size of the display's default screen.
    int width() const { return width_; }
    int height() const { return height_; }
    int perform(const Action *actions, std::size_t n) override;
    const char *name() const override { return "xtest"; }

  private:
    // Makes sure the pointer is at (x, y), warping it there if fake motion
    // could not take it (another Xinerama head).
    void reach(int x, int y);
    Display *dpy_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace ink::pointer
