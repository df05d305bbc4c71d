// inkpointer: the pointer consumer. Reads the daemon's pointer records from
// the pointer pipe and turns them into pointer movement and button presses on
// the desktop, through a uinput virtual pen (X11 and Wayland) or, failing
// that, XTest on an X display.
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "area_follower.h"
#include "consumer.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "monitors.h"
#include "uinput_backend.h"
#include "unique_fd.h"
#include "xtest_backend.h"

using namespace ink::pointer;

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

// The X display went away (the session ended, the server died): said, and
// then Xlib ends the program (status 1). A uinput pen goes with the process,
// and with it any button it held.
int on_display_lost(Display *) {
    fmouse_err("the X display is gone\n");
    return 0;
}

enum class BackendChoice { Auto, Uinput, XTest };

struct Options {
    BackendChoice backend = BackendChoice::Auto;
    DeviceClass device = DeviceClass::Pointer;
    const char *display = nullptr;  // nullptr: $DISPLAY
    int width = 0;                  // 0: the X screen's
    int height = 0;
    const char *log = nullptr;  // file that gets every record as a text line
};

void usage(FILE *f) {
    std::fprintf(f,
                 "usage: inkpointer [--backend auto|uinput|xtest] [--device pointer|pen|tablet] "
                 "[--display NAME] [--screen WxH] [--log FILE] [--vxd-debug]\n");
}

bool parse_args(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--vxd-debug") {
            vxd_debug_flag = 1;
        } else if (a == "--backend" && has_value) {
            std::string v = argv[++i];
            if (v == "auto")
                o->backend = BackendChoice::Auto;
            else if (v == "uinput")
                o->backend = BackendChoice::Uinput;
            else if (v == "xtest")
                o->backend = BackendChoice::XTest;
            else
                return false;
        } else if (a == "--device" && has_value) {
            if (parse_device_class(argv[++i], &o->device) != 0)
                return false;
        } else if (a == "--display" && has_value) {
            o->display = argv[++i];
        } else if (a == "--log" && has_value) {
            o->log = argv[++i];
        } else if (a == "--screen" && has_value) {
            char tail;
            if (std::sscanf(argv[++i], "%dx%d%c", &o->width, &o->height, &tail) != 2 ||
                o->width < 1 || o->height < 1 || o->width > 4096 || o->height > 4096)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

struct CloseDisplay {
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, CloseDisplay>;

std::unique_ptr<UinputBackend> open_uinput(const Options &o, Display *dpy) {
    int w = o.width, h = o.height;
    if (w == 0) {
        if (dpy == nullptr) {
            fmouse_err("uinput: screen size unknown (no X display): give --screen WxH\n");
            return nullptr;
        }
        w = DisplayWidth(dpy, DefaultScreen(dpy));
        h = DisplayHeight(dpy, DefaultScreen(dpy));
    }
    auto b = std::make_unique<UinputBackend>(o.device);
    if (b->open(w, h) != 0)
        return nullptr;
    return b;
}

std::unique_ptr<Backend> open_xtest(const Options &o) {
    auto b = std::make_unique<XTestBackend>();
    if (b->open(o.display) != 0)
        return nullptr;
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!parse_args(argc, argv, &opt)) {
        usage(stderr);
        return 2;
    }

    // The display the monitors come from (and the uinput pen's range). With
    // --screen the uinput pen needs none: its range is the size given and
    // the records are not moved (no monitors are known).
    XSetIOErrorHandler(on_display_lost);
    DisplayPtr dpy;
    if (opt.width == 0 || opt.backend == BackendChoice::XTest)
        dpy.reset(XOpenDisplay(opt.display));
    std::unique_ptr<Backend> backend;
    UinputBackend *uinput = nullptr;
    if (opt.backend != BackendChoice::XTest) {
        auto u = open_uinput(opt, dpy.get());
        uinput = u.get();
        backend = std::move(u);
    }
    if (!backend && opt.backend != BackendChoice::Uinput) {
        if (opt.backend == BackendChoice::Auto)
            std::fprintf(stderr, "inkpointer: trying XTest instead (it reaches X windows only)\n");
        backend = open_xtest(opt);
        if (backend && !dpy)
            dpy.reset(XOpenDisplay(opt.display));
    }
    if (!backend) {
        std::fprintf(stderr, "inkpointer: no pointer backend could be opened%s\n",
                     vxd_debug_flag ? "" : " (--vxd-debug tells why)");
        return 1;
    }
    if (uinput != nullptr && opt.width != 0)
        dpy.reset();

    if (ensure_fifo(ink::path::kPointerFifo) != 0) {
        std::fprintf(stderr, "inkpointer: %s is not usable\n", ink::path::kPointerFifo);
        return 1;
    }
    ink::UniqueFd fd(open_fifo(ink::path::kPointerFifo));
    if (!fd.valid()) {
        std::fprintf(stderr, "inkpointer: cannot open %s\n", ink::path::kPointerFifo);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a signal ends the wait at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    fmouse_msgf("reading %s through %s\n", ink::path::kPointerFifo, backend->name());
    Consumer consumer(*backend);
    std::FILE *log = nullptr;
    if (opt.log != nullptr) {
        log = std::fopen(opt.log, "a");
        if (log == nullptr) {
            std::fprintf(stderr, "inkpointer: cannot write %s: %s\n", opt.log,
                         std::strerror(errno));
            return 1;
        }
        // One line per record: monotonic time in microseconds, the four bytes.
        consumer.set_observer([log](const RecordBytes &b) {
            std::fprintf(log, "%lld %02x %02x %02x %02x\n", ink::time::now_us(), b[0], b[1], b[2],
                         b[3]);
            std::fflush(log);
        });
    }
    AreaFollower follower;
    follower.start(dpy.get(), ink::monitors::choice_path());
    consumer.set_area(follower.area());
    // A new area applies from the next record on; a new screen size gives
    // the uinput pen a new range (--screen fixes it).
    auto follow = [&] {
        if (!follower.update())
            return;
        consumer.set_area(follower.area());
        const ink::monitors::Rect &scr = follower.screen();
        if (uinput != nullptr && opt.width == 0 &&
            (scr.width != uinput->width() || scr.height != uinput->height())) {
            consumer.release_all();
            if (uinput->resize(scr.width, scr.height) != 0)
                fmouse_errf("uinput: the pen keeps its %d x %d range\n", uinput->width(),
                            uinput->height());
        }
    };
    const int wait_ms = static_cast<int>(ink::time::pause_ms(500));
    while (!g_stop) {
        if (follower.events_queued())
            follow();
        pollfd p[3] = {{fd.get(), POLLIN, 0},
                       {follower.display_fd(), POLLIN, 0},
                       {follower.watch_fd(), POLLIN, 0}};
        int r = poll(p, 3, wait_ms);  // a descriptor of -1 is left out
        if (r < 0 && errno != EINTR) {
            fmouse_errf("poll: %s\n", std::strerror(errno));
            break;
        }
        if (r <= 0)
            continue;
        if (p[1].revents != 0 || p[2].revents != 0)
            follow();
        if (p[0].revents == 0)
            continue;
        std::uint8_t buf[256];
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            fmouse_errf("read: %s\n", std::strerror(errno));
            break;
        }
        consumer.feed(buf, static_cast<std::size_t>(n));
    }
    consumer.release_all();
    if (log != nullptr)
        std::fclose(log);
    fmouse_msgf("%ld records\n", consumer.records());
    return 0;
}
