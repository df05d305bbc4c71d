// Calibration end to end: the real daemon, relay and inhibitor, the virtual
// unit through FUSE, the fake tray program, and a virtual user who touches
// the targets; the test checks that the daemon drew each target where the
// layout puts it, and what it stored in the unit.
#include "sessions/calib_session.h"

using namespace inktest;
using namespace std::chrono_literals;
using Cmds = std::vector<std::string>;

namespace {

// The commands of cmds from the first `from` on; none when it never came.
Cmds from_first(const Cmds &cmds, const std::string &from) {
    return {std::find(cmds.begin(), cmds.end(), from), cmds.end()};
}

}  // namespace

TEST_F(CalibSession, NormalCalibrationStoresTheSampledRecordAndThePenFollowsIt) {
    bring_up("");
    size_t log_from = sim_->commands().size();
    // Counted from here: a first bring-up may be started over on a loaded
    // machine, which is not what this test is about.
    const size_t connects = count_cmd("66");
    calibrate(grid(1024, 768, 4, 3));
    Samples s = check_completed(1024, 768, 4, 3);
    ASSERT_EQ(s.u.size(), 12u);
    // Without stray light no background acquisition; the camera is back at
    // the low setting. The daemon tells the tray before its run command has
    // crossed the relay.
    ASSERT_TRUE(
        wait_until([&] { return unit_cmds_from(sim_->commands(), log_from).back() == 'r'; }, 5s))
        << unit_cmds_from(sim_->commands(), log_from);
    std::string seq = unit_cmds_from(sim_->commands(), log_from);
    EXPECT_EQ(seq.find('B'), std::string::npos) << seq;
    EXPECT_EQ(seq.substr(seq.size() - 3), "vgr") << seq;
    sim_->with_firmware([](inksim::Firmware &fw) { EXPECT_EQ(fw.reg(0x35), 0x20); });
    EXPECT_EQ(count_cmd("66"), connects) << "no reconnect after a stored calibration\n"
                                         << output_tail();
    check_inhibitor_gone();
    pen_session_through(1024, 768);
}

TEST_F(CalibSession, AdvancedCalibrationOnAWideScreenWithAHesitantUser) {
    setenv("INKFAKETRAY_MODE", "1", 1);
    write_file(log_dir_ + "/size", "1920 1080\n");
    bring_up("screen 1920 1080\n");
    auto cfg = grid(1920, 1080, 7, 5);
    // Pen still down from the previous target, then a touch of two frames.
    cfg.hesitate_at = {3, 10};
    calibrate(cfg);
    Samples s = check_completed(1920, 1080, 7, 5);
    ASSERT_EQ(s.u.size(), 35u);
    check_inhibitor_gone();
    pen_session_through(1920, 1080);
}

TEST_F(CalibSession, StrayLightIsTakenAsBackgroundBeforeTheDots) {
    bring_up("");
    size_t log_from = sim_->commands().size();
    auto cfg = grid(1024, 768, 4, 3);
    cfg.stray_light = true;
    calibrate(cfg);
    Samples s = check_completed(1024, 768, 4, 3);
    ASSERT_EQ(s.u.size(), 12u);
    auto log = sim_->commands();
    std::string seq = unit_cmds_from(log, log_from);
    // hold, open block, high sensitivity, run (50 bytes), hold, run, 'B',
    // hold, low sensitivity, run for the dots.
    auto b = seq.find("pgcrprBpcr");
    ASSERT_NE(b, std::string::npos) << seq;
    size_t i = log_from + b + 6;
    long long after_run = log[i].t_us - log[i - 1].t_us;
    long long held_after = log[i + 1].t_us - log[i].t_us;
    // Times are when the bytes reached the unit: the relay's pause after a
    // report may delay one of them, and a loaded machine any of them, which
    // shortens the gap to the next by as much. The bounds catch a wait that
    // is missing or plainly wrong: a tenth of it is left to the delivery.
    const auto slack = [](long long us) { return ink::time::pause_us(15000) + 1000 + us / 10; };
    const long long run_wait = ink::time::pause_us(100000), hold = ink::time::pause_us(1000000);
    EXPECT_GE(after_run, run_wait - slack(run_wait));
    EXPECT_LT(after_run, run_wait + 1000000);
    EXPECT_GE(held_after, hold - slack(hold));
    sim_->with_firmware([](inksim::Firmware &fw) {
        EXPECT_TRUE(fw.background_taken());
        EXPECT_EQ(fw.reg(0x35), 0x20) << "back at the low setting";
    });
    EXPECT_NE(daemon_.output().find("Light detected\n"), std::string::npos);
}

TEST_F(CalibSession, EscapeAtADotEndsWithAReconnectThatRestoresTheStoredRecord) {
    bring_up("");
    auto rec = unit_record();
    auto cfg = grid(1024, 768, 4, 3);
    cfg.cancel_at = 5;
    calibrate(cfg);
    ASSERT_TRUE(wait_cmd_count("88", 2, 40s)) << daemon_.output();
    EXPECT_EQ(from_first(tray_commands(), "11"),
              (Cmds{"11", "f0", "f1", "22", "22", "22", "22", "22", "22", "99", "66", "77", "f2",
                    "f0", "f1", "88"}));
    EXPECT_EQ(count_unit('v'), 0u);
    EXPECT_EQ(unit_record(), rec);
    EXPECT_NE(daemon_.output().find("Calibrate Exit\n"), std::string::npos);
    check_inhibitor_gone();
    // The pen follows the stored calibration again.
    pen_session_through(1024, 768);
}

