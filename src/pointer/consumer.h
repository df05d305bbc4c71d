// The pointer pipe's reader: creates the pipe when missing, and turns the
// bytes read into backend actions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "backend.h"
#include "monitors.h"
#include "pointer_events.h"

namespace ink::pointer {

// Puts the positions of one record's actions into the area: records are in
// the pixels of the chosen monitor, the backends work in the whole screen's.
// A position is kept inside the area (a record beyond the monitor's edge
// stays on its edge instead of landing on the neighbouring monitor). An area
// of no size (no X display, so no monitors) leaves the positions as they are.
void place_in_area(Action *actions, std::size_t n, const ink::monitors::Rect &area);

// Makes sure `path` is a named pipe the daemon can write: creates it with mode
// 0666 when missing. Returns 0, or -1 (printed) when something else is there
// or the pipe cannot be made.
int ensure_fifo(const char *path);

// Opens the pipe for reading. It is opened for reading and writing, so the
// daemon closing its end (it does at every device connection's end) is no end
// of file: the reader simply waits for the next connection's records, and the
// daemon's open never waits while the consumer runs. Returns the descriptor or -1.
int open_fifo(const char *path);

class Consumer {
  public:
    explicit Consumer(Backend &backend) : backend_(backend) {}
    // Called with every well-formed record before it is performed (a log).
    void set_observer(std::function<void(const RecordBytes &)> f) { observer_ = std::move(f); }
    // Takes bytes as read from the pipe, in any pieces.
    void feed(const std::uint8_t *data, std::size_t n);
    // Releases every button still down (before the consumer ends).
    void release_all();
    // The rectangle of the screen the records are placed in (see
    // place_in_area); the following records go there.
    void set_area(const ink::monitors::Rect &area) { area_ = area; }
    const ink::monitors::Rect &area() const { return area_; }

    long records() const { return records_; }
    long bad_bytes() const { return bad_bytes_; }
    const PointerTranslator &state() const { return translator_; }

  private:
    void on_record(const std::uint8_t *bytes, const Record &r);
    Backend &backend_;
    std::function<void(const RecordBytes &)> observer_;
    PointerRecordReader reader_;
    PointerTranslator translator_;
    ink::monitors::Rect area_;
    long records_ = 0;
    long bad_bytes_ = 0;
};

}  // namespace ink::pointer
