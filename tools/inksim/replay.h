// Replaying a recorded session (the file inkrelay and inkd write while
// /tmp/vxd_record.txt exists; format in src/common/session_record.h).
//
// The recording is read back into what the unit told the daemon: its type and
// version, its parameter block, its calibration record (as the session's
// first connection found them), and the frames it streamed, in order, over
// all connections. ReplayUnit is then a virtual unit with that identity
// and record, which answers the daemon's commands as any unit does and
// streams the recorded frames, byte for byte, whenever the daemon has it
// running; after the last one it streams frames without a spot.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inksim.h"

namespace inksim {

struct RecordedEvent {
    size_t frame;   // frames streamed before the event
    uint8_t event;  // the tray program's event byte (0x10, 0x20, 0x30)
};

struct SessionRecord {
    bool have_type = false;
    int hw_type = 65, hw_ver = 3;
    bool have_params = false;
    std::array<uint8_t, 64> params{};
    bool have_record = false;
    std::array<uint8_t, 256> record{};
    std::vector<FrameRecord> frames;
    std::vector<RecordedEvent> events;
    int rate = 100;       // frames per second, from the recorded frame times
    size_t garbage = 0;   // unit bytes that were neither a reply nor a frame
    int connections = 0;  // relay connections recorded
};

// Reads a recording. On error returns false with "line N: reason" in *err.
bool parse_session_record(const std::string &text, SessionRecord *out, std::string *err);
bool load_session_record(const std::string &path, SessionRecord *out, std::string *err);

class ReplayUnit {
  public:
    explicit ReplayUnit(const SessionRecord &rec);
    ~ReplayUnit();
    // Mounts the node (default: the suite's device node) and starts the clock.
    bool start(std::string *err, const std::string &node_path = "");
    void stop();
    // True once every recorded frame has been streamed.
    bool finished();
    std::vector<FrameRecord> frames_sent();
    std::vector<CommandRecord> commands();

  private:
    void clock_loop();
    void deliver(long long now);
    void output_report(const Report &r);

    SessionRecord rec_;
    Firmware fw_;
    HiddevFs fs_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool started_ = false;
    std::thread clock_;
    size_t next_ = 0;
    long long idle_ticks_ = 0;
    std::vector<FrameRecord> sent_;
};

}  // namespace inksim
