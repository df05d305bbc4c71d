// The virtual unit's hiddev node, served through FUSE's low-level API.
//
// The node is a regular file (FUSE mounts are nodev); opened with direct_io
// and nonseekable so every read reaches us. Each open has its own event
// queue, as with hiddev. A read with nothing pending is parked and answered
// from whichever thread queues the next report; poll keeps its handle until
// then, so select() blocks and its time-out works.
#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/hiddev.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "inksim/hiddev_fs.h"
#include "ink_time.h"

namespace inksim {

namespace {

constexpr fuse_ino_t kNodeIno = 2;
// The driver's per-open ring. When it fills it wraps to empty: a reader that
// falls behind by a whole ring loses everything it had not read.
constexpr size_t kQueueEvents = 2048;
// What an open of the driver's node takes; reports that arrive meanwhile are
// not delivered to it.
constexpr long kOpenUs = 65000;
constexpr int kLoopThreads = 2;
constexpr size_t kStalledQueue = 4;
constexpr long kStalledBlockUs = 10200000;

struct OpenFile {
    HiddevFs::Impl *im;
    std::deque<hiddev_event> q;
    std::deque<std::pair<fuse_req_t, size_t>> parked;
    fuse_pollhandle *ph = nullptr;
    bool dead = false;
};

}  // namespace

struct HiddevFs::Impl {
    fuse_session *se = nullptr;
    std::string name;
    std::mutex mu;
    std::list<OpenFile *> opens;
    bool plugged = true;
    uint16_t vendor = 0, product = 0;
    Report usages{};  // the output field's values as last set
    // A unit that takes no output reports: the kernel's gadget-side queue of
    // kStalledQueue reports fills, and every report after it blocks its
    // sender for kStalledBlockUs, then is lost with success reported.
    bool stalled = false;
    std::vector<Report> held;
    std::function<void(const Report &)> on_output;
    int wake_fd = -1;
    std::vector<std::thread> loops;

    // Answers parked reads and readiness waiters of one open. Caller holds mu.
    void serve(OpenFile *of) {
        while (!of->parked.empty() && (of->dead || !of->q.empty())) {
            auto [req, size] = of->parked.front();
            of->parked.pop_front();
            if (of->q.empty()) {
                fuse_reply_err(req, EIO);
                continue;
            }
            reply_events(req, of, size);
        }
        if (of->ph && (of->dead || !of->q.empty())) {
            fuse_lowlevel_notify_poll(of->ph);
            fuse_pollhandle_destroy(of->ph);
            of->ph = nullptr;
        }
    }

    static void reply_events(fuse_req_t req, OpenFile *of, size_t size) {
        size_t k = std::min(size / sizeof(hiddev_event), of->q.size());
        hiddev_event buf[64];
        k = std::min<size_t>(k, 64);
        for (size_t i = 0; i < k; ++i) {
            buf[i] = of->q.front();
            of->q.pop_front();
        }
        fuse_reply_buf(req, reinterpret_cast<const char *>(buf), k * sizeof(hiddev_event));
    }

