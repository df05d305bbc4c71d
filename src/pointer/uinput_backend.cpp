#include "uinput_backend.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "fmouse_sys.h"
#include "uinput_access.h"

namespace ink::pointer {

namespace {

// The explanation goes to the user whether or not diagnostics are on: it is
// why the pen does nothing (or only reaches X windows), and what to do.
void report_refusal(int err, const char *node) {
    const std::string text = explain_uinput_refusal(err, node);
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        std::fprintf(stderr, "inkpointer: %s", text.substr(from, end - from).c_str());
        from = end;
    }
}

}  // namespace

const char *device_class_name(DeviceClass c) {
    switch (c) {
        case DeviceClass::Pointer:
            return "pointer";
        case DeviceClass::Pen:
            return "pen";
        case DeviceClass::Tablet:
            return "tablet";
    }
    return "?";
}

int parse_device_class(const char *name, DeviceClass *out) {
    for (DeviceClass c : {DeviceClass::Pointer, DeviceClass::Pen, DeviceClass::Tablet}) {
        if (std::strcmp(name, device_class_name(c)) == 0) {
            *out = c;
            return 0;
        }
    }
    return -1;
}

libevdev *make_pen_description(DeviceClass c, int width, int height) {
    if (width < 1 || height < 1)
        return nullptr;
    libevdev *dev = libevdev_new();
    if (dev == nullptr)
        return nullptr;
    libevdev_set_name(dev, kDeviceName);
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    bool ok = true;
    if (c == DeviceClass::Pen)
        ok = libevdev_enable_property(dev, INPUT_PROP_DIRECT) == 0;
    // Four units per pixel (and, for libinput's millimetres, per mm).
    input_absinfo ax{};
    ax.maximum = kUnitsPerPixel * width - 1;
    ax.resolution = kUnitsPerPixel;
    input_absinfo ay{};
    ay.maximum = kUnitsPerPixel * height - 1;
    ay.resolution = kUnitsPerPixel;
    ok = ok && libevdev_enable_event_code(dev, EV_ABS, ABS_X, &ax) == 0;
    ok = ok && libevdev_enable_event_code(dev, EV_ABS, ABS_Y, &ay) == 0;
    if (c == DeviceClass::Pointer) {
        // BTN_MIDDLE is never sent, but a device with left and right and no
        // middle gets libinput's middle button emulation by default: every
        // left press is then held back up to 50 ms, waiting for a right one,
        // while the pen's next positions go out ahead of it, so that a drag
        // would start where the pen is a few frames later.
        for (unsigned code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
            ok = ok && libevdev_enable_event_code(dev, EV_KEY, code, nullptr) == 0;
    } else {
        for (unsigned code : {BTN_TOOL_PEN, BTN_TOUCH, BTN_RIGHT})
            ok = ok && libevdev_enable_event_code(dev, EV_KEY, code, nullptr) == 0;
    }
    ok = ok && libevdev_enable_event_code(dev, EV_SYN, SYN_REPORT, nullptr) == 0;
    if (!ok) {
        libevdev_free(dev);
        return nullptr;
    }
    return dev;
}

int write_pen_events(DeviceClass c, const Action *actions, std::size_t n,
                     const EventWriter &write) {
    const bool pointer = c == DeviceClass::Pointer;
    const auto position = [&write](const Action &a) {
        return write(EV_ABS, ABS_X, pixel_units(a.x)) | write(EV_ABS, ABS_Y, pixel_units(a.y));
    };
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        const Action &a = actions[i];
        int rc = 0;
        switch (a.kind) {
            case ActionKind::ProximityIn:
                // The tool comes in with its position; a pointer has no
                // proximity, only the position.
                rc = position(a);
                if (!pointer)
                    rc |= write(EV_KEY, BTN_TOOL_PEN, 1);
                break;
            case ActionKind::Move:
                rc = position(a);
                break;
            case ActionKind::Press:
            case ActionKind::Release: {
                unsigned code = BTN_RIGHT;
                if (a.button == Button::Left)
                    code = pointer ? BTN_LEFT : BTN_TOUCH;
                rc = write(EV_KEY, code, a.kind == ActionKind::Press ? 1 : 0);
                break;
            }
            case ActionKind::ProximityOut:
                if (pointer)
                    continue;
                rc = write(EV_KEY, BTN_TOOL_PEN, 0);
                break;
        }
        if (rc != 0)
            return -1;
        any = true;
    }
    if (any && write(EV_SYN, SYN_REPORT, 0) != 0)
        return -1;
    return 0;
}

UinputBackend::~UinputBackend() {
    if (uidev_ != nullptr)
        libevdev_uinput_destroy(uidev_);
    if (dev_ != nullptr)
        libevdev_free(dev_);
    if (fd_ >= 0)
        close(fd_);
}

int UinputBackend::open(int width, int height, const char *node) {
    node_ = node;
    dev_ = make_pen_description(class_, width, height);
    if (dev_ == nullptr) {
        fmouse_err("uinput: pen device description refused\n");
        return -1;
    }
    // The node is opened here rather than by libevdev, so that a refusal is
    // told apart from the other cases by its errno. Opening it loads the
    // uinput module where the node is the kernel's static one.
    fd_ = ::open(node, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        report_refusal(errno, node);
        return -1;
    }
    int rc = libevdev_uinput_create_from_device(dev_, fd_, &uidev_);
    if (rc != 0) {
        report_refusal(-rc, node);
        uidev_ = nullptr;
        close(fd_);
        fd_ = -1;
        return -1;
    }
    width_ = width;
    height_ = height;
    fmouse_msgf("uinput: virtual %s %s, %d x %d\n", device_class_name(class_),
                libevdev_uinput_get_devnode(uidev_) ? libevdev_uinput_get_devnode(uidev_) : "?",
                width, height);
    return 0;
}

int UinputBackend::resize(int width, int height) {
    if (width == width_ && height == height_)
        return 0;
    // The new device is made before the old one goes: when it cannot be,
    // the pen keeps the old range rather than having none.
    UinputBackend fresh(class_);
    if (fresh.open(width, height, node_) != 0)
        return -1;
    std::swap(dev_, fresh.dev_);
    std::swap(uidev_, fresh.uidev_);
    std::swap(fd_, fresh.fd_);
    std::swap(width_, fresh.width_);
    std::swap(height_, fresh.height_);
    return 0;
}

int UinputBackend::perform(const Action *actions, std::size_t n) {
    // Records hold 12 bits; a position beyond the screen goes to its edge
    // rather than outside the device's range.
    std::array<Action, kMaxActions> a;
    n = std::min(n, a.size());
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = actions[i];
        a[i].x = std::clamp(a[i].x, 0, width_ - 1);
        a[i].y = std::clamp(a[i].y, 0, height_ - 1);
    }
    return write_pen_events(class_, a.data(), n, [this](unsigned type, unsigned code, int value) {
        return libevdev_uinput_write_event(uidev_, type, code, value) == 0 ? 0 : 1;
    });
}

}  // namespace ink::pointer
