#include <gtest/gtest.h>

#include "fmouse_start.h"

TEST(DaemonArgs, OnlyNothingOrExactlyTheDebugSwitch) {
    auto check = [](std::vector<const char *> v) {
        return fmouse_check_args(static_cast<int>(v.size()), const_cast<char **>(v.data()));
    };
    EXPECT_EQ(check({"inkd"}), ArgResult::Normal);
    EXPECT_EQ(check({"inkd", "--vxd-debug"}), ArgResult::Debug);
    EXPECT_EQ(check({"inkd", "--vxd-debug", "x"}), ArgResult::Error);
    EXPECT_EQ(check({"inkd", "--vxd-debu"}), ArgResult::Error);
    EXPECT_EQ(check({"inkd", "--vxd-debugg"}), ArgResult::Error);
    EXPECT_EQ(check({"inkd", ""}), ArgResult::Error);
}