    void loop() {
        fuse_buf buf{};
        int fd = fuse_session_fd(se);
        while (!fuse_session_exited(se)) {
            pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (p[1].revents)
                break;
            if (!(p[0].revents & POLLIN)) {
                if (p[0].revents & (POLLERR | POLLHUP))
                    break;
                continue;
            }
            int r = fuse_session_receive_buf(se, &buf);
            if (r == -EINTR || r == -EAGAIN)
                continue;
            if (r <= 0)
                break;
            fuse_session_process_buf(se, &buf);
        }
        std::free(buf.mem);
    }
};

namespace {

HiddevFs::Impl *impl_of(fuse_req_t req) {
    return static_cast<HiddevFs::Impl *>(fuse_req_userdata(req));
}

struct stat node_attr(fuse_ino_t ino) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_ino = ino;
    if (ino == FUSE_ROOT_ID) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | 0666;
        st.st_nlink = 1;
    }
    return st;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    auto *im = impl_of(req);
    bool there;
    {
        std::lock_guard<std::mutex> l(im->mu);
        there = im->plugged;
    }
    if (parent != FUSE_ROOT_ID || !there || im->name != name) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param e;
    std::memset(&e, 0, sizeof e);
    e.ino = kNodeIno;
    e.attr = node_attr(kNodeIno);
    // No caching: the node must vanish the moment the unit is unplugged.
    e.attr_timeout = 0;
    e.entry_timeout = 0;
    fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    struct stat st = node_attr(ino);
    fuse_reply_attr(req, &st, 0);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
    auto *im = impl_of(req);
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    bool there;
    {
        std::lock_guard<std::mutex> l(im->mu);
        there = im->plugged;
    }
    char buf[512];
    size_t used = 0;
    const char *names[3] = {".", "..", im->name.c_str()};
    const fuse_ino_t inos[3] = {FUSE_ROOT_ID, FUSE_ROOT_ID, kNodeIno};
    int count = there ? 3 : 2;
    for (int i = static_cast<int>(off); i < count; ++i) {
        struct stat st = node_attr(inos[i]);
        size_t need = fuse_add_direntry(req, buf + used, sizeof buf - used, names[i], &st, i + 1);
        if (used + need > std::min(sizeof buf, size))
            break;
        used += need;
    }
    fuse_reply_buf(req, buf, used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    auto *im = impl_of(req);
    if (ino != kNodeIno) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    ink::time::sleep_us(kOpenUs);
    std::lock_guard<std::mutex> l(im->mu);
    if (!im->plugged) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    auto *of = new OpenFile;
    of->im = im;
    im->opens.push_back(of);
    fi->fh = reinterpret_cast<uint64_t>(of);
    // Without direct_io the kernel answers reads of a zero-sized file itself.
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    auto *im = impl_of(req);
    auto *of = reinterpret_cast<OpenFile *>(fi->fh);
    {
        std::lock_guard<std::mutex> l(im->mu);
        im->opens.remove(of);
        for (auto &p : of->parked)
            fuse_reply_err(p.first, EBADF);
        if (of->ph)
            fuse_pollhandle_destroy(of->ph);
    }
    delete of;
    fuse_reply_err(req, 0);
}

// A client killed or signalled while its read is parked gets EINTR.
void on_interrupt(fuse_req_t req, void *data) {
    auto *of = static_cast<OpenFile *>(data);
    std::lock_guard<std::mutex> l(of->im->mu);
    for (auto it = of->parked.begin(); it != of->parked.end(); ++it) {
        if (it->first == req) {
            of->parked.erase(it);
            fuse_reply_err(req, EINTR);
            return;
        }
    }
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi) {
    auto *im = impl_of(req);
    auto *of = reinterpret_cast<OpenFile *>(fi->fh);
    // A read too small for one event reads nothing, as the driver's does.
    if (size < sizeof(hiddev_event)) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    {
        std::lock_guard<std::mutex> l(im->mu);
        // Events queued before an unplug are still read; then reads fail.
        if (!of->q.empty()) {
            HiddevFs::Impl::reply_events(req, of, size);
            return;
        }
        if (of->dead) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (fi->flags & O_NONBLOCK) {
            fuse_reply_err(req, EAGAIN);
            return;
        }
    }
    // Park the read. The interrupt callback is registered outside our lock
    // (libfuse may call it at once, under its own lock), and the request is
    // parked only if no interrupt came meanwhile.
    fuse_req_interrupt_func(req, on_interrupt, of);
    std::lock_guard<std::mutex> l(im->mu);
    if (fuse_req_interrupted(req)) {
        fuse_reply_err(req, EINTR);
    } else if (!of->q.empty()) {
        HiddevFs::Impl::reply_events(req, of, size);
    } else if (of->dead) {
        fuse_reply_err(req, EIO);
    } else {
        of->parked.emplace_back(req, size);
    }
}

void op_poll(fuse_req_t req, fuse_ino_t, fuse_file_info *fi, fuse_pollhandle *ph) {
    auto *im = impl_of(req);
    auto *of = reinterpret_cast<OpenFile *>(fi->fh);
    std::lock_guard<std::mutex> l(im->mu);
    // Queued events first; an unplugged node with none left gives an error
    // and a hang-up, but no input (select still counts it readable).
    unsigned ev = 0;
    if (!of->q.empty())
        ev = POLLIN | POLLRDNORM;
    else if (of->dead)
        ev = POLLERR | POLLHUP;
    if (ev || !ph) {
        if (ph)
            fuse_pollhandle_destroy(ph);
    } else {
        if (of->ph)
            fuse_pollhandle_destroy(of->ph);
        of->ph = ph;
    }
    fuse_reply_poll(req, ev);
}

void op_ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *, fuse_file_info *,
              unsigned flags, const void *in_buf, size_t in_bufsz, size_t out_bufsz) {
    auto *im = impl_of(req);
    if (flags & FUSE_IOCTL_COMPAT) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    std::unique_lock<std::mutex> l(im->mu);
    if (!im->plugged) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    switch (cmd) {
        case HIDIOCGDEVINFO: {
            if (out_bufsz < sizeof(hiddev_devinfo))
                break;
            hiddev_devinfo info;
            std::memset(&info, 0, sizeof info);
            info.bustype = BUS_USB;
            info.busnum = 1;
            info.devnum = 4;
            info.ifnum = 0;
            info.vendor = static_cast<__s16>(im->vendor);
            info.product = static_cast<__s16>(im->product);
            info.version = 0x0100;
            info.num_applications = 1;
            fuse_reply_ioctl(req, 0, &info, sizeof info);
            return;
        }
        case HIDIOCSUSAGES: {
            if (in_bufsz < sizeof(hiddev_usage_ref_multi))
                break;
            hiddev_usage_ref_multi m;
            std::memcpy(&m, in_buf, sizeof m);
            // The unit has one output report with one field of kHidReportValues
            // values. As the driver: the report by its id (0) or, with
            // HID_REPORT_ID_UNKNOWN, by the usage; any run of values that
            // fits the field, none included.
            bool by_id = m.uref.report_id == 0 && m.uref.field_index == 0;
            bool by_usage =
                m.uref.report_id == HID_REPORT_ID_UNKNOWN && m.uref.usage_code == kHidVendorUsage;
            if (m.uref.report_type != HID_REPORT_TYPE_OUTPUT || !(by_id || by_usage) ||
                m.uref.usage_index > kHidReportValues ||
                m.num_values > kHidReportValues - m.uref.usage_index)
                break;
            for (unsigned i = 0; i < m.num_values; ++i)
                im->usages[m.uref.usage_index + i] = m.values[i];
            fuse_reply_ioctl(req, 0, nullptr, 0);
            return;
        }
        case HIDIOCSREPORT: {
            if (in_bufsz < sizeof(hiddev_report_info))
                break;
            hiddev_report_info ri;
            std::memcpy(&ri, in_buf, sizeof ri);
            if (ri.report_type != HID_REPORT_TYPE_OUTPUT || ri.report_id != 0)
                break;
            Report sent = im->usages;
            if (im->stalled) {
                if (im->held.size() < kStalledQueue) {
                    im->held.push_back(sent);
                } else {
                    l.unlock();
                    ink::time::sleep_budget_us(kStalledBlockUs);
                }
                fuse_reply_ioctl(req, 0, nullptr, 0);
                return;
            }
            l.unlock();
            if (im->on_output)
                im->on_output(sent);
            fuse_reply_ioctl(req, 0, nullptr, 0);
            return;
        }
        default:
            break;
    }
    fuse_reply_err(req, EINVAL);
}

