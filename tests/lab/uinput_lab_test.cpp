// inkpointer on the real kernel's uinput: its device, the static node Debian's
// boot makes, the kernel's refusals, the package's udev rule, and an X server
// on libinput taking the pen's device.
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>

// The test framework first: Xlib's macros (None, Bool) would rename its names.
#include "lab.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

using namespace lab;

namespace {

// inkpointer as root with these arguments, to its end; its exit status.
int run_pointer(const std::vector<std::string> &prefix, std::string *out) {
    std::vector<std::string> argv = prefix;
    for (const char *a : {"/usr/bin/inkpointer", "--backend", "uinput", "--screen", "640x480"})
        argv.push_back(a);
    auto p = Process::start(argv, case_dir() + "/inkpointer.out");
    auto st = p.wait(30s);
    *out = p.output();
    return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
}

class Uinput : public ::testing::Test {
  protected:
    void SetUp() override {
        LAB_SKIP_OUTSIDE();
        ASSERT_TRUE(exists("/dev/uinput"));
    }
};

}  // namespace

// inkpointer's device appears, and records written to the pointer pipe come
// out as its events, read back through libinput.
TEST_F(Uinput, PenDeviceEventsThroughLibinput) {
    const std::string dir = case_dir();
    unlink(kFifo.c_str());
    auto pointer =
        Process::start({"/usr/bin/inkpointer", "--backend", "uinput", "--screen", "1024x768"},
                       dir + "/pointer.out");
    std::string node;
    ASSERT_TRUE(wait_until([&] { return !(node = pen_node()).empty() && exists(node); }, 20s))
        << "inkpointer's device appears\n"
        << pointer.output();
    auto li = Process::start({"/usr/bin/libinput", "debug-events", "--device", node},
                             dir + "/libinput.out");
    ASSERT_TRUE(li.wait_output("DEVICE_ADDED", 20s)) << li.output();
    pause_ms(1000);
    // A stroke of the replay data's records.
    PointerPipe pipe;
    ASSERT_TRUE(pipe.open());
    const uint8_t stroke[] = {0xf4, 0x00, 0xcd, 0xcb, 0xf4, 0x00, 0xd7, 0xcf, 0xf4, 0x00,
                              0xe1, 0xd4, 0xf4, 0x00, 0xeb, 0xda, 0xf0, 0x00, 0x00, 0x00};
    pipe.raw(stroke, sizeof stroke);
    EXPECT_TRUE(wait_until(
        [&] {
            auto o = li.output();
            return has(o, "TABLET_TOOL_AXIS") || has(o, "POINTER_MOTION_ABSOLUTE");
        },
        20s))
        << li.output() << pointer.output();
    // The press goes out with the first point, not held back behind the
    // next ones (libinput's middle button emulation is not on).
    ASSERT_TRUE(li.wait_output("released", 20s)) << li.output();
    const std::string o = li.output();
    const size_t second = o.find("MOTION_ABSOLUTE", o.find("MOTION_ABSOLUTE") + 1);
    EXPECT_LT(o.find("BTN_LEFT (272) pressed"), second) << o;
}

// The boot made /dev/uinput as a static node (kmod static-nodes) before
// anything loaded the module; the guest's boot noted what it found.
TEST_F(Uinput, StaticNodeMadeAtBootWithoutTheModule) {
    auto boot = read_file("/run/lab-boot-uinput.txt").value_or("");
    EXPECT_TRUE(std::regex_search(boot, std::regex("(^|\n)c.* 10, *223 .*/dev/uinput\n")) &&
                has(boot, "\nuinput not loaded"))
        << boot << sh("cat /run/tmpfiles.d/static-nodes.conf");
}

// The node without its module (the kernel's modprobe made to fail): the
// kernel says ENODEV, inkpointer says what to do.
TEST_F(Uinput, NodeWithoutItsModuleIsExplained) {
    auto err = sh("modprobe -r uinput");
    ASSERT_FALSE(exists("/sys/module/uinput")) << err;
    auto modprobe = read_file("/proc/sys/kernel/modprobe").value_or("/sbin/modprobe\n");
    inktest::write_file("/proc/sys/kernel/modprobe", "/bin/false\n");
    std::string out;
    int rc = run_pointer({}, &out);
    inktest::write_file("/proc/sys/kernel/modprobe", modprobe);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("inkpointer: uinput: /dev/uinput has no driver "
                                                  "\\(No such device\\).*sudo modprobe uinput")))
        << out;
}

