// The one place where the suite sleeps and sizes its time budgets.
//
// Every duration is one of two kinds:
//  - a pause: time the suite spends on purpose (the device protocol's steps,
//    the relay's pace, the main machine's waits, a retry's interval, a tick);
//  - a budget: how long the suite waits for a peer before it gives up (the
//    unit's answer, the relay's input and stall limits, the tray's and
//    inkctl's waits, a bus call).
// A sandbox build (cmake -DINK_TIME_SCALE=<n>) divides pauses by n, so that
// process-level tests run the real code paths quickly. Budgets are divided by
// INK_BUDGET_SCALE, which is n unless the build sets it lower: a test build
// that shortens its pauses tenfold can leave a slow host more room to answer.
// No other file calls usleep or sleep directly.
#pragma once

#ifndef INK_TIME_SCALE_VALUE
#define INK_TIME_SCALE_VALUE 1
#endif
#ifndef INK_BUDGET_SCALE_VALUE
#define INK_BUDGET_SCALE_VALUE INK_TIME_SCALE_VALUE
#endif

namespace ink::time {

inline constexpr long kScale = INK_TIME_SCALE_VALUE;
inline constexpr long kBudgetScale = INK_BUDGET_SCALE_VALUE;
static_assert(kScale >= 1, "INK_TIME_SCALE must be a positive integer");
static_assert(kBudgetScale >= 1 && kBudgetScale <= kScale,
              "INK_BUDGET_SCALE must be a positive integer no larger than INK_TIME_SCALE");

// A duration in microseconds as this build runs it (at least 1 µs for any
// positive duration, so a scaled wait never turns into a busy loop).
constexpr long divided(long us, long by) {
    return us <= 0 ? 0 : (us / by > 0 ? us / by : 1);
}
constexpr long pause_us(long us) {
    return divided(us, kScale);
}
constexpr long pause_ms(long ms) {
    return divided(ms, kScale);
}
constexpr long budget_us(long us) {
    return divided(us, kBudgetScale);
}
constexpr long budget_ms(long ms) {
    return divided(ms, kBudgetScale);
}

// Sleeps for the pause us; resumes after signals until it has elapsed.
void sleep_us(long us);
inline void sleep_ms(long ms) {
    sleep_us(ms * 1000);
}
inline void sleep_s(long s) {
    sleep_us(s * 1000000);
}

// Sleeps for the budget us: for a stand-in that plays a peer's limit (the
// kernel's hold on a blocked report), measured against the suite's budgets.
void sleep_budget_us(long us);

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
