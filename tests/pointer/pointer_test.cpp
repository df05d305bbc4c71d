// Pointer records to actions, the pipe's handling, and the virtual pen's
// description and event stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "consumer.h"
#include "uinput_access.h"
#include "uinput_backend.h"

using namespace ink::pointer;

namespace {

struct Recorder : Backend {
    std::vector<Action> got;
    int perform(const Action *a, std::size_t n) override {
        got.insert(got.end(), a, a + n);
        return 0;
    }
    const char *name() const override { return "recorder"; }
};

std::string str(const Action &a) {
    const std::string at = std::to_string(a.x) + "," + std::to_string(a.y);
    const std::string b = a.button == Button::Left ? "L " : "R ";
    switch (a.kind) {
        case ActionKind::ProximityIn:
            return "in " + at;
        case ActionKind::Move:
            return "move " + at;
        case ActionKind::Press:
            return "press " + b + at;
        case ActionKind::Release:
            return "release " + b + at;
        case ActionKind::ProximityOut:
            return "out";
    }
    return "?";
}

std::vector<std::string> run(const std::vector<std::uint8_t> &bytes,
                             const ink::monitors::Rect &area = {}) {
    Recorder r;
    Consumer c(r);
    c.set_area(area);
    c.feed(bytes.data(), bytes.size());
    std::vector<std::string> out;
    for (const auto &a : r.got)
        out.push_back(str(a));
    return out;
}

using V = std::vector<std::string>;

int decode_record(const RecordBytes &b, Record *out) {
    return pointer_record_decode(b.data(), out);
}

}  // namespace

TEST(PointerRecord, DecodesPositionAndButtons) {
    Record r;
    ASSERT_EQ(decode_record({0xF4, 0x10, 0x2C, 0xC8}, &r), 0);
    EXPECT_EQ(std::make_tuple(r.x, r.y, r.left, r.right), std::make_tuple(300, 200, true, false));
    ASSERT_EQ(decode_record({0xF1, 0x32, 0xFF, 0xFF}, &r), 0);
    EXPECT_EQ(std::make_tuple(r.x, r.y, r.left, r.right), std::make_tuple(1023, 767, false, true));
    ASSERT_EQ(decode_record({0xF0, 0xFF, 0xFF, 0xFF}, &r), 0);
    EXPECT_EQ(std::make_tuple(r.x, r.y), std::make_tuple(4095, 4095));
    ASSERT_EQ(decode_record({0xF5, 0, 0, 0}, &r), 0);
    EXPECT_TRUE(r.left && r.right && !r.has_position());
    // Not a button byte: stream out of step.
    EXPECT_EQ(decode_record({0xE4, 0, 0, 0}, &r), -1);
    EXPECT_EQ(decode_record({0xF2, 0, 0, 0}, &r), -1);
    EXPECT_EQ(decode_record({0xF8, 0, 0, 0}, &r), -1);
}

TEST(PointerTranslate, StrokePressesOnFirstSetBitAndReleasesOnFirstClearOne) {
    // Hover at (100,50), touch there, draw to (300,200), lift at (300,200).
    EXPECT_EQ(run({0xF0, 0x00, 100,  50,   0xF4, 0x00, 100,  50,   0xF4, 0x10,
                   0x2C, 0xC8, 0xF4, 0x10, 0x2C, 0xC8, 0xF0, 0x10, 0x2C, 0xC8}),
              (V{"in 100,50", "move 100,50", "move 100,50", "press L 100,50", "move 300,200",
                 "move 300,200", "move 300,200", "release L 300,200"}));
}

TEST(PointerTranslate, RightClickAtZeroKeepsThePointerWhereItWas) {
    // A tap at (500,400), then the gesture's right click and the closing
    // record, both at (0,0): the pointer must not jump to the corner.
    EXPECT_EQ(run({0xF4, 0x11, 0xF4, 0x90, 0xF0, 0x11, 0xF4, 0x90, 0xF1, 0, 0, 0, 0xF0, 0, 0, 0}),
              (V{"in 500,400", "move 500,400", "press L 500,400", "move 500,400",
                 "release L 500,400", "press R 500,400", "release R 500,400", "out"}));
}

