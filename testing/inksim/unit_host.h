// What every virtual unit runs on: its hiddev node through FUSE, its
// firmware, and a frame clock on a thread of its own, all behind one lock.
//
// At each tick of the clock, a unit that is running streams one frame (what
// the frame holds is the subclass's business); a unit on hold sends an empty
// report now and then, as a real one does. Output reports from the host go to
// the firmware, and whatever the firmware has due goes out as input reports
// of up to six bytes.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inksim/firmware.h"
#include "inksim/unit_port.h"

namespace inksim {

class UnitHost {
  public:
    UnitHost(const UnitHost &) = delete;
    UnitHost &operator=(const UnitHost &) = delete;

    // Replaces the unit's port (the FUSE node unless told otherwise, e.g. a
    // GadgetPort); before start only.
    void set_port(std::unique_ptr<UnitPort> port);
    // Starts the port (a FUSE node: at node_path, default the suite's device
    // node) and the clock.
    bool start(std::string *err, const std::string &node_path = "");
    // Stops the clock and unmounts the node; does nothing when not started.
    void stop();
    // Every command the firmware received, in order.
    std::vector<CommandRecord> commands();
    // When the last input report went into the node (ink::time::now_us()
    // clock); 0 before the first. A host's silence is counted from here.
    long long last_report_us();

  protected:
    UnitHost(const UnitConfig &unit, int rate);
    // A subclass stops the unit in its own destructor: the clock calls into it.
    virtual ~UnitHost();

    // Called with the lock held: once when the unit starts, then at every
    // tick while the firmware runs (to stream one frame) or at every tick
    // while it does not (on_idle), and for every output report before the
    // firmware takes it.
    virtual void on_start() {}
    virtual void on_frame(long long now) = 0;
    virtual void on_idle(long long /*now*/) {}
    virtual void on_output(long long /*now*/, const Report & /*r*/) {}

    // Sends what the firmware has due by now. Lock held.
    void deliver(long long now);
    // One input report into the node, its time noted. Lock held.
    void push(const Report &r);

    Firmware fw_;
    std::unique_ptr<UnitPort> port_;
    std::mutex mu_;

  private:
    void clock_loop();
    void output_report(const Report &r);

    // A unit on hold reports once every this many ticks.
    static constexpr int kIdleReportFrames = 10;

    const int rate_;
    const uint16_t vendor_, product_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool started_ = false;
    std::thread clock_;
    long long idle_ticks_ = 0;
    long long last_report_us_ = 0;
};

}  // namespace inksim
