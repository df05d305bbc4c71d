#include "consumer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fmouse_sys.h"

namespace ink::pointer {

void place_in_area(Action *actions, std::size_t n, const ink::monitors::Rect &area) {
    if (area.width < 1 || area.height < 1)
        return;
    for (std::size_t i = 0; i < n; ++i) {
        actions[i].x = area.x + std::clamp(actions[i].x, 0, area.width - 1);
        actions[i].y = area.y + std::clamp(actions[i].y, 0, area.height - 1);
    }
}

int ensure_fifo(const char *path) {
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return 0;
        fmouse_errf("%s exists and is not a named pipe\n", path);
        return -1;
    }
    if (errno != ENOENT) {
        fmouse_errf("%s: %s\n", path, std::strerror(errno));
        return -1;
    }
    if (mkfifo(path, 0666) != 0 && errno != EEXIST) {
        fmouse_errf("cannot create %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    // The daemon may run as another user: the mode must not depend on umask.
    if (chmod(path, 0666) != 0)
        fmouse_errf("cannot open %s to all writers: %s\n", path, std::strerror(errno));
    fmouse_msgf("created %s\n", path);
    return 0;
}

int open_fifo(const char *path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fmouse_errf("cannot open %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        fmouse_errf("%s is not a named pipe\n", path);
        close(fd);
        return -1;
    }
    return fd;
}

void Consumer::feed(const std::uint8_t *data, std::size_t n) {
    reader_.feed(
        data, n, [this](const std::uint8_t *bytes, const Record &r) { on_record(bytes, r); },
        [this](std::uint8_t skipped) {
            ++bad_bytes_;
            fmouse_errf("pointer pipe out of step at byte %02x\n", skipped);
        });
}

void Consumer::on_record(const std::uint8_t *bytes, const Record &r) {
    ++records_;
    if (observer_) {
        RecordBytes b;
        std::copy(bytes, bytes + b.size(), b.begin());
        observer_(b);
    }
    std::array<Action, kMaxActions> acts;
    std::size_t n = translator_.translate(r, &acts);
    place_in_area(acts.data(), n, area_);
    if (n > 0 && backend_.perform(acts.data(), n) != 0)
        fmouse_errf("%s backend refused a record\n", backend_.name());
}

void Consumer::release_all() {
    std::array<Action, kMaxActions> acts;
    std::size_t n = translator_.release_all(&acts);
    place_in_area(acts.data(), n, area_);
    if (n > 0)
        backend_.perform(acts.data(), n);
}

}  // namespace ink::pointer
