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
#include <cstdint>
#include <string>
#include <vector>

#include "inksim/unit_host.h"

namespace inksim {

struct RecordedEvent {
    size_t frame;   // frames streamed before the event
    uint8_t event;  // the tray program's event byte (GuiEvt)
};

struct SessionRecord {
    bool have_type = false;
    int hw_type = 65, hw_ver = 3;
    bool have_params = false;
    std::array<uint8_t, kE4Size> params{};
    bool have_record = false;
    std::array<uint8_t, kCalSize> record{};
    std::vector<FrameRecord> frames;
    std::vector<RecordedEvent> events;
    int rate = 100;       // frames per second, from the recorded frame times
    size_t garbage = 0;   // unit bytes that were neither a reply nor a frame
    int connections = 0;  // relay connections recorded
};

// Reads a recording. On error returns false with "line N: reason" in *err.
bool parse_session_record(const std::string &text, SessionRecord *out, std::string *err);
bool load_session_record(const std::string &path, SessionRecord *out, std::string *err);

class ReplayUnit : public UnitHost {
  public:
    explicit ReplayUnit(const SessionRecord &rec);
    ~ReplayUnit() override;
    // True once every recorded frame has been streamed.
    bool finished();
    std::vector<FrameRecord> frames_sent();

  private:
    void on_frame(long long now) override;

    SessionRecord rec_;
    size_t next_ = 0;
    std::vector<FrameRecord> sent_;
};

}  // namespace inksim
