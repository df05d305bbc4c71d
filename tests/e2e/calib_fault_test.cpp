// Faults during a calibration, one cell per step and kind of fault: the unit
// is unplugged, falls silent, sends garbage or refuses; the relay, the tray
// program or the daemon is killed. In every cell the suite must come back to
// Run (by itself, or once the daemon is started again where a killed tray
// program or daemon ended it), the unit's stored record must be the old one
// or one the unit received whole with a right checksum, nothing of the
// calibration may be left running, and the daemon must hold what it held
// after a clean bring-up.
//
// Also a soak: calibrations in a row (INK_CALIB_SOAK, 5 unless set).
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "sessions/calib_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

enum class Step { OpenBlock, Dot, Record, FittedBlock };

// In the order of Step.
const char *step_name(Step s) {
    static const char *const kNames[] = {"openblock", "dot", "record", "fittedblock"};
    static_assert(std::size(kNames) == static_cast<size_t>(Step::FittedBlock) + 1);
    return kNames[static_cast<int>(s)];
}

struct Cell {
    Step step;
    Fault fault;
};

[[maybe_unused]] void PrintTo(const Cell &c, std::ostream *os) {
    *os << step_name(c.step) << "/" << fault_name(c.fault);
}

class CalibFault : public CalibSession, public ::testing::WithParamInterface<Cell> {
  protected:
    // Waits for the moment of the step in the unit's or the user's view.
    bool wait_step(Step s) {
        switch (s) {
            case Step::OpenBlock:
                // The open block is the calibration's first exchange: the
                // fault strikes during its transfer once the inhibiting
                // command runs, so that it has a command to end.
                return wait_unit_command('g', g_before_ + 1, 30s) && wait_inhibiting_command(30s);
            case Step::Dot:
                return wait_until([&] { return user_->shown() >= 4; }, 30s);
            case Step::Record:
                return wait_unit_command('v', v_before_ + 1, 30s);
            case Step::FittedBlock:
                return wait_unit_command('g', g_before_ + 2, 30s);
        }
        return false;
    }

    // Refusals are set up before the unit answers the step's command.
    void arm_refusal(Step s) {
        if (s == Step::OpenBlock) {
            sim_->with_firmware(
                [](inksim::Firmware &fw) { fw.refuse_next(inksim::Firmware::kRefuseBdStart); });
        } else if (s == Step::Record) {
            sim_->with_firmware(
                [](inksim::Firmware &fw) { fw.refuse_next(inksim::Firmware::kRefuseCal); });
        } else if (s == Step::FittedBlock) {
            // After the open block went through: the next store is the fitted one.
            ASSERT_TRUE(wait_unit_command('v', v_before_ + 1, 30s)) << output_tail();
            sim_->with_firmware([](inksim::Firmware &fw) {
                fw.refuse_next(inksim::Firmware::kRefuseBdStart | inksim::Firmware::kRefuseBdEnd);
            });
        }
    }

