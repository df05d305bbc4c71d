// The virtual unit as a USB HID gadget (see hid_gadget.h).
#include "inksim/hid_gadget.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace inksim {

const unsigned char kGadgetReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page 0xFF00 (vendor-defined)
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection (application)
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, 0x08,        //   report count 8
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input (data, variable, absolute)
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output (data, variable, absolute)
    0xC0,              // end collection
};
const size_t kGadgetReportDescriptorSize = sizeof kGadgetReportDescriptor;

namespace {

constexpr char kConfigfs[] = "/sys/kernel/config/usb_gadget/";
constexpr int kPollMs = 50;
// Input reports kept while the host does not take them: a unit's buffer is
// small, and what it cannot hold is lost, the oldest first.
constexpr size_t kQueueMax = 256;

bool write_file(const std::string &path, const void *data, size_t n) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, data, n) == static_cast<ssize_t>(n);
    close(fd);
    return ok;
}

bool write_text(const std::string &path, const std::string &text) {
    return write_file(path, text.data(), text.size());
}

std::string read_text(const std::string &path) {
    char buf[256];
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return "";
    buf[n] = 0;
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

}  // namespace

GadgetPort::GadgetPort(std::string name)
    : name_(std::move(name)), dir_(std::string(kConfigfs) + name_) {}

GadgetPort::~GadgetPort() {
    stop();
}

void GadgetPort::set_ids(uint16_t vendor, uint16_t product) {
    vendor_ = vendor;
    product_ = product;
}

void GadgetPort::on_output(std::function<void(const Report &)> f) {
    on_output_ = std::move(f);
}

bool GadgetPort::make_gadget(std::string *err) {
    remove_gadget();  // one left by a killed run
    uint16_t v = vendor_, p = product_;
    if (v == 0 || p == 0) {
        v = kGadgetTestVendor;
        p = kGadgetTestProduct;
    }
    const std::string f = dir_ + "/functions/hid.usb0";
    const std::string c = dir_ + "/configs/c.1";
    bool ok =
        mkdir(dir_.c_str(), 0755) == 0 && write_text(dir_ + "/idVendor", hex4(v)) &&
        write_text(dir_ + "/idProduct", hex4(p)) && write_text(dir_ + "/bcdDevice", "0x0100") &&
        write_text(dir_ + "/bcdUSB", "0x0200") &&
        mkdir((dir_ + "/strings/0x409").c_str(), 0755) == 0 &&
        write_text(dir_ + "/strings/0x409/manufacturer", "inksim") &&
        write_text(dir_ + "/strings/0x409/product", "virtual camera unit") &&
        write_text(dir_ + "/strings/0x409/serialnumber", "0001") && mkdir(c.c_str(), 0755) == 0 &&
        write_text(c + "/MaxPower", "100") && mkdir(f.c_str(), 0755) == 0 &&
        write_text(f + "/protocol", "0") && write_text(f + "/subclass", "0") &&
        write_text(f + "/report_length", "8") &&
        write_file(f + "/report_desc", kGadgetReportDescriptor, kGadgetReportDescriptorSize) &&
        symlink(f.c_str(), (c + "/hid.usb0").c_str()) == 0;
    if (!ok) {
        *err = "cannot make the gadget under " + dir_ + ": " + std::strerror(errno) +
               " (configfs mounted, libcomposite and usb_f_hid loaded?)";
        remove_gadget();
        return false;
    }
    return true;
}

void GadgetPort::remove_gadget() {
    struct stat st;
    if (stat(dir_.c_str(), &st) != 0)
        return;
    write_text(dir_ + "/UDC", "\n");
    unlink((dir_ + "/configs/c.1/hid.usb0").c_str());
    rmdir((dir_ + "/configs/c.1/strings/0x409").c_str());
    rmdir((dir_ + "/configs/c.1").c_str());
    rmdir((dir_ + "/functions/hid.usb0").c_str());
    rmdir((dir_ + "/strings/0x409").c_str());
    rmdir(dir_.c_str());
}

bool GadgetPort::start(const std::string &, std::string *err) {
    if (DIR *d = opendir("/sys/class/udc")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') {
                udc_ = e->d_name;
                break;
            }
        closedir(d);
    }
    if (udc_.empty()) {
        *err = "no USB device controller (load dummy_hcd)";
        return false;
    }
    if (!make_gadget(err))
        return false;
    // The gadget side's node, made here from its numbers: it comes and goes
    // with every binding, under the same numbers.
    unsigned maj = 0, min = 0;
    std::string dev = read_text(dir_ + "/functions/hid.usb0/dev");
    if (std::sscanf(dev.c_str(), "%u:%u", &maj, &min) != 2) {
        *err = "the HID function gives no device numbers";
        remove_gadget();
        return false;
    }
    node_ = "/run/inksim-" + name_ + "-hidg";
    unlink(node_.c_str());
    if (mknod(node_.c_str(), S_IFCHR | 0600, makedev(maj, min)) != 0) {
        *err = "cannot make " + node_ + ": " + std::strerror(errno);
        remove_gadget();
        return false;
    }
    stop_ = false;
    writer_ = std::thread([this] { writer_loop(); });
    reader_ = std::thread([this] { reader_loop(); });
    set_plugged(true);
    return true;
}

