// The desktop's inhibiting command (ink::path::kScreensaverProgram), for the
// desktops that still have one.
#pragma once

#include <sys/types.h>

// True when the command at path exists, may be run, and still has the
// --inhibit option. Current desktops' command of that name has lost it (run
// with it, it exits at once), so the command's --help decides: it runs with
// its output read back for at most 2 s (scaled), then its process group is
// killed.
//
// SIGTERM is blocked on entry and on return; it is let through while the
// command runs, with probe naming the command's process (its group's leader)
// so that inkwake's SIGTERM handler can end the group. probe is 0 on return.
bool command_has_inhibit(const char *path, volatile pid_t &probe);
