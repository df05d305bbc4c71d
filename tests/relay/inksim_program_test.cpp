// The inksim program playing a scenario file, read through the real relay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ink_paths.h"
#include "link_server.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

TEST(InksimProgram, PlaysATapScenarioThenUnplugsAndExits) {
    if (auto why = inktest::why_no_virtual_unit(); !why.empty())
        GTEST_SKIP() << why;
    inktest::reset_sandbox();
    inktest::install_program("inkrelay");
    std::string scenario = inktest::in_root("/tmp/tap.txt");
    inktest::write_file(scenario, "noise 0\npause 100\ntap 512 384 80\npause 200\nunplug\n");

    auto sim = inktest::Process::start(
        {inktest::bin_dir() + "/inksim", "--scenario", scenario, "--exit-when-done"},
        inktest::in_root("/tmp/inksim.out"));
    ASSERT_TRUE(sim.wait_output("inksim: unit ready", 5s)) << sim.output();
    ASSERT_TRUE(inktest::exists(ink::path::kDeviceNode));

    inktest::LinkServer server;
    ASSERT_TRUE(server.listen());
    auto relay = inktest::Process::start({inktest::in_root("/usr/bin/inkrelay")},
                                         inktest::in_root("/tmp/relay.out"));
    ASSERT_TRUE(server.accept(3000));
    server.send({'r'});
    // 10 frames without the pen, 8 with it (80 ms at 100 frames per second),
    // 20 without; then the unit is unplugged and the relay ends.
    auto bytes = server.read(10 + 8 * 11 + 20 + 1, 5000);
    std::vector<uint8_t> expect(10, 0xFF);
    size_t spots = 0, i = 10;
    ASSERT_EQ(bytes.size(), 10u + 8 * 11 + 20);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10), expect);
    for (; i < bytes.size() && bytes[i] == 0xFE; i += 11)
        ++spots;
    EXPECT_EQ(spots, 8u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<long>(i), bytes.end()),
              std::vector<uint8_t>(20, 0xFF));

    auto rst = relay.wait(3000ms);
    ASSERT_TRUE(rst.has_value());
    EXPECT_TRUE(WIFEXITED(*rst) && WEXITSTATUS(*rst) == 0);
    auto sst = sim.wait(3000ms);
    ASSERT_TRUE(sst.has_value()) << sim.output();
    EXPECT_TRUE(WIFEXITED(*sst) && WEXITSTATUS(*sst) == 0);
    EXPECT_FALSE(inktest::exists(ink::path::kDeviceNode));
}

TEST(InksimProgram, RefusesABadScenarioWithItsLine) {
    if (!inktest::sandbox_available())
        GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT=...)";
    inktest::reset_sandbox();
    std::string scenario = inktest::in_root("/tmp/bad.txt");
    inktest::write_file(scenario, "tap 1 2\nwobble 3\n");
    auto sim = inktest::Process::start({inktest::bin_dir() + "/inksim", "--scenario", scenario},
                                       inktest::in_root("/tmp/inksim.out"));
    auto st = sim.wait(3000ms);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(WEXITSTATUS(*st), 2);
    EXPECT_NE(sim.output().find("line 2: unknown word 'wobble'"), std::string::npos)
        << sim.output();
}

}  // namespace