void GadgetPort::stop() {
    if (!writer_.joinable())
        return;
    set_plugged(false);
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    writer_.join();
    reader_.join();
    std::fprintf(stderr,
                 "inksim: gadget: at most %zu input reports waited for the host, %zu lost\n",
                 deepest_, dropped_);
    remove_gadget();
    unlink(node_.c_str());
}

bool GadgetPort::bind(bool on) {
    return write_text(dir_ + "/UDC", on ? udc_ : "\n");
}

void GadgetPort::set_plugged(bool on) {
    std::unique_lock<std::mutex> l(mu_);
    if (on == plugged_)
        return;
    plugged_ = on;
    queue_.clear();
    if (!on) {
        // The threads let go of the node within one poll period.
        cv_.notify_all();
        cv_.wait(l, [&] { return users_ == 0; });
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        bind(false);
        return;
    }
    if (!bind(true)) {
        std::fprintf(stderr, "inksim: cannot bind the gadget to %s: %s\n", udc_.c_str(),
                     std::strerror(errno));
        return;
    }
    // The node is there once the function is bound.
    for (int i = 0; i < 200 && fd_ < 0; ++i) {
        fd_ = open(node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd_ < 0)
        std::fprintf(stderr, "inksim: cannot open the gadget's node: %s\n", std::strerror(errno));
    cv_.notify_all();
}

void GadgetPort::set_output_stalled(bool on) {
    stalled_.store(on);
}

void GadgetPort::push_report(const Report &values) {
    std::lock_guard<std::mutex> l(mu_);
    if (!plugged_)
        return;
    if (queue_.size() >= kQueueMax) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(values);
    deepest_ = std::max(deepest_, queue_.size());
    cv_.notify_all();
}

// Takes the node for one wait; false when stopping. Lock held. Not while an
// unplug waits for the node: the reader, which takes it again as soon as it
// lets go, would otherwise keep it from the unplug for good on a busy machine.
bool GadgetPort::take_node(std::unique_lock<std::mutex> &l, bool want_queue, int *fd) {
    cv_.wait(l,
             [&] { return stop_ || (fd_ >= 0 && plugged_ && (!want_queue || !queue_.empty())); });
    if (stop_)
        return false;
    *fd = fd_;
    ++users_;
    return true;
}

void GadgetPort::let_go(std::unique_lock<std::mutex> &) {
    if (--users_ == 0)
        cv_.notify_all();
}

void GadgetPort::writer_loop() {
    std::unique_lock<std::mutex> l(mu_);
    int fd;
    while (take_node(l, true, &fd)) {
        Report r = queue_.front();
        l.unlock();
        unsigned char b[kHidReportValues];
        for (int i = 0; i < kHidReportValues; ++i)
            b[i] = static_cast<unsigned char>(r[i]);
        // The host takes one report per poll of its endpoint; until then
        // the node is not writable.
        pollfd p{fd, POLLOUT, 0};
        bool sent = false, gone = false;
        if (poll(&p, 1, kPollMs) > 0) {
            ssize_t n = write(fd, b, sizeof b);
            sent = n == static_cast<ssize_t>(sizeof b);
            // Not configured by the host (yet), or unplugged meanwhile: the
            // report is lost, as a real unit's would be.
            gone = n < 0 && errno != EAGAIN && errno != EINTR;
        }
        l.lock();
        if ((sent || gone) && !queue_.empty() && fd_ == fd)
            queue_.pop_front();
        let_go(l);
        if (gone) {
            l.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            l.lock();
        }
    }
}

void GadgetPort::reader_loop() {
    std::unique_lock<std::mutex> l(mu_);
    int fd;
    while (take_node(l, false, &fd)) {
        l.unlock();
        unsigned char b[64];
        ssize_t n = -1;
        if (stalled_.load()) {
            // A unit that takes no output reports: they stay in the
            // function's few requests, and then with the host.
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        } else {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kPollMs) > 0)
                n = read(fd, b, sizeof b);
        }
        l.lock();
        let_go(l);
        if (n >= kHidReportValues) {
            Report r{};
            for (int i = 0; i < kHidReportValues; ++i)
                r[i] = b[i];
            l.unlock();
            if (on_output_)
                on_output_(r);
            l.lock();
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && fd_ == fd) {
            l.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            l.lock();
        }
    }
}

}  // namespace inksim
