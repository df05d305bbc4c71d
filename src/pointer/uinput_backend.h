// The primary backend: a uinput virtual device, made with libevdev.
//
// The device reports absolute X and Y over the screen's pixel range. Its
// class decides how the desktop takes it (libinput, on X11 and Wayland alike):
//  - Pointer (the default): an absolute pointer with BTN_LEFT and BTN_RIGHT,
//    like the tablets that virtual machines offer. libinput passes its
//    positions on unchanged (no smoothing, no acceleration, no proximity of
//    its own), and the compositors spread it over the whole desktop, so the
//    records' placement on the chosen monitor holds with nothing to set.
//  - Pen: a pen on the screen itself (INPUT_PROP_DIRECT, BTN_TOOL_PEN for
//    proximity, BTN_TOUCH for the tip, BTN_RIGHT).
//  - Tablet: the same pen without INPUT_PROP_DIRECT (a tablet beside the
//    screen).
// The two tablet classes are kept for measurement and for desktops that want
// a tablet tool: libinput ends a tablet tool's proximity by itself and smooths
// its positions, and compositors map a tablet to a single output.
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

// The device's axes have four units per pixel, and a position is written a
// quarter into its pixel (4x + 1). Every consumer scales the axis onto its
// screen as (value - min) * size / (max - min + 1), some twice through a
// range of their own (libinput to 0..65535, then the X server onto the
// screen), and then takes the pixel in its own way: the X server's core
// pointer truncates, some compositors pass the fraction on to their clients,
// others round it to the nearest pixel. A pixel's left edge would come out a
// hair below it under truncation (one pixel up and left), its centre would be
// rounded up (one pixel right and down); a quarter into the pixel stays
// inside it through every scaling and is nearer to it than to the next, so
// it lands on the pixel under all three rules.
inline constexpr int kUnitsPerPixel = 4;
constexpr int pixel_units(int pixel) {
    return kUnitsPerPixel * pixel + 1;
}

enum class DeviceClass : std::uint8_t { Pointer, Pen, Tablet };

// "pointer", "pen", "tablet".
const char *device_class_name(DeviceClass c);
// Parses one of those names. Returns 0, or -1 for anything else.
int parse_device_class(const char *name, DeviceClass *out);

// One evdev event: type, code, value.
using EventWriter = std::function<int(unsigned type, unsigned code, int value)>;

// Builds the libevdev description of the virtual device of class c for a
// width x height screen. Returns nullptr when libevdev refuses it. Free with
// libevdev_free.
libevdev *make_pen_description(DeviceClass c, int width, int height);

// Writes the evdev events of one record's actions for a device of class c
// through `write`, ending with SYN_REPORT when anything was written. Returns
// 0, or -1 when a write failed.
int write_pen_events(DeviceClass c, const Action *actions, std::size_t n, const EventWriter &write);

class UinputBackend : public Backend {
  public:
    explicit UinputBackend(DeviceClass c = DeviceClass::Pointer) : class_(c) {}
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
    DeviceClass device_class() const { return class_; }
    int perform(const Action *actions, std::size_t n) override;
    const char *name() const override { return "uinput"; }

  private:
    DeviceClass class_;
    libevdev *dev_ = nullptr;
    libevdev_uinput *uidev_ = nullptr;
    int fd_ = -1;  // the uinput node, open while the device exists
    const char *node_ = ink::path::kUinputNode;
    int width_ = 1;
    int height_ = 1;
};

}  // namespace ink::pointer
