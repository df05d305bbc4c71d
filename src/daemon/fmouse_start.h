// Daemon start-up: arguments, single-instance guard, the tray program child,
// signal handlers, the command channel's handshake, then the main state
// machine for the rest of the process's life.
#pragma once

#include <sys/types.h>

// Result of the command-line check.
enum class ArgResult { Normal, Debug, Error };
ArgResult fmouse_check_args(int argc, char **argv);

// Single-instance guard on the pid file. Returns 0 when this process now owns
// the pid file and goes on, 1 when it must end (another daemon runs, or the pid
// file cannot be created). May change the working directory into /proc/<pid>
// of the recorded process, as the look into it requires.
int fmouse_pid_guard(void);

// True when pid is a live process of this user running the daemon's program.
bool fmouse_pid_is_daemon(pid_t pid);

// The daemon's whole life; returns the process exit status.
int fmouse_daemon_main(int argc, char **argv);
