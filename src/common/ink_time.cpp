#include "ink_time.h"

#include <cerrno>
#include <ctime>

namespace ink::time {

void sleep_us(long us) {
    long s = scaled_us(us);
    if (s <= 0)
        return;
    timespec req{s / 1000000, (s % 1000000) * 1000};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

}  // namespace ink::time
