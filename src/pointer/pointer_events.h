// Pointer records to input actions.
//
// The daemon writes pointer records (pointer_record.h) to the pointer pipe,
// each carrying the whole pointer state. PointerTranslator turns the record
// stream into the actions a backend performs: moves, presses and releases. A
// press is the first record with a button bit set, a release the first without
// it.
//
// Records at (0, 0) carry no position: for them the pointer stays where it was
// and only the buttons change. The closing record (0, 0, no button) also ends
// the pen's presence (proximity) until the next record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pointer_record.h"

namespace ink::pointer {

using RecordBytes = std::array<std::uint8_t, kPointerRecordSize>;
using Record = PointerRecord;

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

}  // namespace ink::pointer