const fuse_lowlevel_ops kOps = [] {
    fuse_lowlevel_ops o;
    std::memset(&o, 0, sizeof o);
    o.lookup = op_lookup;
    o.getattr = op_getattr;
    o.readdir = op_readdir;
    o.open = op_open;
    o.release = op_release;
    o.read = op_read;
    o.poll = op_poll;
    o.ioctl = op_ioctl;
    return o;
}();

}  // namespace

HiddevFs::HiddevFs() : impl_(new Impl) {}

void HiddevFs::on_output(std::function<void(const Report &)> f) {
    impl_->on_output = std::move(f);
}

HiddevFs::~HiddevFs() {
    stop();
}

bool HiddevFs::start(const std::string &dir, const std::string &name, std::string *err) {
    if (impl_->se)
        return true;
    impl_->name = name;
    // auto_unmount: a simulator that dies leaves no stale mount behind.
    const char *argv[] = {"inksim",        "-o", "auto_unmount",  "-o",
                          "fsname=inksim", "-o", "subtype=inksim"};
    fuse_args args = FUSE_ARGS_INIT(7, const_cast<char **>(argv));
    impl_->se = fuse_session_new(&args, &kOps, sizeof kOps, impl_.get());
    fuse_opt_free_args(&args);
    if (!impl_->se) {
        *err = "cannot create the FUSE session";
        return false;
    }
    if (fuse_session_mount(impl_->se, dir.c_str()) != 0) {
        fuse_session_destroy(impl_->se);
        impl_->se = nullptr;
        *err = "cannot mount FUSE at " + dir;
        return false;
    }
    int fd = fuse_session_fd(impl_->se);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    impl_->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (int i = 0; i < kLoopThreads; ++i)
        impl_->loops.emplace_back([this] { impl_->loop(); });
    return true;
}

