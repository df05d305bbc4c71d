// The primary backend: a uinput virtual pen, made with libevdev.
//
// The device reports absolute X and Y over the screen's pixel range, is
// marked INPUT_PROP_DIRECT (a pen on the screen itself), and has BTN_TOOL_PEN
// (proximity), BTN_TOUCH (the left button: the pen's tip) and BTN_RIGHT. Under
// X11 and Wayland alike libinput takes it as a tablet tool mapped onto the
// screen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "backend.h"
#include "ink_paths.h"

struct libevdev;
struct libevdev_uinput;

namespace ink::pointer {

// The device's name as the desktop shows it.
inline constexpr const char *kDeviceName = "Vexor Pen";

// One evdev event: type, code, value.
using EventWriter = std::function<int(unsigned type, unsigned code, int value)>;

// Builds the libevdev description of the virtual pen for a width x height
// screen. Returns nullptr when libevdev refuses it. Free with libevdev_free.
libevdev *make_pen_description(int width, int height);

// Writes the evdev events of one record's actions through `write`, ending with
// SYN_REPORT when anything was written. Returns 0, or -1 when a write failed.
int write_pen_events(const Action *actions, std::size_t n, const EventWriter &write);

class UinputBackend : public Backend {
  public:
    ~UinputBackend() override;
    // Creates the device on the uinput node `node`. Returns 0, or -1 with
    // the reason and what to do about it printed.
    int open(int width, int height, const char *node = ink::path::kUinputNode);
    // Makes the device anew for a screen of another size (the old device
    // goes away, and with it any button it held). Returns 0, or -1 with the
    // old device kept.
    int resize(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    int perform(const Action *actions, std::size_t n) override;
    const char *name() const override { return "uinput"; }

  private:
    libevdev *dev_ = nullptr;
    libevdev_uinput *uidev_ = nullptr;
    int fd_ = -1;  // the uinput node, open while the device exists
    const char *node_ = ink::path::kUinputNode;
    int width_ = 1;
    int height_ = 1;
};

}  // namespace ink::pointer
