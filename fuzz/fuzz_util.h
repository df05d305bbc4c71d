// Helpers shared by the fuzz targets.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace fuzz {

namespace detail {
inline char g_scratch[256] = "";

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);  // an entry that cannot go is left, the rest still goes
    return 0;
}

// Removes the scratch directory with everything in it when the process exits.
inline void remove_scratch() {
    if (g_scratch[0] != '\0')
        nftw(g_scratch, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
}  // namespace detail

// A private scratch directory for the life of the fuzzing process, removed
// at its exit (libFuzzer ends a bounded run through exit()). It is made in
// $TMPDIR when that is an absolute path, else in /tmp: a crash or a hang ends
// the process without the exit handlers, so the caller's TMPDIR is where a
// left-over directory can be found and removed.
inline const char *scratch_dir() {
    char *dir = detail::g_scratch;
    if (dir[0] == '\0') {
        const char *base = getenv("TMPDIR");
        if (base == nullptr || base[0] != '/')
            base = "/tmp";
        int n = std::snprintf(dir, sizeof detail::g_scratch, "%s/inkfuzz-XXXXXX", base);
        if (n < 0 || static_cast<size_t>(n) >= sizeof detail::g_scratch || mkdtemp(dir) == nullptr)
            abort();
        atexit(detail::remove_scratch);
    }
    return dir;
}

// Writes data to path (created or truncated); aborts when it cannot.
inline void write_file(const char *path, const uint8_t *data, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        abort();
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, data + done, size - done);
        if (w <= 0)
            abort();
        done += static_cast<size_t>(w);
    }
    close(fd);
}

// The directory the fuzzer was started in, where it keeps its corpus and
// artifacts under relative names.
inline int start_dir() {
    static const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return here;
}

// Runs fn with the scratch directory as the working directory, where the
// core looks for TAB_Def.dat, then returns to the start directory.
template <typename Fn>
void in_scratch_dir(Fn fn) {
    const int here = start_dir();
    if (here < 0 || chdir(scratch_dir()) != 0)
        abort();
    fn();
    if (fchdir(here) != 0)
        abort();
}

// Puts data into the scratch directory's TAB_Def.dat.
inline void write_table_file(const uint8_t *data, size_t size) {
    char path[sizeof detail::g_scratch + 16];
    std::snprintf(path, sizeof path, "%s/TAB_Def.dat", scratch_dir());
    write_file(path, data, size);
}

// Puts text into the scratch directory's TAB_Def.dat; nullptr removes it.
inline void set_table_file(const char *text) {
    if (text != nullptr) {
        write_table_file(reinterpret_cast<const uint8_t *>(text), std::strlen(text));
        return;
    }
    char path[sizeof detail::g_scratch + 16];
    std::snprintf(path, sizeof path, "%s/TAB_Def.dat", scratch_dir());
    if (unlink(path) != 0 && errno != ENOENT)
        abort();
}

// Takes bytes from the front of the input; zeros once it is used up.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t *rest() const { return p_; }
    void take(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out[i] = byte();
    }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// Reads and drops everything that arrives on fd until its peer closes: the
// far end of a channel whose answers the test does not look at.
inline void drain(int fd) {
    uint8_t buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

}  // namespace fuzz