TEST_F(CalibSession, RefusedBackgroundStoreFailsAndReconnects) {
    bring_up("");
    auto rec = unit_record();
    sim_->with_firmware(
        [](inksim::Firmware &fw) { fw.refuse_next(inksim::Firmware::kRefuseBdStart); });
    hold_answer_to('g');
    calibrate(grid(1024, 768, 4, 3));
    release_answer_once_the_command_runs();
    ASSERT_TRUE(wait_cmd_count("88", 3, 40s)) << daemon_.output();
    EXPECT_EQ(from_first(tray_commands(), "11"),
              (Cmds{"11", "f0", "f1", "88", "99", "66", "77", "f2", "f0", "f1", "88"}));
    EXPECT_NE(daemon_.output().find("check save BD0 data error"), std::string::npos)
        << "the unit's refusal, not a missing answer, failed the store";
    EXPECT_NE(daemon_.output().find("do abd error"), std::string::npos);
    EXPECT_EQ(unit_record(), rec);
    check_inhibitor_gone();
}

TEST_F(CalibSession, SilenceInTheMiddleFailsAndReconnects) {
    bring_up("");
    auto rec = unit_record();
    auto cfg = grid(1024, 768, 4, 3);
    calibrate(cfg);
    ASSERT_TRUE(wait_until([&] { return user_->shown() >= 4; }, 30s)) << daemon_.output();
    // The unit says nothing for a while: the dot's read gives up.
    sim_->with_firmware([](inksim::Firmware &fw) {
        fw.set_silence_until(ink::time::now_us() + ink::time::budget_us(6000000));
    });
    sim_->set_user(nullptr);
    ASSERT_TRUE(wait_cmd_count("88", 3, 60s)) << daemon_.output();
    auto cmds = tray_commands();
    auto at = std::find(cmds.begin(), cmds.end(), "aa");
    EXPECT_EQ(at, cmds.end()) << "the dots never finished";
    EXPECT_NE(daemon_.output().find("read spot error"), std::string::npos);
    auto c99 = std::find(cmds.begin(), cmds.end(), "99");
    ASSERT_NE(c99, cmds.end());
    EXPECT_EQ(*(c99 - 1), "88") << "failed: 0x88 then 0x99";
    EXPECT_EQ(unit_record(), rec);
    EXPECT_EQ(count_unit('v'), 0u);
    check_inhibitor_gone();
}

TEST_F(CalibSession, UnplugInTheMiddleFailsAndReconnectsOncePluggedBack) {
    bring_up("");
    auto rec = unit_record();
    calibrate(grid(1024, 768, 4, 3));
    ASSERT_TRUE(wait_until([&] { return user_->shown() >= 2; }, 30s)) << daemon_.output();
    sim_->unplug();
    ASSERT_TRUE(wait_cmd_count("99", 1, 30s)) << daemon_.output();
    ASSERT_TRUE(wait_cmd_count("66", 2, 30s)) << daemon_.output();
    sim_->set_user(nullptr);
    sim_->plug();
    ASSERT_TRUE(wait_cmd_count("88", 3, 60s)) << daemon_.output();
    auto cmds = tray_commands();
    auto c99 = std::find(cmds.begin(), cmds.end(), "99");
    EXPECT_EQ(*(c99 - 1), "88");
    EXPECT_EQ(unit_record(), rec);
    check_inhibitor_gone();
}

TEST_F(CalibSession, RefusedRecordWriteFailsAndReconnectsWithTheStoredRecord) {
    bring_up("");
    auto rec = unit_record();
    sim_->with_firmware([](inksim::Firmware &fw) { fw.refuse_next(inksim::Firmware::kRefuseCal); });
    calibrate(grid(1024, 768, 4, 3));
    ASSERT_TRUE(wait_cmd_count("88", 3, 60s)) << daemon_.output();
    EXPECT_EQ(from_first(tray_commands(), "aa"),
              (Cmds{"aa", "88", "99", "66", "77", "f2", "f0", "f1", "88"}));
    EXPECT_EQ(count_unit('v'), 1u);
    std::string seq = unit_commands();
    EXPECT_EQ(seq.substr(seq.find('v') + 1, 2), "po")
        << "no fitted block for a record the unit refused; the reconnect fills first";
    EXPECT_EQ(unit_record(), rec);
    EXPECT_NE(daemon_.output().find("calibration record not stored"), std::string::npos);
    check_inhibitor_gone();
}

TEST_F(CalibSession, TwoTargetsAtOneCameraPositionAreRefusedAndTheRecordIsKept) {
    bring_up("");
    auto rec = unit_record();
    auto cfg = grid(1024, 768, 4, 3);
    cfg.repeat_at = 6;  // the user touches target 5 again for target 6
    calibrate(cfg);
    ASSERT_TRUE(wait_cmd_count("88", 3, 60s)) << daemon_.output();
    EXPECT_EQ(from_first(tray_commands(), "aa"),
              (Cmds{"aa", "88", "99", "66", "77", "f2", "f0", "f1", "88"}));
    EXPECT_EQ(count_unit('v'), 0u) << "nothing written";
    EXPECT_EQ(unit_record(), rec);
    EXPECT_NE(daemon_.output().find("make no usable model"), std::string::npos);
}

TEST_F(CalibSession, AStrayEmptyFrameMarkerOutOfStepIsNoLift) {
    bring_up("");
    auto cfg = grid(1024, 768, 4, 3);
    cfg.hesitate_at = {5};
    // While the pen still rests on target 4, the stream carries a byte out of
    // step and a 0xFF, as when the flush cuts a spot record there.
    on_shown_ = [this](int k) {
        if (k == 5)
            sim_->send_bytes({0x13, 0xFF});
    };
    calibrate(cfg);
    Samples s = check_completed(1024, 768, 4, 3);
    ASSERT_EQ(s.u.size(), 12u);
    EXPECT_GT(std::hypot(s.u[5] - s.u[4], s.v[5] - s.v[4]), 50.0);
}
