// The one place where the suite sleeps and sizes its time budgets.
//
// A sandbox build (cmake -DINK_TIME_SCALE=<n>) divides every sleep, wait and
// budget by n, so process-level tests run the real code paths quickly. No other
// file calls usleep or sleep directly.
#pragma once

#ifndef INK_TIME_SCALE_VALUE
#define INK_TIME_SCALE_VALUE 1
#endif

namespace ink::time {

inline constexpr long kScale = INK_TIME_SCALE_VALUE;
static_assert(kScale >= 1, "INK_TIME_SCALE must be a positive integer");

// A duration in microseconds as this build runs it (at least 1 µs for any
// positive duration, so a scaled wait never turns into a busy loop).
constexpr long scaled_us(long us) {
    return us <= 0 ? 0 : (us / kScale > 0 ? us / kScale : 1);
}
constexpr long scaled_ms(long ms) {
    return ms <= 0 ? 0 : (ms / kScale > 0 ? ms / kScale : 1);
}

// Sleeps for the scaled duration; resumes after signals until it has elapsed.
void sleep_us(long us);
inline void sleep_ms(long ms) {
    sleep_us(ms * 1000);
}
inline void sleep_s(long s) {
    sleep_us(s * 1000000);
}

// Sleeps count steps of ms milliseconds each. The device protocol times its
// waits in counted steps, and the count is part of its timing: each step is
// scaled on its own, so a scaled build still sleeps count times.
void wait_steps(int count, long ms);

// Monotonic clock in microseconds (unscaled), for measuring and deadlines.
long long now_us();

// Total time this process has asked to sleep through sleep_us, scaled as slept
// (for measuring how much of an operation is fixed pauses).
long long slept_us();

}  // namespace ink::time
