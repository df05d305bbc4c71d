// Pointer records to input actions.
//
// The daemon writes 4-byte records to the pointer pipe, each carrying the
// whole pointer state: button byte (0xF0 none, bit 2 left, bit 0 right), then
// 12-bit x and y in screen pixels. PointerTranslator turns the record stream
// into the actions a backend performs: moves, presses and releases. A press is
// the first record with a button bit set, a release the first without it.
//
// Records at (0, 0) carry no position: the right-click sequence and the
// daemon's closing record are written there. For them the pointer stays where
// it was and only the buttons change. The closing record (0, 0, no button)
// also ends the pen's presence (proximity) until the next record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ink::pointer {

using RecordBytes = std::array<std::uint8_t, 4>;

struct Record {
    int x = 0;
    int y = 0;
    bool left = false;
    bool right = false;
    // The position fields hold a position (not the (0, 0) of a button-only record).
    bool has_position() const { return x != 0 || y != 0; }
};

// Decodes one record. Returns 0, or -1 when the button byte is not a pointer
// record's (high nibble not 0xF, or bits 1 or 3 set): such bytes mean the
// stream is out of step.
int decode_record(const RecordBytes &b, Record *out);

enum class Button : std::uint8_t { Left, Right };

enum class ActionKind : std::uint8_t { ProximityIn, Move, Press, Release, ProximityOut };

struct Action {
    ActionKind kind;
    int x = 0;  // Move: target; other kinds: the pointer's position then
    int y = 0;
    Button button = Button::Left;  // Press, Release
};

// At most one proximity change, one move and two button changes per record.
inline constexpr std::size_t kMaxActions = 4;

class PointerTranslator {
  public:
    // Actions for one record, in the order to perform them: proximity in, the
    // move, then button changes. Returns the count written to out.
    std::size_t translate(const Record &r, std::array<Action, kMaxActions> *out);
    // Releases for every button still down and the end of proximity (used on
    // shutdown, so that no button stays stuck).
    std::size_t release_all(std::array<Action, kMaxActions> *out);

    bool left_down() const { return left_; }
    bool right_down() const { return right_; }
    bool in_proximity() const { return in_prox_; }
    int x() const { return x_; }
    int y() const { return y_; }

  private:
    bool left_ = false;
    bool right_ = false;
    bool in_prox_ = false;
    int x_ = 0;
    int y_ = 0;
};

// Gathers 4-byte records out of a byte stream that may arrive in any pieces.
class RecordAssembler {
  public:
    // Appends bytes; calls on_record(const RecordBytes &) for every completed record.
    template <typename F>
    void feed(const std::uint8_t *data, std::size_t n, F &&on_record) {
        for (std::size_t i = 0; i < n; ++i) {
            buf_[fill_++] = data[i];
            if (fill_ == buf_.size()) {
                fill_ = 0;
                on_record(buf_);
            }
        }
    }
    std::size_t pending() const { return fill_; }

  private:
    RecordBytes buf_{};
    std::size_t fill_ = 0;
};

}  // namespace ink::pointer
