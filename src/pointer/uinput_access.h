// Why /dev/uinput could not be used, and what the user does about it.
//
// The cases a user meets: the node is missing (the uinput module is not
// loaded and the system made no static node for it), the node is there but no
// driver answers it, the user may not open it, it is not the uinput device
// at all, or anything else the kernel said.
#pragma once

#include <string>

namespace ink::pointer {

enum class UinputRefusal { NoNode, NoDriver, NoAccess, NotUinput, Other };

// The case an errno from opening or setting up `path` falls in.
UinputRefusal classify_uinput_errno(int err);

// One or two lines (each ending in '\n') that say which case it is and what
// to do, naming `path`.
std::string explain_uinput_refusal(int err, const char *path);

}  // namespace ink::pointer
