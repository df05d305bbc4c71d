// The virtual unit as a real USB device: a HID function of the kernel's USB
// gadget framework (configfs, usb_f_hid) on the dummy host controller
// (dummy_hcd), which loops it back to the same machine's USB host side, where
// usbhid binds it and hiddev gives it a node that udev names as for a real
// unit. Input reports are written to the gadget's /dev/hidgN, output reports
// read from it; the cable is the controller (UDC) binding.
//
// Needs root, configfs mounted at /sys/kernel/config and the modules
// dummy_hcd, libcomposite, usb_f_hid (the kernel lab loads them).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "inksim/unit_port.h"

namespace inksim {

// The ids a gadget takes for a unit without any (the shipped hardware file
// holds 0 and 0): the test ids of the open registry of USB ids, 1209:0001.
inline constexpr uint16_t kGadgetTestVendor = 0x1209;
inline constexpr uint16_t kGadgetTestProduct = 0x0001;

// The report descriptor: one vendor-defined field (usage page 0xFF00, usage
// 1) of eight 8-bit values, 0 to 255, each way; no report id.
extern const unsigned char kGadgetReportDescriptor[];
extern const size_t kGadgetReportDescriptorSize;

class GadgetPort : public UnitPort {
  public:
    // name: the gadget's directory under /sys/kernel/config/usb_gadget.
    explicit GadgetPort(std::string name = "inksim");
    ~GadgetPort() override;
    void set_ids(uint16_t vendor, uint16_t product) override;
    void on_output(std::function<void(const Report &)> f) override;
    bool start(const std::string &node, std::string *err) override;
    void stop() override;
    void push_report(const Report &values) override;
    void set_plugged(bool on) override;
    void set_output_stalled(bool on) override;

  private:
    bool make_gadget(std::string *err);
    void remove_gadget();
    bool bind(bool on);
    bool take_node(std::unique_lock<std::mutex> &l, bool want_queue, int *fd);
    void let_go(std::unique_lock<std::mutex> &l);
    void writer_loop();
    void reader_loop();

    const std::string name_, dir_;
    uint16_t vendor_ = 0, product_ = 0;
    std::function<void(const Report &)> on_output_;
    std::string udc_;
    std::string node_;  // the gadget side's node, made from its numbers
    int fd_ = -1;       // open while plugged
    int users_ = 0;     // threads waiting on fd_ outside the lock
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Report> queue_;
    // How far the host fell behind: the deepest the queue was, and the
    // reports lost to a full queue. Told at stop, for the lab's logs.
    size_t deepest_ = 0, dropped_ = 0;
    bool plugged_ = false;
    bool stop_ = false;
    std::atomic<bool> stalled_{false};
    std::thread writer_, reader_;
};

}  // namespace inksim