void HiddevFs::stop() {
    if (!impl_->se)
        return;
    set_plugged(false);
    fuse_session_exit(impl_->se);
    uint64_t one = 1;
    ssize_t w = write(impl_->wake_fd, &one, sizeof one);
    (void)w;
    for (auto &t : impl_->loops)
        t.join();
    impl_->loops.clear();
    // Closes the channel (which aborts the connection) and detaches the mount.
    fuse_session_unmount(impl_->se);
    fuse_session_destroy(impl_->se);
    impl_->se = nullptr;
    close(impl_->wake_fd);
    impl_->wake_fd = -1;
    // Opens whose release will never come now.
    std::lock_guard<std::mutex> l(impl_->mu);
    for (OpenFile *of : impl_->opens) {
        if (of->ph)
            fuse_pollhandle_destroy(of->ph);
        delete of;
    }
    impl_->opens.clear();
    impl_->plugged = true;
}

void HiddevFs::push_report(const Report &values) {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (!impl_->plugged)
        return;
    for (OpenFile *of : impl_->opens) {
        if (of->dead)
            continue;
        for (int i = 0; i < kHidReportValues; ++i) {
            hiddev_event ev;
            ev.hid = kHidVendorUsage;
            ev.value = values[i];
            of->q.push_back(ev);
            // The ring wraps: the event that fills it empties it. The ring
            // holds a whole number of reports, so a report is never cut.
            if (of->q.size() == kQueueEvents)
                of->q.clear();
        }
        impl_->serve(of);
    }
}

void HiddevFs::set_plugged(bool on) {
    std::lock_guard<std::mutex> l(impl_->mu);
    impl_->plugged = on;
    if (on)
        return;
    for (OpenFile *of : impl_->opens) {
        of->dead = true;
        impl_->serve(of);
    }
}

void HiddevFs::set_ids(uint16_t vendor, uint16_t product) {
    std::lock_guard<std::mutex> l(impl_->mu);
    impl_->vendor = vendor;
    impl_->product = product;
}

void HiddevFs::set_output_stalled(bool on) {
    std::vector<Report> held;
    {
        std::lock_guard<std::mutex> l(impl_->mu);
        impl_->stalled = on;
        if (!on)
            held.swap(impl_->held);
    }
    // A unit taking reports again takes the queued ones first.
    for (const Report &r : held)
        if (impl_->on_output)
            impl_->on_output(r);
}

}  // namespace inksim
