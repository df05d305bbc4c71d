// Safe use of the suite's names in the shared /tmp: the pid file, the two
// sockets and the inhibitor's flag file.
//
// Another local user can create any name in /tmp before us: a link to one of
// our files, a file of their own holding a pid of their choosing, a FIFO that
// blocks whoever opens it, a socket of their own. So files are created afresh
// and never through a link, read only when they are regular files of this
// user, sockets are created reachable by this user only, a peer is accepted
// only when it runs as this user, and a pid read from a file is trusted only
// after a look at the process it names.
#pragma once

#include <fcntl.h>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

namespace ink::tmp {

// Opens path (for reading unless access says otherwise, e.g. O_WRONLY |
// O_APPEND) when it is a regular file owned by this user and not a link (a
// FIFO does not block the open). Returns the descriptor, or -1.
int open_own_file(const char *path, int access = O_RDONLY);

// Replaces path by a new, empty regular file with exactly the given mode: an
// old file, link or FIFO of this user is removed first, and the new file is
// created exclusively, so nothing planted under the name is written through.
// Returns the descriptor (write-only), or -1 (a name another user holds in a
// sticky directory cannot be replaced).
int create_own_file(const char *path, mode_t mode);

// Reads a decimal pid (optional leading blanks, digits, then the end or a
// blank) from fd. Returns it, or -1 when the file holds none or a value that
// cannot be a pid. Uses only read(2): safe in a signal handler.
pid_t read_pid(int fd);

// open_own_file, read_pid and close in one. -1 when any step fails.
pid_t read_own_pid_file(const char *path);

// True when pid is a live process running as this user.
bool pid_is_own(pid_t pid);

// True when pid is a live process of this user whose program is `program`:
// the same executable file as the running one, or a file of that base name
// (the name a replaced, deleted executable still carries).
bool pid_runs_program(pid_t pid, const char *program);

// Binds fd to addr so that only this user can connect: the socket file is
// created with mode 0600 (umask 0177 during the bind). Returns bind's result.
int bind_private(int fd, const sockaddr_un *addr, socklen_t len);

// True when the peer of a connected UNIX socket runs as this user.
bool peer_is_own(int fd);

}  // namespace ink::tmp