// Opening the static node loads the module on demand (the kernel asks
// modprobe for char-major-10-223).
TEST_F(Uinput, OpeningTheNodeLoadsTheModule) {
    auto err = sh("modprobe -r uinput");
    ASSERT_FALSE(exists("/sys/module/uinput")) << err;
    int fd = open("/dev/uinput", O_RDWR);
    EXPECT_GE(fd, 0) << strerror(errno);
    close(fd);
    EXPECT_TRUE(exists("/sys/module/uinput")) << sh("ls -l /dev/uinput");
}

// The package's udev rule tags the node uaccess under the real udevd, and
// the static node too (udevd links it under static_node-tags at its start).
// The ACL itself is logind's work for the user at the seat: no logind here.
TEST_F(Uinput, UdevTagsTheNodeUaccess) {
    sh("udevadm settle -t 10");
    auto info = sh("udevadm info /dev/uinput");
    EXPECT_TRUE(std::regex_search(info, std::regex("(^|\n)E: TAGS=.*:uaccess:"))) << info;
    struct stat st;
    EXPECT_TRUE(lstat("/run/udev/static_node-tags/uaccess/uinput", &st) == 0 && S_ISLNK(st.st_mode))
        << sh("ls -lR /run/udev/static_node-tags");
}

// A user who is not given the node (nobody: no seat, no ACL, not root's):
// the kernel says EACCES, inkpointer says why.
TEST_F(Uinput, UserWithoutAccessIsExplained) {
    std::string out;
    EXPECT_EQ(
        run_pointer({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, &out),
        1);
    EXPECT_TRUE(has(out, "inkpointer: uinput: no permission to open /dev/uinput")) << out;
    EXPECT_TRUE(has(out, "inkpointer: uinput: a user not at a seat")) << out;
}

namespace {

// Input devices come from udev as the server finds them (its default).
const char kXorgConf[] = R"(Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
    Modeline "1600x900" 118.25 1600 1696 1856 2112 900 903 908 934 -hsync +vsync
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1600x900"
        Virtual 1600 900
    EndSubSection
EndSection
)";

// The master pointer's events on the root window, as XI2 gives them to
// clients: the devices they came from, and the button events as "press|release
// BUTTON X Y SOURCE", the position's pixel (the server gives fractions of a
// pixel; the pixel is their whole part, what core events get).
class XiLog {
  public:
    explicit XiLog(Display *d) : d_(d) {
        int ev, err;
        XQueryExtension(d, "XInputExtension", &opcode_, &ev, &err);
        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        for (int t : {XI_ButtonPress, XI_ButtonRelease, XI_Motion})
            XISetMask(mask, t);
        XIEventMask m{XIAllMasterDevices, sizeof mask, mask};
        XISelectEvents(d, DefaultRootWindow(d), &m, 1);
        XSync(d, False);
    }
    // Reads what comes for ms.
    void pump(int ms) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             std::chrono::steady_clock::now() < end;) {
            XEvent e;
            if (!XPending(d_)) {
                pause_ms(10);
                continue;
            }
            XNextEvent(d_, &e);
            if (e.xcookie.type != GenericEvent || e.xcookie.extension != opcode_ ||
                !XGetEventData(d_, &e.xcookie))
                continue;
            auto *x = static_cast<XIDeviceEvent *>(e.xcookie.data);
            sources.push_back(x->sourceid);
            if (x->evtype != XI_Motion)
                buttons.push_back((x->evtype == XI_ButtonPress ? "press " : "release ") +
                                  std::to_string(x->detail) + " " + std::to_string(int(x->root_x)) +
                                  " " + std::to_string(int(x->root_y)) + " " +
                                  std::to_string(x->sourceid));
            XFreeEventData(d_, &e.xcookie);
        }
    }
    std::vector<std::string> buttons;
    std::vector<int> sources;

  private:
    Display *d_;
    int opcode_ = 0;
};

