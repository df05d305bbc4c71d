// How the daemon's device code talks to the camera unit: the protocol's fixed
// pauses, and one exchange (the command out in one write, a pause, the reply
// of its fixed size in, printed and tested) said once for every command that
// has a reply. For fmouse_device.cpp and fmouse_camera.cpp.
#pragma once

#include "device_protocol.h"
#include "fmouse_comm.h"
#include "fmouse_sys.h"
#include "ink_time.h"

namespace ink::device {

// A fixed pause of the protocol: count sleeps of step_ms milliseconds each.
// The count is part of the timing (a scaled build still sleeps count times).
struct Pause {
    int count;
    long step_ms;
};
constexpr Pause steps(int count, long step_ms) {
    return {count, step_ms};
}
constexpr Pause seconds(long s) {
    return {1, s * 1000};
}
inline void pause_for(const Pause &p) {
    ink::time::wait_steps(p.count, p.step_ms);
}

constexpr Pause kNoPause = steps(0, 0);

inline int send_byte(unsigned char c) {
    return fmouse_write_out(&c, sizeof c);
}

inline bool flush_or_report() {
    if (fmouse_flush_in_buf() != 0) {
        fmouse_err("fmouse flush in buf error\n");
        return false;
    }
    return true;
}

// What a reply must hold for its exchange to succeed.
struct Expect {
    enum Kind { Anything, FirstIs, EveryIs } kind;
    unsigned char value;
    const char *err;  // printed when the reply holds something else
};
constexpr Expect kAnyReply{Expect::Anything, 0, nullptr};

// One exchange with the unit, said once: before_send is printed, the command
// goes out in one write, after `wait` before_read is printed and the reply of
// reply_size bytes read; show prints it, and `expect` tests it. Texts that are
// nullptr are not printed. 0, or -1 with the failing step's error line.
struct Exchange {
    int reply_size;
    Pause wait;
    const char *before_send;
    const char *send_err;
    const char *before_read;
    const char *read_err;
    void (*show)(const unsigned char *reply);
    Expect expect;
};

inline bool reply_as_expected(const unsigned char *reply, int n, const Expect &e) {
    switch (e.kind) {
        case Expect::Anything:
            return true;
        case Expect::FirstIs:
            return reply[0] == e.value;
        case Expect::EveryIs:
            for (int i = 0; i < n; ++i)
                if (reply[i] != e.value)
                    return false;
            return true;
    }
    return false;
}

inline int exchange(unsigned char *command, int size, unsigned char *reply, const Exchange &x) {
    if (x.before_send)
        fmouse_msg(x.before_send);
    if (fmouse_write_out(command, size) != 0) {
        fmouse_err(x.send_err);
        return -1;
    }
    pause_for(x.wait);
    if (x.before_read)
        fmouse_msg(x.before_read);
    if (fmouse_read_in(reply, x.reply_size) != 0) {
        fmouse_err(x.read_err);
        return -1;
    }
    if (x.show)
        x.show(reply);
    if (reply_as_expected(reply, x.reply_size, x.expect))
        return 0;
    fmouse_err(x.expect.err);
    return -1;
}

inline int exchange(unsigned char command, unsigned char *reply, const Exchange &x) {
    return exchange(&command, sizeof command, reply, x);
}

}  // namespace ink::device
