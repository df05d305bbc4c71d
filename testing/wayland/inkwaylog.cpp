// inkwaylog: covers every output of a Wayland compositor with a fullscreen
// window and logs, one flushed line per event, where the pointer and the
// tablet tools land, in the layout's coordinates (the output's position plus
// the position in its window, in the layout's units):
//
//   output NAME X Y W H          each output, at the start
//   window NAME W H              the size the compositor gave that output's
//                                window (where the layout counts physical
//                                pixels, a scaled output's is smaller)
//   ready                        every window on screen at its output's size
//   seat pointer|no pointer      the seat gained or lost its pointer
//   pointer enter|motion X Y NAME
//   pointer button CODE press|release X Y NAME
//   pointer leave NAME
//   tablet proximity-in|down|motion|up|proximity-out X Y NAME
//   tablet button CODE press|release X Y NAME
//   end REASON                   an output or the compositor went away
//
// Tablet events are logged per frame, in that order, the position the
// frame's own. With --no-tablet the tablet protocol is not bound: the
// compositor then gives the pen to this client as a pointer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <wayland-client.h>

#include "tablet-unstable-v2-client.h"
#include "xdg-output-unstable-v1-client.h"
#include "xdg-shell-client.h"

namespace {

struct Output {
    uint32_t global = 0;
    wl_output *output = nullptr;
    zxdg_output_v1 *xdg = nullptr;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;  // in the layout
    // The window's size, as the compositor configured it: smaller than the
    // output's in the layout where the layout counts an output's physical
    // pixels and the window its logical ones (a scaled output on a
    // compositor whose layout is physical).
    int win_w = 0, win_h = 0;
    wl_surface *surface = nullptr;
    xdg_surface *xsurface = nullptr;
    xdg_toplevel *toplevel = nullptr;
    wl_buffer *buffer = nullptr;
    int buffer_w = 0, buffer_h = 0;
    wl_callback *frame = nullptr;  // asked with the first buffer
    bool shown = false;            // the compositor has drawn it
};

struct Tool {
    zwp_tablet_tool_v2 *tool = nullptr;
    Output *out = nullptr;  // the window the tool is over
    double x = 0, y = 0;
    // The frame's events, logged at its end.
    bool prox_in = false, down = false, moved = false, up = false, prox_out = false;
    std::vector<std::pair<uint32_t, bool>> buttons;
};

struct App {
    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_compositor *compositor = nullptr;
    wl_shm *shm = nullptr;
    xdg_wm_base *wm = nullptr;
    wl_seat *seat = nullptr;
    wl_pointer *pointer = nullptr;
    zxdg_output_manager_v1 *xdg_outputs = nullptr;
    zwp_tablet_manager_v2 *tablets = nullptr;
    zwp_tablet_seat_v2 *tablet_seat = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    std::vector<std::unique_ptr<Tool>> tools;
    bool want_tablet = true;
    bool started = false;  // the windows exist: a change of outputs ends the run
    bool ready = false;
    bool done = false;
    Output *pointer_out = nullptr;
    double px = 0, py = 0;
};

App app;

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A layout coordinate: whole numbers as such, fractions to two places.
std::string coord(double v) {
    char b[32];
    if (v == std::floor(v))
        std::snprintf(b, sizeof b, "%.0f", v);
    else
        std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

std::string where(const Output *o, double x, double y) {
    if (!o)
        return "? ? ?";
    if (o->win_w > 0 && o->win_h > 0) {
        x = x * o->width / o->win_w;
        y = y * o->height / o->win_h;
    }
    return coord(o->x + x) + " " + coord(o->y + y) + " " + o->name;
}

Output *output_of_surface(wl_surface *s) {
    for (auto &o : app.outputs)
        if (o->surface == s)
            return o.get();
    return nullptr;
}

void end(const char *reason) {
    if (!app.done)
        say("end %s", reason);
    app.done = true;
}

// --- shm buffers: one white XRGB buffer per window at its size.
wl_buffer *make_buffer(int w, int h) {
    const int stride = w * 4;
    const size_t size = static_cast<size_t>(stride) * h;
    int fd = memfd_create("inkwaylog", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return nullptr;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    std::memset(p, 0xff, size);
    munmap(p, size);
    wl_shm_pool *pool = wl_shm_create_pool(app.shm, fd, static_cast<int32_t>(size));
    wl_buffer *b = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return b;
}

void check_ready() {
    if (app.ready)
        return;
    for (auto &o : app.outputs)
        if (!o->shown)
            return;
    app.ready = true;
}

// The first frame callback of a window: the compositor has drawn it. Until
// then a window that is committed may not be on screen yet, and a compositor
// slow to draw (under emulation, seconds) gives the pointer to what was
// there before.
void frame_done(void *data, wl_callback *cb, uint32_t) {
    Output *o = static_cast<Output *>(data);
    wl_callback_destroy(cb);
    o->frame = nullptr;
    o->shown = true;
}
const wl_callback_listener frame_listener = {frame_done};

// --- xdg-shell
void wm_ping(void *, xdg_wm_base *wm, uint32_t serial) {
    xdg_wm_base_pong(wm, serial);
}
const xdg_wm_base_listener wm_listener = {wm_ping};

void xsurface_configure(void *data, xdg_surface *xs, uint32_t serial) {
    Output *o = static_cast<Output *>(data);
    xdg_surface_ack_configure(xs, serial);
    int w = o->win_w > 0 ? o->win_w : o->width, h = o->win_h > 0 ? o->win_h : o->height;
    if (w <= 0 || h <= 0)
        return;
    if (!o->buffer || o->buffer_w != w || o->buffer_h != h) {
        if (o->buffer)
            wl_buffer_destroy(o->buffer);
        o->buffer = make_buffer(w, h);
        if (!o->buffer) {
            end("no shared memory for a window");
            return;
        }
        o->buffer_w = w;
        o->buffer_h = h;
    }
    wl_surface_attach(o->surface, o->buffer, 0, 0);
    wl_surface_damage(o->surface, 0, 0, w, h);
    if (!o->shown && !o->frame) {
        o->frame = wl_surface_frame(o->surface);
        wl_callback_add_listener(o->frame, &frame_listener, o);
    }
    wl_surface_commit(o->surface);
}
const xdg_surface_listener xsurface_listener = {xsurface_configure};

void toplevel_configure(void *data, xdg_toplevel *, int32_t w, int32_t h, wl_array *) {
    Output *o = static_cast<Output *>(data);
    // The compositor's size for a fullscreen window is the output's; 0 leaves
    // it to us, and the output's logical size is what covers it.
    if (w > 0 && h > 0 && (w != o->win_w || h != o->win_h)) {
        say("window %s %d %d", o->name.c_str(), w, h);
        o->win_w = w;
        o->win_h = h;
    }
}
void toplevel_close(void *, xdg_toplevel *) {
    end("window closed");
}
// Listeners are filled by name: newer protocol files add events at the end,
// which the versions bound here never send.
const xdg_toplevel_listener toplevel_listener = [] {
    xdg_toplevel_listener l{};
    l.configure = toplevel_configure;
    l.close = toplevel_close;
    return l;
}();

void make_window(Output *o) {
    o->surface = wl_compositor_create_surface(app.compositor);
    o->xsurface = xdg_wm_base_get_xdg_surface(app.wm, o->surface);
    xdg_surface_add_listener(o->xsurface, &xsurface_listener, o);
    o->toplevel = xdg_surface_get_toplevel(o->xsurface);
    xdg_toplevel_add_listener(o->toplevel, &toplevel_listener, o);
    xdg_toplevel_set_title(o->toplevel, ("inkwaylog " + o->name).c_str());
    xdg_toplevel_set_app_id(o->toplevel, "inkwaylog");
    xdg_toplevel_set_fullscreen(o->toplevel, o->output);
    wl_surface_commit(o->surface);
}

// --- xdg-output: each output's name and place in the layout.
void xo_position(void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
    Output *o = static_cast<Output *>(data);
    o->x = x;
    o->y = y;
}
void xo_size(void *data, zxdg_output_v1 *, int32_t w, int32_t h) {
    Output *o = static_cast<Output *>(data);
    o->width = w;
    o->height = h;
}
void xo_done(void *, zxdg_output_v1 *) {}
void xo_name(void *data, zxdg_output_v1 *, const char *name) {
    static_cast<Output *>(data)->name = name;
}
void xo_description(void *, zxdg_output_v1 *, const char *) {}
const zxdg_output_v1_listener xo_listener = {xo_position, xo_size, xo_done, xo_name,
                                             xo_description};

// --- the pointer
void p_enter(void *, wl_pointer *, uint32_t, wl_surface *s, wl_fixed_t x, wl_fixed_t y) {
    app.pointer_out = output_of_surface(s);
    app.px = wl_fixed_to_double(x);
    app.py = wl_fixed_to_double(y);
    say("pointer enter %s", where(app.pointer_out, app.px, app.py).c_str());
}
void p_leave(void *, wl_pointer *, uint32_t, wl_surface *) {
    say("pointer leave %s", app.pointer_out ? app.pointer_out->name.c_str() : "?");
    app.pointer_out = nullptr;
}
void p_motion(void *, wl_pointer *, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    app.px = wl_fixed_to_double(x);
    app.py = wl_fixed_to_double(y);
    say("pointer motion %s", where(app.pointer_out, app.px, app.py).c_str());
}
void p_button(void *, wl_pointer *, uint32_t, uint32_t, uint32_t button, uint32_t state) {
    say("pointer button %u %s %s", button,
        state == WL_POINTER_BUTTON_STATE_PRESSED ? "press" : "release",
        where(app.pointer_out, app.px, app.py).c_str());
}
void p_axis(void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {}
const wl_pointer_listener pointer_listener = [] {
    wl_pointer_listener l{};
    l.enter = p_enter;
    l.leave = p_leave;
    l.motion = p_motion;
    l.button = p_button;
    l.axis = p_axis;
    return l;
}();

void seat_caps(void *, wl_seat *seat, uint32_t caps) {
    const bool has = (caps & WL_SEAT_CAPABILITY_POINTER) != 0;
    if (has && !app.pointer) {
        app.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(app.pointer, &pointer_listener, nullptr);
        say("seat pointer");
    } else if (!has && app.pointer) {
        wl_pointer_destroy(app.pointer);
        app.pointer = nullptr;
        app.pointer_out = nullptr;
        say("seat no pointer");
    }
}
void seat_name(void *, wl_seat *, const char *) {}
const wl_seat_listener seat_listener = {seat_caps, seat_name};

// --- tablet tools
void t_type(void *, zwp_tablet_tool_v2 *, uint32_t) {}
void t_serial(void *, zwp_tablet_tool_v2 *, uint32_t, uint32_t) {}
void t_wacom(void *, zwp_tablet_tool_v2 *, uint32_t, uint32_t) {}
void t_capability(void *, zwp_tablet_tool_v2 *, uint32_t) {}
void t_done(void *, zwp_tablet_tool_v2 *) {}
void t_removed(void *data, zwp_tablet_tool_v2 *t) {
    Tool *tool = static_cast<Tool *>(data);
    zwp_tablet_tool_v2_destroy(t);
    tool->tool = nullptr;
}
void t_prox_in(void *data, zwp_tablet_tool_v2 *, uint32_t, zwp_tablet_v2 *, wl_surface *s) {
    Tool *t = static_cast<Tool *>(data);
    t->out = output_of_surface(s);
    t->prox_in = true;
}
void t_prox_out(void *data, zwp_tablet_tool_v2 *) {
    static_cast<Tool *>(data)->prox_out = true;
}
void t_down(void *data, zwp_tablet_tool_v2 *, uint32_t) {
    static_cast<Tool *>(data)->down = true;
}
void t_up(void *data, zwp_tablet_tool_v2 *) {
    static_cast<Tool *>(data)->up = true;
}
void t_motion(void *data, zwp_tablet_tool_v2 *, wl_fixed_t x, wl_fixed_t y) {
    Tool *t = static_cast<Tool *>(data);
    t->x = wl_fixed_to_double(x);
    t->y = wl_fixed_to_double(y);
    t->moved = true;
}
void t_pressure(void *, zwp_tablet_tool_v2 *, uint32_t) {}
void t_distance(void *, zwp_tablet_tool_v2 *, uint32_t) {}
void t_tilt(void *, zwp_tablet_tool_v2 *, wl_fixed_t, wl_fixed_t) {}
void t_rotation(void *, zwp_tablet_tool_v2 *, wl_fixed_t) {}
void t_slider(void *, zwp_tablet_tool_v2 *, int32_t) {}
void t_wheel(void *, zwp_tablet_tool_v2 *, wl_fixed_t, int32_t) {}
void t_button(void *data, zwp_tablet_tool_v2 *, uint32_t, uint32_t button, uint32_t state) {
    static_cast<Tool *>(data)->buttons.emplace_back(
        button, state == ZWP_TABLET_TOOL_V2_BUTTON_STATE_PRESSED);
}
void t_frame(void *data, zwp_tablet_tool_v2 *, uint32_t) {
    Tool *t = static_cast<Tool *>(data);
    const std::string at = where(t->out, t->x, t->y);
    if (t->prox_in)
        say("tablet proximity-in %s", at.c_str());
    if (t->down)
        say("tablet down %s", at.c_str());
    if (t->moved && !t->prox_in && !t->down)
        say("tablet motion %s", at.c_str());
    for (auto &b : t->buttons)
        say("tablet button %u %s %s", b.first, b.second ? "press" : "release", at.c_str());
    if (t->up)
        say("tablet up %s", at.c_str());
    if (t->prox_out) {
        say("tablet proximity-out %s", at.c_str());
        t->out = nullptr;
    }
    t->prox_in = t->down = t->moved = t->up = t->prox_out = false;
    t->buttons.clear();
}
const zwp_tablet_tool_v2_listener tool_listener = {
    t_type,     t_serial, t_wacom, t_capability, t_done,     t_removed,  t_prox_in,
    t_prox_out, t_down,   t_up,    t_motion,     t_pressure, t_distance, t_tilt,
    t_rotation, t_slider, t_wheel, t_button,     t_frame};

void ts_tablet(void *, zwp_tablet_seat_v2 *, zwp_tablet_v2 *) {}
void ts_tool(void *, zwp_tablet_seat_v2 *, zwp_tablet_tool_v2 *tool) {
    app.tools.push_back(std::make_unique<Tool>());
    app.tools.back()->tool = tool;
    zwp_tablet_tool_v2_add_listener(tool, &tool_listener, app.tools.back().get());
}
void ts_pad(void *, zwp_tablet_seat_v2 *, zwp_tablet_pad_v2 *) {}
const zwp_tablet_seat_v2_listener tablet_seat_listener = {ts_tablet, ts_tool, ts_pad};

// --- the registry
void add_output(uint32_t name, uint32_t version) {
    auto o = std::make_unique<Output>();
    o->global = name;
    o->output = static_cast<wl_output *>(
        wl_registry_bind(app.registry, name, &wl_output_interface, version < 2 ? version : 2));
    if (app.xdg_outputs) {
        o->xdg = zxdg_output_manager_v1_get_xdg_output(app.xdg_outputs, o->output);
        zxdg_output_v1_add_listener(o->xdg, &xo_listener, o.get());
    }
    app.outputs.push_back(std::move(o));
}

void global(void *, wl_registry *r, uint32_t name, const char *iface, uint32_t version) {
    auto bind = [&](const wl_interface *i, uint32_t most) {
        return wl_registry_bind(r, name, i, version < most ? version : most);
    };
    const std::string n = iface;
    if (n == wl_compositor_interface.name) {
        app.compositor = static_cast<wl_compositor *>(bind(&wl_compositor_interface, 4));
    } else if (n == wl_shm_interface.name) {
        app.shm = static_cast<wl_shm *>(bind(&wl_shm_interface, 1));
    } else if (n == xdg_wm_base_interface.name) {
        app.wm = static_cast<xdg_wm_base *>(bind(&xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(app.wm, &wm_listener, nullptr);
    } else if (n == wl_seat_interface.name && !app.seat) {
        app.seat = static_cast<wl_seat *>(bind(&wl_seat_interface, 4));
        wl_seat_add_listener(app.seat, &seat_listener, nullptr);
    } else if (n == zxdg_output_manager_v1_interface.name) {
        app.xdg_outputs =
            static_cast<zxdg_output_manager_v1 *>(bind(&zxdg_output_manager_v1_interface, 3));
    } else if (n == zwp_tablet_manager_v2_interface.name && app.want_tablet) {
        app.tablets =
            static_cast<zwp_tablet_manager_v2 *>(bind(&zwp_tablet_manager_v2_interface, 1));
    } else if (n == wl_output_interface.name) {
        if (app.started)
            end("an output was added");
        else
            add_output(name, version);
    }
}

void global_remove(void *, wl_registry *, uint32_t name) {
    for (auto &o : app.outputs)
        if (o->global == name)
            end(("output " + o->name + " removed").c_str());
}
const wl_registry_listener registry_listener = {global, global_remove};

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-tablet") == 0) {
            app.want_tablet = false;
        } else {
            std::fprintf(stderr, "usage: inkwaylog [--no-tablet]\n");
            return 2;
        }
    }
    app.display = wl_display_connect(nullptr);
    if (!app.display) {
        std::fprintf(stderr, "inkwaylog: no Wayland compositor (WAYLAND_DISPLAY)\n");
        return 1;
    }
    app.registry = wl_display_get_registry(app.display);
    wl_registry_add_listener(app.registry, &registry_listener, nullptr);
    // The globals, then the outputs' xdg-output objects (those bound before
    // the manager was seen get theirs now), then their names and places.
    wl_display_roundtrip(app.display);
    if (!app.compositor || !app.shm || !app.wm || !app.seat || !app.xdg_outputs) {
        std::fprintf(stderr,
                     "inkwaylog: the compositor lacks wl_compositor, wl_shm, xdg_wm_base, wl_seat "
                     "or zxdg_output_manager_v1\n");
        return 1;
    }
    if (app.want_tablet && !app.tablets) {
        std::fprintf(stderr, "inkwaylog: no zwp_tablet_manager_v2 (use --no-tablet)\n");
        return 1;
    }
    for (auto &o : app.outputs) {
        if (!o->xdg) {
            o->xdg = zxdg_output_manager_v1_get_xdg_output(app.xdg_outputs, o->output);
            zxdg_output_v1_add_listener(o->xdg, &xo_listener, o.get());
        }
    }
    if (app.tablets) {
        app.tablet_seat = zwp_tablet_manager_v2_get_tablet_seat(app.tablets, app.seat);
        zwp_tablet_seat_v2_add_listener(app.tablet_seat, &tablet_seat_listener, nullptr);
    }
    wl_display_roundtrip(app.display);
    if (app.outputs.empty()) {
        std::fprintf(stderr, "inkwaylog: the compositor has no outputs\n");
        return 1;
    }
    for (auto &o : app.outputs)
        say("output %s %d %d %d %d", o->name.c_str(), o->x, o->y, o->width, o->height);
    app.started = true;
    for (auto &o : app.outputs)
        make_window(o.get());

    while (!app.done) {
        if (wl_display_dispatch(app.display) < 0) {
            end("compositor gone");
            break;
        }
        if (!app.ready) {
            check_ready();
            // Every window is drawn; a round trip more and the compositor
            // has taken all that came before.
            if (app.ready) {
                if (wl_display_roundtrip(app.display) < 0) {
                    end("compositor gone");
                    break;
                }
                say("ready");
            }
        }
    }
    return 0;
}
