// Where the pointer actions go: a virtual pen device (uinput) or the X
// server's test extension (XTest).
#pragma once

#include "pointer_events.h"

namespace ink::pointer {

class Backend {
  public:
    virtual ~Backend() = default;
    // Performs one record's actions. Returns 0, or -1 when the desktop refused
    // them (the backend prints why).
    virtual int perform(const Action *actions, std::size_t n) = 0;
    virtual const char *name() const = 0;
};

}  // namespace ink::pointer
