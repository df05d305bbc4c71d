#include "ink_time.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace ink::time {

namespace {
std::atomic<long long> g_slept{0};

void sleep_for(long s) {
    if (s <= 0)
        return;
    g_slept.fetch_add(s, std::memory_order_relaxed);
    timespec req{s / 1000000, (s % 1000000) * 1000};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}
}  // namespace

long long slept_us() {
    return g_slept.load(std::memory_order_relaxed);
}

void sleep_us(long us) {
    sleep_for(pause_us(us));
}

void sleep_budget_us(long us) {
    sleep_for(budget_us(us));
}

void wait_steps(int count, long ms) {
    for (int i = 0; i < count; ++i)
        sleep_ms(ms);
}

long long now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

}  // namespace ink::time