int device_id(Display *d, const char *name) {
    int n = 0, id = -1;
    XIDeviceInfo *info = XIQueryDevice(d, XIAllDevices, &n);
    for (int i = 0; i < n; ++i)
        if (!std::strcmp(info[i].name, name))
            id = info[i].deviceid;
    XIFreeDeviceInfo(info);
    return id;
}

}  // namespace

// Xorg on the dummy video driver with input by udev hotplug: the X server's
// libinput driver takes inkpointer's device, inkpointer in `auto` takes
// uinput, and every tap and right click arrives once, from the pen's device
// only, on the pixel it was written to.
TEST_F(Uinput, XServerOnLibinputTakesThePen) {
    const std::string dir = case_dir();
    inktest::write_file(dir + "/xorg.conf", kXorgConf);
    // The first display number free in this machine.
    int n = 0;
    while (exists("/tmp/.X" + std::to_string(n) + "-lock"))
        ++n;
    const std::string display = ":" + std::to_string(n);
    setenv("DISPLAY", display.c_str(), 1);
    auto xorg = Process::start({"/usr/bin/Xorg", display, "-config", dir + "/xorg.conf", "-logfile",
                                dir + "/Xorg.log", "-nolisten", "tcp", "-novtswitch", "-sharevts"},
                               dir + "/Xorg.out");
    Display *d = nullptr;
    ASSERT_TRUE(wait_until([&] { return (d = XOpenDisplay(display.c_str())) != nullptr; }, 60s))
        << "Xorg (dummy video, udev input) starts\n"
        << sh("tail -n 30 " + dir + "/Xorg.log") << xorg.output();
    unlink(kFifo.c_str());
    auto pointer = Process::start({"/usr/bin/inkpointer", "--vxd-debug"}, dir + "/inkpointer.out");
    int pen = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            return std::regex_search(pointer.output(), std::regex("reading .* through uinput"));
        },
        30s))
        << "auto takes uinput\n"
        << pointer.output();
    ASSERT_TRUE(wait_until([&] { return (pen = device_id(d, "Vexor Pen")) > 0; }, 30s))
        << sh("xinput list");
    EXPECT_TRUE(has(read_file(dir + "/Xorg.log").value_or(""),
                    "Using input driver 'libinput' for 'Vexor Pen'"))
        << sh("grep -i 'vexor\\|libinput' " + dir + "/Xorg.log | tail -n 20");
    const int xtest = device_id(d, "Virtual core XTEST pointer");
    XiLog log(d);
    log.pump(1000);
    log.buttons.clear();

    // The first tap after the device appeared, one in the middle, the far
    // corner, then a right click where the last tap was.
    PointerPipe pipe;
    ASSERT_TRUE(pipe.open());
    std::vector<std::string> want;
    auto click = [&](int button, int x, int y) {
        for (const char *what : {"press ", "release "})
            want.push_back(what + std::to_string(button) + " " + std::to_string(x) + " " +
                           std::to_string(y) + " " + std::to_string(pen));
        wait_until([&] { return log.pump(50), log.buttons.size() >= want.size(); }, 10s);
        log.pump(500);
    };
    for (auto [x, y] : {std::pair{300, 400}, {800, 450}, {1599, 899}, {1000, 600}}) {
        pipe.rec(x, y);
        pipe.rec(x, y, false);
        pipe.end();
        click(1, x, y);
    }
    pipe.rec(0, 0, false, true);
    pipe.end();
    click(3, 1000, 600);
    EXPECT_EQ(log.buttons, want) << "4 taps and a right click, each press and release once, on "
                                    "its pixel, from Vexor Pen (XTest is "
                                 << xtest << ")";
    // Nothing came through XTest: nothing sent twice.
    EXPECT_GT(xtest, 0);
    EXPECT_EQ(std::count(log.sources.begin(), log.sources.end(), xtest), 0);
    XCloseDisplay(d);
    xorg.signal(SIGTERM);
    xorg.wait(10s);
    unsetenv("DISPLAY");
}
