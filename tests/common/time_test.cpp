#include <gtest/gtest.h>

#include "ink_time.h"

TEST(TimeScale, ScaledDurationsNeverVanish) {
    EXPECT_EQ(ink::time::scaled_us(0), 0);
    EXPECT_GE(ink::time::scaled_us(1), 1);
    EXPECT_EQ(ink::time::scaled_us(1000000), 1000000 / ink::time::kScale);
    EXPECT_EQ(ink::time::scaled_ms(5000), 5000 / ink::time::kScale);
}

TEST(TimeScale, SleepWaitsAtLeastTheScaledTime) {
    long long t0 = ink::time::now_us();
    ink::time::sleep_ms(200);
    long long dt = ink::time::now_us() - t0;
    EXPECT_GE(dt, ink::time::scaled_us(200000));
}
