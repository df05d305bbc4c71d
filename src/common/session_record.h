// Session recording, for reproducing a user's problem without their camera.
//
// A recording is asked for by creating the file ink::path::kRecordFile (it
// must be a regular file of the user running the suite; nothing is created).
// While it exists, inkrelay appends every byte crossing the relay link and
// inkd every command-channel event, one line each, with the monotonic time in
// microseconds (multiplied by the time scale in a time-scaled test build):
//
//   S <t> <pid>          a relay connection starts
//   H <t> <hex bytes>    daemon to unit (one output report's bytes)
//   D <t> <hex bytes>    unit to daemon (one input report's payload)
//   E <t> <hex byte>     the tray program's answer to a poll, when not 0
//
// Each line is one write(2) to a file opened for appending, so the lines of
// the relay's two threads and of the daemon never mix. Nothing is allocated.
#pragma once

#include <cstddef>

namespace ink::record {

// Opens the recording file for appending when a recording was asked for;
// returns its descriptor, or -1 (no recording, or not a file of this user:
// a link or another user's file in the shared directory is never written).
int open_if_requested();

// Appends one line "<tag> <time> <hex bytes>". Returns 0, or -1 when the
// line was not written whole.
int append(int fd, char tag, const unsigned char *data, std::size_t n);

// For inkd: records one command-channel event, if a recording is on.
void note_event(unsigned char event);

}  // namespace ink::record
