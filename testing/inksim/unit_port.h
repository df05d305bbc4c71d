// Where a virtual unit meets the host: the port its input reports leave by
// and its output reports come in by. Two ports exist: the hiddev node through
// FUSE (the fast imitation, FusePort) and a USB HID gadget on the kernel's
// dummy_hcd (GadgetPort, hid_gadget.h), which the real usbhid and hiddev
// drivers see as a USB device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "inksim/hiddev_fs.h"

namespace inksim {

class UnitPort {
  public:
    virtual ~UnitPort() = default;
    // Set before start.
    virtual void set_ids(uint16_t vendor, uint16_t product) = 0;
    virtual void on_output(std::function<void(const Report &)> f) = 0;
    // node: where the FUSE node appears (empty: the suite's device node); a
    // gadget ignores it: udev names its node.
    virtual bool start(const std::string &node, std::string *err) = 0;
    virtual void stop() = 0;
    // Queues one input report. Must not block: the unit's clock calls it.
    virtual void push_report(const Report &values) = 0;
    // Cable in or out.
    virtual void set_plugged(bool on) = 0;
    // A unit that stops taking output reports (true) and takes them again.
    virtual void set_output_stalled(bool on) = 0;
};

// The hiddev node through FUSE.
class FusePort : public UnitPort {
  public:
    void set_ids(uint16_t vendor, uint16_t product) override { fs_.set_ids(vendor, product); }
    void on_output(std::function<void(const Report &)> f) override { fs_.on_output(std::move(f)); }
    bool start(const std::string &node, std::string *err) override;
    void stop() override { fs_.stop(); }
    void push_report(const Report &values) override { fs_.push_report(values); }
    void set_plugged(bool on) override { fs_.set_plugged(on); }
    void set_output_stalled(bool on) override { fs_.set_output_stalled(on); }

  private:
    HiddevFs fs_;
};

}  // namespace inksim
