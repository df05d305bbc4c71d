#include "pointer_events.h"

namespace ink::pointer {

std::size_t PointerTranslator::translate(const Record &r, std::array<Action, kMaxActions> *out) {
    std::size_t n = 0;
    bool closing = !r.has_position() && !r.left && !r.right;
    if (closing) {
        // Release what is still down, then leave proximity.
        n = release_all(out);
        return n;
    }
    if (r.has_position()) {
        x_ = r.x;
        y_ = r.y;
    }
    if (!in_prox_) {
        in_prox_ = true;
        (*out)[n++] = {ActionKind::ProximityIn, x_, y_};
    }
    if (r.has_position())
        (*out)[n++] = {ActionKind::Move, x_, y_};
    if (r.left != left_) {
        left_ = r.left;
        (*out)[n++] = {left_ ? ActionKind::Press : ActionKind::Release, x_, y_, Button::Left};
    }
    if (r.right != right_) {
        right_ = r.right;
        (*out)[n++] = {right_ ? ActionKind::Press : ActionKind::Release, x_, y_, Button::Right};
    }
    return n;
}

std::size_t PointerTranslator::release_all(std::array<Action, kMaxActions> *out) {
    std::size_t n = 0;
    if (left_) {
        left_ = false;
        (*out)[n++] = {ActionKind::Release, x_, y_, Button::Left};
    }
    if (right_) {
        right_ = false;
        (*out)[n++] = {ActionKind::Release, x_, y_, Button::Right};
    }
    if (in_prox_) {
        in_prox_ = false;
        (*out)[n++] = {ActionKind::ProximityOut, x_, y_};
    }
    return n;
}

}  // namespace ink::pointer