TEST(PointerTranslate, ClosingRecordReleasesWhatIsHeldAndLeavesProximity) {
    // The daemon's connection ends while the pen is down (unplug): F0 00 00 00.
    EXPECT_EQ(run({0xF5, 0x01, 0x02, 0x03, 0xF0, 0, 0, 0, 0xF0, 0, 0, 0}),
              (V{"in 2,259", "move 2,259", "press L 2,259", "press R 2,259", "release L 2,259",
                 "release R 2,259", "out"}));
    // The next connection's first record brings the pen back where it is.
    EXPECT_EQ(run({0xF0, 0, 0, 0, 0xF0, 0x00, 7, 9}), (V{"in 7,9", "move 7,9"}));
}

TEST(PointerConsumer, RecordsSplitAnywhereAndOutOfStepBytesAreSkipped) {
    Recorder r;
    Consumer c(r);
    const std::uint8_t rec[] = {0xF4, 0x10, 0x2C, 0xC8};
    c.feed(rec, 1);
    c.feed(rec + 1, 2);
    EXPECT_TRUE(r.got.empty());
    c.feed(rec + 3, 1);
    EXPECT_EQ(c.records(), 1);
    // Two stray bytes, then a whole release record: the consumer finds it.
    const std::uint8_t junk[] = {0x12, 0x34, 0xF0, 0x10, 0x2C, 0xC8};
    c.feed(junk, sizeof junk);
    EXPECT_EQ(c.records(), 2);
    EXPECT_EQ(c.bad_bytes(), 2);
    EXPECT_FALSE(c.state().left_down());
    c.release_all();
    EXPECT_EQ(str(r.got.back()), "out");
}

TEST(PointerArea, RecordsLandInTheChosenMonitor) {
    // A 640x480 monitor right of an 800x600 one: a tap at (10,20) of its
    // pixels, then the gesture's right click at (0,0), which stays there.
    EXPECT_EQ(run({0xF4, 0x00, 10, 20, 0xF0, 0x00, 10, 20, 0xF1, 0, 0, 0, 0xF0, 0, 0, 0},
                  {800, 0, 640, 480}),
              (V{"in 810,20", "move 810,20", "press L 810,20", "move 810,20", "release L 810,20",
                 "press R 810,20", "release R 810,20", "out"}));
    // A monitor below and left of the origin of another.
    EXPECT_EQ(run({0xF0, 0x00, 5, 7}, {0, 768, 1280, 720}), (V{"in 5,775", "move 5,775"}));
}

TEST(PointerArea, PositionsBeyondTheMonitorStayOnItsEdge) {
    // (700,500) and (4095,4095) are outside a 640x480 monitor at (800,0):
    // they go to its last pixel, not onto the monitor beside or below.
    EXPECT_EQ(run({0xF0, 0x21, 0xBC, 0xF4, 0xF0, 0xFF, 0xFF, 0xFF}, {800, 0, 640, 480}),
              (V{"in 1439,479", "move 1439,479", "move 1439,479"}));
}

TEST(PointerArea, NoAreaKeepsTheRecordsCoordinates) {
    // No X display, so no monitors: the pen's range is the given screen.
    EXPECT_EQ(run({0xF0, 0x21, 0xBC, 0xF4}), (V{"in 700,500", "move 700,500"}));
    EXPECT_EQ(run({0xF0, 0xFF, 0xFF, 0xFF}), (V{"in 4095,4095", "move 4095,4095"}));
}

