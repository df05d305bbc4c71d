#include "session_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "ink_paths.h"
#include "tmp_names.h"
#include "ink_time.h"

namespace ink::record {

// Only the user's own regular file; a FIFO planted under the name must not
// hold us up.
int open_if_requested() {
    return ink::tmp::open_own_file(ink::path::kRecordFile, O_WRONLY | O_APPEND);
}

int append(int fd, char tag, const unsigned char *data, std::size_t n) {
    // Tag, time, and up to 64 bytes per line (a report carries at most 7).
    char line[32 + 3 * 64 + 2];
    // Times on the suite's nominal clock: a time-scaled test build's
    // recording replays at the same pace as a real one.
    int len =
        std::snprintf(line, sizeof line, "%c %lld", tag, ink::time::now_us() * ink::time::kScale);
    if (n > 64)
        n = 64;
    for (std::size_t i = 0; i < n; ++i)
        len += std::snprintf(line + len, sizeof line - static_cast<std::size_t>(len), " %02x",
                             data[i]);
    line[len++] = '\n';
    return write(fd, line, static_cast<std::size_t>(len)) == len ? 0 : -1;
}

void note_event(unsigned char event) {
    int fd = open_if_requested();
    if (fd < 0)
        return;
    append(fd, 'E', &event, 1);
    close(fd);
}

}  // namespace ink::record
