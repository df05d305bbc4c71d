// The virtual unit's hiddev node, presented through FUSE: a regular file in a
// FUSE mount of its directory that answers reads, poll and the hiddev ioctls
// as the kernel's node does (notes in tools/README.md).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hid_report.h"

namespace inksim {

// One report's eight values.
using Report = std::array<int32_t, kHidReportValues>;

class HiddevFs {
  public:
    HiddevFs();
    ~HiddevFs();
    // Mounts at dir (an existing directory) holding the node "name".
    bool start(const std::string &dir, const std::string &name, std::string *err);
    void stop();
    // Queues one input report (eight values) for every open of the node.
    void push_report(const Report &values);
    // Unplugged: the node disappears and every open fails its reads.
    void set_plugged(bool on);
    void set_ids(uint16_t vendor, uint16_t product);
    // A unit that stops taking output reports, as the kernel's driver
    // meets it (see docs/TESTING.md).
    void set_output_stalled(bool on);
    // Called with the eight values of every output report sent.
    // Set before start.
    void on_output(std::function<void(const Report &)> f);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace inksim