TEST(PointerArea, ANewAreaAppliesFromTheNextRecordAndToTheFinalRelease) {
    Recorder r;
    Consumer c(r);
    c.set_area({800, 0, 640, 480});
    const std::uint8_t down[] = {0xF4, 0x00, 10, 20};
    c.feed(down, sizeof down);
    c.set_area({0, 0, 1440, 600});
    const std::uint8_t more[] = {0xF4, 0x00, 30, 40};
    c.feed(more, sizeof more);
    c.release_all();
    V got;
    for (const auto &a : r.got)
        got.push_back(str(a));
    EXPECT_EQ(got, (V{"in 810,20", "move 810,20", "press L 810,20", "move 30,40", "release L 30,40",
                      "out"}));
}

class PointerFifo : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/inkpointer-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/fmousefifo";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_, path_;
};

TEST_F(PointerFifo, CreatedWritableForAllWhateverTheUmask) {
    mode_t old = umask(077);
    ASSERT_EQ(ensure_fifo(path_.c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(ensure_fifo(path_.c_str()), 0);  // already there: kept
}

TEST_F(PointerFifo, SomethingElseInItsPlaceIsRefusedAndLeftAlone) {
    {
        std::FILE *f = std::fopen(path_.c_str(), "w");
        std::fputs("keep", f);
        std::fclose(f);
    }
    EXPECT_EQ(ensure_fifo(path_.c_str()), -1);
    EXPECT_EQ(open_fifo(path_.c_str()), -1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

TEST_F(PointerFifo, WritersComingAndGoingLoseNothingAndCauseNoWakeUps) {
    ASSERT_EQ(ensure_fifo(path_.c_str()), 0);
    int rd = open_fifo(path_.c_str());
    ASSERT_GE(rd, 0);
    Recorder r;
    Consumer c(r);
    for (int conn = 0; conn < 3; ++conn) {
        // The daemon's open does not wait while the consumer holds the pipe.
        int wr = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(wr, 0);
        const std::uint8_t recs[] = {0xF4, 0x00, 10, static_cast<std::uint8_t>(conn),
                                     0xF0, 0,    0,  0};
        ASSERT_EQ(write(wr, recs, 4), 4);
        ASSERT_EQ(write(wr, recs + 4, 4), 4);
        close(wr);
        std::uint8_t buf[64];
        ssize_t n = read(rd, buf, sizeof buf);
        ASSERT_EQ(n, 8);
        c.feed(buf, static_cast<std::size_t>(n));
        // The writer is gone: no end of file, no hang-up, nothing to read.
        pollfd p{rd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 50), 0);
    }
    EXPECT_EQ(c.records(), 6);
    EXPECT_FALSE(c.state().left_down());
    close(rd);
}

TEST(VirtualPen, EachClassDescribesItsDeviceOverTheScreensPixels) {
    struct Want {
        DeviceClass c;
        bool direct;
        std::vector<unsigned> keys, absent;
    };
    const Want wants[] = {
        {DeviceClass::Pointer, false, {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, {BTN_TOOL_PEN, BTN_TOUCH}},
        {DeviceClass::Pen, true, {BTN_TOOL_PEN, BTN_TOUCH, BTN_RIGHT}, {BTN_LEFT}},
        {DeviceClass::Tablet, false, {BTN_TOOL_PEN, BTN_TOUCH, BTN_RIGHT}, {BTN_LEFT}},
    };
    for (const Want &w : wants) {
        SCOPED_TRACE(device_class_name(w.c));
        libevdev *d = make_pen_description(w.c, 1366, 768);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(libevdev_has_property(d, INPUT_PROP_DIRECT), w.direct ? 1 : 0);
        // Four units per pixel, one pixel being 4 units per mm to libinput.
        EXPECT_EQ(libevdev_get_abs_minimum(d, ABS_X), 0);
        EXPECT_EQ(libevdev_get_abs_maximum(d, ABS_X), 5463);
        EXPECT_EQ(libevdev_get_abs_maximum(d, ABS_Y), 3071);
        EXPECT_EQ(libevdev_get_abs_info(d, ABS_X)->resolution, 4);
        EXPECT_EQ(libevdev_get_abs_info(d, ABS_Y)->resolution, 4);
        for (unsigned code : w.keys)
            EXPECT_TRUE(libevdev_has_event_code(d, EV_KEY, code)) << code;
        for (unsigned code : w.absent)
            EXPECT_FALSE(libevdev_has_event_code(d, EV_KEY, code)) << code;
        EXPECT_FALSE(libevdev_has_event_code(d, EV_REL, REL_X));
        EXPECT_STREQ(libevdev_get_name(d), "Vexor Pen");
        libevdev_free(d);
        EXPECT_EQ(make_pen_description(w.c, 0, 768), nullptr);
    }
    DeviceClass c = DeviceClass::Pen;
    EXPECT_EQ(parse_device_class("pointer", &c), 0);
    EXPECT_EQ(c, DeviceClass::Pointer);
    EXPECT_EQ(parse_device_class("tablet", &c), 0);
    EXPECT_EQ(c, DeviceClass::Tablet);
    EXPECT_EQ(parse_device_class("mouse", &c), -1);
    EXPECT_EQ(parse_device_class("", &c), -1);
    EXPECT_EQ(c, DeviceClass::Tablet);
}

namespace {
struct Ev {
    unsigned type, code;
    int value;
    bool operator==(const Ev &o) const {
        return type == o.type && code == o.code && value == o.value;
    }
};
std::vector<Ev> pen_events(DeviceClass cls, const std::vector<std::uint8_t> &bytes) {
    std::vector<Ev> out;
    // One event frame per record.
    Recorder one;
    Consumer c2(one);
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        one.got.clear();
        c2.feed(bytes.data() + i, 4);
        write_pen_events(cls, one.got.data(), one.got.size(),
                         [&](unsigned t, unsigned code, int v) {
                             out.push_back({t, code, v});
                             return 0;
                         });
    }
    return out;
}
}  // namespace

// A tap at (300, 200), then the three-tap gesture's right click at (0, 0) and
// the closing record. The pixel (300, 200) is written a quarter into it, in
// the device's quarter-pixel units: (1201, 801).
const std::vector<std::uint8_t> kTapAndRightClick = {0xF4, 0x10, 0x2C, 0xC8, 0xF0, 0x10, 0x2C, 0xC8,
                                                     0xF1, 0,    0,    0,    0xF0, 0,    0,    0};

TEST(VirtualPen, PenEventStreamOfATapAndARightClick) {
    auto ev = pen_events(DeviceClass::Pen, kTapAndRightClick);
    std::vector<Ev> want = {
        {EV_ABS, ABS_X, 1201},   {EV_ABS, ABS_Y, 801},    {EV_KEY, BTN_TOOL_PEN, 1},
        {EV_ABS, ABS_X, 1201},   {EV_ABS, ABS_Y, 801},    {EV_KEY, BTN_TOUCH, 1},
        {EV_SYN, SYN_REPORT, 0}, {EV_ABS, ABS_X, 1201},   {EV_ABS, ABS_Y, 801},
        {EV_KEY, BTN_TOUCH, 0},  {EV_SYN, SYN_REPORT, 0}, {EV_KEY, BTN_RIGHT, 1},
        {EV_SYN, SYN_REPORT, 0}, {EV_KEY, BTN_RIGHT, 0},  {EV_KEY, BTN_TOOL_PEN, 0},
        {EV_SYN, SYN_REPORT, 0},
    };
    EXPECT_EQ(ev, want);
    // The indirect tablet writes the same stream.
    EXPECT_EQ(pen_events(DeviceClass::Tablet, kTapAndRightClick), want);
    // A failing write is reported.
    Action a{ActionKind::Move, 1, 2};
    EXPECT_EQ(write_pen_events(DeviceClass::Pen, &a, 1, [](unsigned, unsigned, int) { return 1; }),
              -1);
}

// The pointer has no proximity: the closing record's end of proximity writes
// nothing, and a record that only ends proximity makes no empty frame.
TEST(VirtualPen, PointerEventStreamOfATapAndARightClick) {
    auto ev = pen_events(DeviceClass::Pointer, kTapAndRightClick);
    std::vector<Ev> want = {
        {EV_ABS, ABS_X, 1201},   {EV_ABS, ABS_Y, 801},    {EV_ABS, ABS_X, 1201},
        {EV_ABS, ABS_Y, 801},    {EV_KEY, BTN_LEFT, 1},   {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_X, 1201},   {EV_ABS, ABS_Y, 801},    {EV_KEY, BTN_LEFT, 0},
        {EV_SYN, SYN_REPORT, 0}, {EV_KEY, BTN_RIGHT, 1},  {EV_SYN, SYN_REPORT, 0},
        {EV_KEY, BTN_RIGHT, 0},  {EV_SYN, SYN_REPORT, 0},
    };
    EXPECT_EQ(ev, want);
    Action out{ActionKind::ProximityOut, 5, 5};
    int writes = 0;
    EXPECT_EQ(write_pen_events(DeviceClass::Pointer, &out, 1,
                               [&](unsigned, unsigned, int) { return ++writes, 0; }),
              0);
    EXPECT_EQ(writes, 0);
}

// Every pixel of seven widths, on the two roads a position takes. The X
// server's: libinput scales the axis onto 0..65535, the server scales that
// onto the screen, and the core pointer truncates. A compositor's: libinput
// scales the axis onto the layout once, and the compositor passes the
// fraction on (its clients truncate) or rounds it. A quarter into the pixel
// lands on that pixel under each rule; the left edge would not survive the
// X server's scalings, the centre would be rounded into the next pixel.
TEST(VirtualPen, PositionsInsideThePixelSurviveEveryScaling) {
    EXPECT_EQ(pixel_units(0), 1);
    EXPECT_EQ(pixel_units(400), 1601);
    EXPECT_EQ(pixel_units(1279), 5117);
    for (int width : {640, 1024, 1280, 1366, 1600, 1920, 4096}) {
        const double range = 4.0 * width;  // the axis: 0 .. 4 * width - 1
        int edge_misses = 0, centre_misses = 0;
        for (int px = 0; px < width; ++px) {
            const double units = pixel_units(px);
            const double valuator = units * 65535.0 / range;
            ASSERT_EQ(static_cast<int>(valuator * width / 65536.0), px) << width;
            const double layout = units * width / range;
            ASSERT_EQ(static_cast<int>(layout), px) << width;
            ASSERT_EQ(std::lround(layout), px) << width;
            edge_misses += static_cast<int>(4.0 * px * 65535.0 / range * width / 65536.0) != px;
            centre_misses += std::lround((4.0 * px + 2) * width / range) != px;
        }
        EXPECT_GT(edge_misses, 0) << width;
        EXPECT_EQ(centre_misses, width) << width;
    }
}

// Only where the kernel has uinput: the real device, read back through
// libevdev. These machines have none, so this skips here.
TEST(VirtualPen, RealDeviceDeliversTheStream) {
    struct stat st {};
    if (stat(ink::path::kUinputNode, &st) != 0 || !S_ISCHR(st.st_mode) ||
        access(ink::path::kUinputNode, W_OK) != 0)
        GTEST_SKIP() << "no " << ink::path::kUinputNode << " on this machine";
    UinputBackend b;
    ASSERT_EQ(b.open(1024, 768), 0);
    Action acts[] = {{ActionKind::ProximityIn, 40, 30}, {ActionKind::Press, 40, 30, Button::Left}};
    EXPECT_EQ(b.perform(acts, 2), 0);
}

TEST(VirtualPen, MissingUinputIsAFailureNotACrash) {
    if (access(ink::path::kUinputNode, F_OK) == 0)
        GTEST_SKIP() << "this machine has uinput";
    UinputBackend b;
    EXPECT_EQ(b.open(1024, 768), -1);
}

// Why uinput was refused: each case named, with what the user does.
TEST(UinputRefusal, EachErrnoFallsInItsCase) {
    EXPECT_EQ(classify_uinput_errno(ENOENT), UinputRefusal::NoNode);
    EXPECT_EQ(classify_uinput_errno(ENODEV), UinputRefusal::NoDriver);
    EXPECT_EQ(classify_uinput_errno(ENXIO), UinputRefusal::NoDriver);
    EXPECT_EQ(classify_uinput_errno(EACCES), UinputRefusal::NoAccess);
    EXPECT_EQ(classify_uinput_errno(EPERM), UinputRefusal::NoAccess);
    EXPECT_EQ(classify_uinput_errno(ENOTTY), UinputRefusal::NotUinput);
    EXPECT_EQ(classify_uinput_errno(EINVAL), UinputRefusal::NotUinput);
    EXPECT_EQ(classify_uinput_errno(EBUSY), UinputRefusal::Other);
}

TEST(UinputRefusal, ExplanationSaysWhatToDo) {
    std::string none = explain_uinput_refusal(ENOENT, "/dev/uinput");
    EXPECT_NE(none.find("/dev/uinput does not exist"), std::string::npos) << none;
    EXPECT_NE(none.find("sudo modprobe uinput"), std::string::npos) << none;
    EXPECT_NE(none.find("/etc/modules-load.d/uinput.conf"), std::string::npos) << none;

    std::string nodrv = explain_uinput_refusal(ENODEV, "/dev/uinput");
    EXPECT_NE(nodrv.find("has no driver (No such device)"), std::string::npos) << nodrv;
    EXPECT_NE(nodrv.find("sudo modprobe uinput"), std::string::npos) << nodrv;

    std::string denied = explain_uinput_refusal(EACCES, "/dev/uinput");
    EXPECT_NE(denied.find("no permission to open /dev/uinput"), std::string::npos) << denied;
    EXPECT_NE(denied.find("log out and in again"), std::string::npos) << denied;
    // udev applies the rule to a loaded module's node only.
    EXPECT_NE(denied.find("sudo modprobe uinput && sudo udevadm trigger /dev/uinput"),
              std::string::npos)
        << denied;
    EXPECT_NE(denied.find("group"), std::string::npos) << denied;
    EXPECT_EQ(explain_uinput_refusal(EPERM, "/dev/uinput"), denied);

    EXPECT_EQ(explain_uinput_refusal(ENOTTY, "/x/uinput"),
              "uinput: /x/uinput is not the uinput device (Inappropriate ioctl for device)\n");
    EXPECT_EQ(explain_uinput_refusal(EBUSY, "/dev/uinput"),
              "uinput: cannot create the virtual pen on /dev/uinput: Device or resource busy\n");
    // Every case is one or two whole lines.
    for (int e : {ENOENT, ENODEV, EACCES, ENOTTY, EIO}) {
        std::string t = explain_uinput_refusal(e, "/dev/uinput");
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back(), '\n');
        EXPECT_LE(std::count(t.begin(), t.end(), '\n'), 2) << t;
    }
}

// A node that is missing, or a file or a pipe in its place: refused, and the
// descriptor opened for it is not left behind.
TEST(UinputRefusal, NodesThatAreNotUinputAreRefusedAndClosed) {
    char dir[] = "/tmp/uinput-refusal-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
    int f = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(f, 0);
    close(f);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto open_fds = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    const int before = open_fds();
    for (const std::string &node : {std::string(dir) + "/missing", file, fifo}) {
        UinputBackend b;
        EXPECT_EQ(b.open(320, 200, node.c_str()), -1) << node;
        EXPECT_EQ(open_fds(), before) << node;
    }
    unlink(file.c_str());
    unlink(fifo.c_str());
    rmdir(dir);
}
