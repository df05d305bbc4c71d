// Faults during the connection bring-up, one cell per step and kind of fault:
// the unit is unplugged, falls silent, sends garbage or refuses; the relay,
// the tray program or the daemon is killed. In every cell the daemon must come
// back to Run once the fault is over (by itself, or, where a killed tray
// program or daemon ended it, once it is started again, with nothing of the
// old one left running), the unit's stored calibration record must be
// unchanged, the daemon must have exactly its tray program and one relay as
// children, and it must hold the same descriptors as after a bring-up without
// a fault.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "ink_time.h"
#include "sessions/pen_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

struct Cell {
    char step;  // the unit command at whose arrival the fault strikes
    Fault fault;
};

[[maybe_unused]] void PrintTo(const Cell &c, std::ostream *os) {
    *os << c.step << "/" << fault_name(c.fault);
}

class BringUpFault : public PenSession, public ::testing::WithParamInterface<Cell> {
  protected:
    std::array<uint8_t, 256> record() {
        std::array<uint8_t, 256> r{};
        sim_->with_firmware([&](inksim::Firmware &fw) { r = fw.record(); });
        return r;
    }
    // The background store's first and final acknowledgements refused.
    void arm_refusal() {
        sim_->with_firmware([](inksim::Firmware &fw) {
            fw.refuse_next(inksim::Firmware::kRefuseBdStart | inksim::Firmware::kRefuseBdEnd);
        });
    }
};

TEST_P(BringUpFault, RecoversToRunWithNothingLeftBehind) {
    const Cell cell = GetParam();
    start(
        "param 10 2\n"
        "param 11 1\n"
        "param 12 255\n");
    const auto stored = record();
    // A clean bring-up first: what a running daemon holds.
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    std::this_thread::sleep_for(200ms);
    const auto clean = daemon_descriptors();
    size_t seen = 0;
    for (const auto &c : sim_->commands())
        seen += c.cmd == static_cast<uint8_t>(cell.step);

    // A second bring-up, and the fault at its step.
    sim_->unplug();
    ASSERT_TRUE(wait_cmd_count("66", 2, 20s));
    sim_->plug();
    ASSERT_TRUE(wait_unit_command(cell.step, seen + 1, 20s)) << daemon_.output();
    if (cell.fault == Fault::Refuse)
        arm_refusal();
    strike(cell.fault);

    // Run again: the last notification is 0x88 and stays so.
    ASSERT_TRUE(wait_until(
        [&] {
            auto c = tray_commands();
            return count_cmd("88") >= 2 && c.back() == "88";
        },
        40s))
        << daemon_.output();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(tray_commands().back(), "88") << "still running";
    EXPECT_TRUE(daemon_.running());

    EXPECT_EQ(record(), stored) << "the stored calibration record changed";
    EXPECT_EQ(children_of(daemon_.pid()).size(), 2u) << "the tray program and one relay";
    EXPECT_GT(child_named("inkrelay"), 0);
    auto fds = daemon_descriptors();
    EXPECT_EQ(fds, clean) << describe(fds) << " against " << describe(clean);
}

std::vector<Cell> cells() {
    std::vector<Cell> out{{'T', Fault::None}};
    // Identification, parameter block, camera registers, record, background.
    for (char step : {'T', 'e', 'c', 'd', 'g'})
        for (Fault f : {Fault::Unplug, Fault::Silence, Fault::Garbage, Fault::KillRelay,
                        Fault::KillTray, Fault::KillDaemon})
            out.push_back({step, f});
    out.push_back({'g', Fault::Refuse});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Matrix, BringUpFault, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell> &i) {
                             return std::string("at_") + i.param.step + "_" +
                                    fault_name(i.param.fault);
                         });

}  // namespace

namespace {

// Unplug and replug cycles in a row (INK_SOAK_CYCLES, 20 unless set): every
// cycle comes back to Run, and at the end the daemon holds what it held after
// the first bring-up, has its two children, and its memory has not grown.
TEST_F(PenSession, UnplugReplugSoak) {
    const char *env = std::getenv("INK_SOAK_CYCLES");
    const int cycles = env ? std::atoi(env) : 20;
    start(
        "param 10 2\n"
        "param 11 1\n"
        "param 12 255\n");
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    const SoakStart begin = soak_start();
    for (int i = 1; i <= cycles; ++i) {
        sim_->unplug();
        ASSERT_TRUE(wait_cmd_count("66", static_cast<size_t>(i) + 1, 20s)) << "cycle " << i;
        sim_->plug();
        ASSERT_TRUE(wait_cmd_count("88", static_cast<size_t>(i) + 1, 30s)) << "cycle " << i << "\n"
                                                                           << daemon_.output();
    }
    check_soak_end(begin, "soak: " + std::to_string(cycles) + " cycles");
}

}  // namespace
