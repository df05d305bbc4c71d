// The monitors as real X servers report them: Xinerama heads where RandR
// misses them, RandR monitors added at run time, the whole screen otherwise.
// gtest before Xlib: Xlib's None macro would break gtest's own None.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "monitors.h"
#include "x/xsession.h"

namespace {

using ink::monitors::Rect;
using ink::monitors::Source;

TEST(MonitorsOnX, TwoXineramaHeadsThatRandRMisses) {
    if (!inktest::xephyr_installed())
        GTEST_SKIP() << "Xephyr is not installed";
    inktest::XServer x;
    ASSERT_TRUE(x.start_heads({{800, 600, 0, 0}, {640, 480, 800, 0}}));
    auto l = ink::monitors::query(x.dpy());
    EXPECT_EQ(l.source, Source::Xinerama);
    EXPECT_EQ(l.screen, (Rect{0, 0, 1440, 600}));
    // Such a server reports its first head's size in a screen-change event;
    // a program that takes it over into Xlib must still see the whole screen.
    int base = ink::monitors::select_layout_events(x.dpy());
    ASSERT_GE(base, 0);
    XRRScreenChangeNotifyEvent ev{};
    ev.type = base + RRScreenChangeNotify;
    ev.display = x.dpy();
    ev.root = DefaultRootWindow(x.dpy());
    ev.width = 800;
    ev.height = 600;
    XRRUpdateConfiguration(reinterpret_cast<XEvent *>(&ev));
    ASSERT_EQ(DisplayWidth(x.dpy(), 0), 800) << "Xlib took the event's size over";
    EXPECT_EQ(ink::monitors::query(x.dpy()).screen, (Rect{0, 0, 1440, 600}));
    ASSERT_EQ(l.monitors.size(), 2u);
    EXPECT_EQ(l.monitors[0].name, "XINERAMA-0");
    EXPECT_EQ(l.monitors[0].rect, (Rect{0, 0, 800, 600}));
    EXPECT_TRUE(l.monitors[0].primary) << "the first head counts as primary";
    EXPECT_EQ(l.monitors[1].name, "XINERAMA-1");
    EXPECT_EQ(l.monitors[1].rect, (Rect{800, 0, 640, 480}));
    EXPECT_FALSE(l.monitors[1].primary);
    EXPECT_EQ(ink::monitors::select(l, {}).rect, (Rect{800, 0, 640, 480}));
    EXPECT_EQ(ink::monitors::describe(l.monitors[1]), "XINERAMA-1 (640\u00d7480)");
}

TEST(MonitorsOnX, OneScreenThenAMonitorAddedAtRunTime) {
    if (!inktest::xvfb_installed())
        GTEST_SKIP() << "Xvfb is not installed";
    inktest::XServer x;
    ASSERT_TRUE(x.start(1600, 800));
    auto l = ink::monitors::query(x.dpy());
    ASSERT_EQ(l.monitors.size(), 1u);
    EXPECT_EQ(l.monitors[0].rect, (Rect{0, 0, 1600, 800}));
    EXPECT_TRUE(l.monitors[0].primary);
    EXPECT_EQ(ink::monitors::select(l, {}).rect, (Rect{0, 0, 1600, 800}));

    // A monitor defined through RandR 1.5, as a desktop does for a projector.
    int base = ink::monitors::select_layout_events(x.dpy());
    ASSERT_GE(base, 0);
    XRRMonitorInfo *m = XRRAllocateMonitor(x.dpy(), 0);
    m->name = XInternAtom(x.dpy(), "PROJ-1", False);
    m->x = 800;
    m->width = 800;
    m->height = 600;
    m->mwidth = 300;
    m->mheight = 200;
    XRRSetMonitor(x.dpy(), DefaultRootWindow(x.dpy()), m);
    XRRFreeMonitors(m);
    XSync(x.dpy(), False);
    l = ink::monitors::query(x.dpy());
    EXPECT_EQ(l.source, Source::RandR);
    ASSERT_EQ(l.monitors.size(), 2u);
    ink::monitors::Choice c;
    std::string err;
    ASSERT_TRUE(ink::monitors::parse_choice("PROJ-1\n", &c, &err));
    EXPECT_EQ(ink::monitors::select(l, c).rect, (Rect{800, 0, 800, 600}));
}

}  // namespace
