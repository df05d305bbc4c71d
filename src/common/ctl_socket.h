// Where inkctl finds the tray program of its user and display: a UNIX socket
// that inktray serves and inkctl connects to. Both take the name from here.
//
//   $XDG_RUNTIME_DIR/vexor-driver/tray-<display>
//   /tmp/vexor-driver-<uid>/tray-<display>   (XDG_RUNTIME_DIR unset, not
//                                             absolute, or not a directory of
//                                             the user with mode 0700)
//
// <display> is $DISPLAY with every character outside [A-Za-z0-9._-] replaced
// by '_' (":0" gives "_0"). The /tmp directory is resolved under the sandbox
// root like the suite's other /tmp names; XDG_RUNTIME_DIR never is. Every
// directory on the way must be a real directory (no symbolic link) of the
// user with mode 0700, or it is refused.
#pragma once

#include <string>

namespace ink::ctl {

// The display as it appears in the socket's name.
std::string display_tag(const std::string &display);

// True when path is a directory (not a link to one) owned by the user with
// mode 0700; otherwise false with *why saying what is wrong.
bool private_dir(const std::string &path, std::string *why);

// The socket's directory. With create, a missing directory is made (mode
// 0700); without, it is only checked when it exists. Empty, with *err, when
// the directory is refused or cannot be made.
std::string socket_dir(bool create, std::string *err);

// The socket of the display: socket_dir(create, err) + "/tray-" + tag.
// Empty, with *err, when display is empty, the directory is refused, or the
// name is too long for a socket address.
std::string socket_path(const std::string &display, bool create, std::string *err);

}  // namespace ink::ctl
