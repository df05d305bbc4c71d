#include "fmouse_sys.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

unsigned char vxd_debug_flag = 0;

namespace {

constexpr size_t kBufSize = 1000;

void emit(const char *prefix, const char *str) {
    if (vxd_debug_flag != 1)
        return;
    std::printf("%s%s", prefix, str);
    // Flushed at once so that a reader on a pipe sees lines as they happen and
    // in order with the signal handlers' unbuffered writes.
    std::fflush(stdout);
}

}  // namespace

void fmouse_msg(const char *str) {
    emit("FMOUSE MSG: ", str);
}
void fmouse_err(const char *str) {
    emit("FMOUSE ERR: ", str);
}

void fmouse_msgf(const char *fmt, ...) {
    char buf[kBufSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fmouse_msg(buf);
}

void fmouse_errf(const char *fmt, ...) {
    char buf[kBufSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fmouse_err(buf);
}

void fmouse_msg_raw(const char *str) {
    if (vxd_debug_flag != 1)
        return;
    char buf[kBufSize];
    static const char prefix[] = "FMOUSE MSG: ";
    size_t n = sizeof prefix - 1;
    std::memcpy(buf, prefix, n);
    size_t len = std::strlen(str);
    if (len > kBufSize - n)
        len = kBufSize - n;
    std::memcpy(buf + n, str, len);
    ssize_t r = write(STDOUT_FILENO, buf, n + len);
    (void)r;
}
