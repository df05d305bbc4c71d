#include <gtest/gtest.h>

#include "ink_time.h"

TEST(TimeScale, ScaledDurationsNeverVanish) {
    EXPECT_EQ(ink::time::pause_us(0), 0);
    EXPECT_GE(ink::time::pause_us(1), 1);
    EXPECT_EQ(ink::time::pause_us(1000000), 1000000 / ink::time::kScale);
    EXPECT_EQ(ink::time::pause_ms(5000), 5000 / ink::time::kScale);
    // Budgets are divided by their own scale, never by more than the pauses.
    EXPECT_EQ(ink::time::budget_us(5000000), 5000000 / ink::time::kBudgetScale);
    EXPECT_GE(ink::time::budget_ms(2000), ink::time::pause_ms(2000));
    EXPECT_GE(ink::time::budget_us(1), 1);
}

TEST(TimeScale, SleepWaitsAtLeastTheScaledTime) {
    long long t0 = ink::time::now_us();
    ink::time::sleep_ms(200);
    long long dt = ink::time::now_us() - t0;
    EXPECT_GE(dt, ink::time::pause_us(200000));
}

TEST(TimeScale, WaitStepsSleepsEveryStepScaledOnItsOwn) {
    long long before = ink::time::slept_us();
    ink::time::wait_steps(0, 20);
    EXPECT_EQ(ink::time::slept_us(), before);
    ink::time::wait_steps(5, 20);
    EXPECT_EQ(ink::time::slept_us() - before, 5 * (20000 / ink::time::kScale));
}