    // Run again: the last notification is 0x88, more of them than before,
    // and no other follows for a while (a failed calibration says 0x88 just
    // before its 0x99).
    bool back_in_run(size_t runs_before) {
        auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end) {
            auto c = tray_commands();
            if (count_cmd("88") > runs_before && c.back() == "88") {
                std::this_thread::sleep_for(500ms);
                if (tray_commands().size() == c.size())
                    return true;
                continue;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The unit's record is the one it had, or a record it received whole
    // whose checksum is right (what a calibration wrote, or, after an upload
    // cut short by a dead link, whatever completed it and passed the unit's
    // one-byte checksum).
    // Returns what the unit keeps: "old" or "new".
    const char *check_record(const std::vector<uint8_t> &old) {
        auto now = unit_record();
        if (now == old)
            return "old";
        bool received_whole = false;
        for (const auto &c : sim_->commands())
            if (c.cmd == 'v' && c.payload == now)
                received_whole = true;
        EXPECT_TRUE(received_whole) << "the stored record is neither the old one nor an upload";
        EXPECT_TRUE(inksim::record_sealed(now.data()));
        return "new";
    }

    size_t v_before_ = 0;
};

TEST_P(CalibFault, SuiteRecoversWithTheRecordIntactAndNothingLeftBehind) {
    const Cell cell = GetParam();
    bring_up("");
    std::this_thread::sleep_for(200ms);
    const auto clean = daemon_descriptors();
    const auto old = unit_record();
    v_before_ = count_unit('v');
    if (cell.fault == Fault::Refuse && cell.step == Step::OpenBlock)
        arm_refusal(cell.step);
    calibrate(grid(1024, 768, 4, 3));
    ASSERT_FALSE(HasFatalFailure());
    if (cell.fault == Fault::Refuse && cell.step != Step::OpenBlock)
        arm_refusal(cell.step);
    ASSERT_TRUE(wait_step(cell.step)) << output_tail();
    const size_t runs_before = count_cmd("88");
    strike(cell.fault);

    ASSERT_TRUE(back_in_run(runs_before)) << output_tail();
    sim_->set_user(nullptr);
    stop_watch_ = true;
    watcher_.join();
    EXPECT_TRUE(daemon_.running());

    const char *kept = check_record(old);
    const bool stored = daemon_.output().find("Calibrate Finish\n") != std::string::npos;
    // The tray program and one relay; the inhibitor and its command gone
    // (reaped by the daemon in its own time, which a loaded host stretches).
    EXPECT_TRUE(wait_until([&] { return children_of(daemon_.pid()).size() == 2u; }, 5s))
        << children_of(daemon_.pid()).size() << " children\n"
        << output_tail();
    EXPECT_GT(child_named("inkrelay"), 0);
    EXPECT_GT(child_named("inktray"), 0);
    check_inhibitor_gone();
    auto fds = daemon_descriptors();
    EXPECT_EQ(fds, clean) << describe(fds) << " against " << describe(clean);
    std::printf("cell %s/%s: calibration %s, record %s, daemon started again %d times\n",
                step_name(cell.step), fault_name(cell.fault), stored ? "stored" : "failed", kept,
                restarts_);
}

std::vector<Cell> cells() {
    std::vector<Cell> out;
    for (Step s : {Step::OpenBlock, Step::Dot, Step::Record, Step::FittedBlock})
        for (Fault f : {Fault::Unplug, Fault::Silence, Fault::Garbage, Fault::KillRelay,
                        Fault::KillTray, Fault::KillDaemon})
            out.push_back({s, f});
    // The open block's and the record's refusals have tests of their own,
    // with the exact exchanges (calib_e2e_test).
    out.push_back({Step::FittedBlock, Fault::Refuse});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Matrix, CalibFault, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell> &i) {
                             return std::string(step_name(i.param.step)) + "_" +
                                    fault_name(i.param.fault);
                         });

// Calibrations in a row: every one is stored, and at the end the daemon holds
// what it held after its first bring-up, has its two children, nothing of
// the inhibitor is left, and its memory has not grown.
TEST_F(CalibSession, CalibrationsInARowSoak) {
    const char *env = std::getenv("INK_CALIB_SOAK");
    const int rounds = env ? std::atoi(env) : 5;
    bring_up("");
    // Counted from here: a first bring-up may be started over on a loaded
    // machine.
    const size_t connects = count_cmd("66");
    const SoakStart begin = soak_start();
    for (int i = 1; i <= rounds; ++i) {
        const size_t v0 = count_unit('v'), runs = count_cmd("88");
        calibrate(grid(1024, 768, 4, 3));
        ASSERT_FALSE(HasFatalFailure()) << "round " << i;
        ASSERT_TRUE(wait_until([&] { return count_unit('g') >= g_before_ + 2; }, 30s))
            << "round " << i << "\n"
            << output_tail();
        ASSERT_TRUE(wait_cmd_count("88", runs + 1, 30s)) << "round " << i;
        stop_watch_ = true;
        watcher_.join();
        sim_->set_user(nullptr);
        EXPECT_EQ(count_unit('v'), v0 + 1) << "round " << i;
        EXPECT_EQ(unit_record(), unit_cmd('v', v0).payload) << "round " << i;
    }
    EXPECT_EQ(count_cmd("66"), connects) << "no reconnect\n" << daemon_.output();
    check_inhibitor_gone();
    check_soak_end(begin, "calibration soak: " + std::to_string(rounds) + " rounds");
}

}  // namespace
