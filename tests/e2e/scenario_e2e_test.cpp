// The example scenarios of testing/scenarios played through the whole suite:
// the real daemon and relay, the virtual unit through FUSE, the fake tray
// program and a reader on the pointer pipe. What each file shows is what the
// desktop gets (skips without FUSE).
#include <algorithm>

#include "inksim/pen_path.h"
#include "sessions/pen_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

// The last position a record gave before record i.
std::pair<int, int> position_before(const std::vector<PointerBytes> &recs, size_t i) {
    std::pair<int, int> at{-1, -1};
    for (size_t k = 0; k < i; ++k)
        if (rec_x(recs[k]) != 0 || rec_y(recs[k]) != 0)
            at = {rec_x(recs[k]), rec_y(recs[k])};
    return at;
}

class ExampleScenario : public PenSession {
  protected:
    // Plays the scenario file to its end and takes the pointer records, whose
    // pressed positions must all lie on the pen's path.
    void play(const std::string &name) {
        start_scenario(name);
        ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
        ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 60s)) << name << " did not end";
        pipe_->wait_quiet(300, 10s);
        got_ = pipe_->records();
        ASSERT_FALSE(got_.empty());
        held_ = expect_on_pen(got_, 6.0);
    }
    std::vector<PointerBytes> got_;
    size_t held_ = 0;  // records with the left button held
};

}  // namespace

TEST_F(ExampleScenario, TapCentreIsOneClickWhereThePenTapped) {
    play("tap_centre.txt");
    EXPECT_EQ(presses(got_, 0x04), 1u) << dump(got_);
    EXPECT_EQ(presses(got_, 0x01), 0u) << dump(got_);
    for (const auto &r : got_)
        if (r[0] & 0x04) {
            EXPECT_NEAR(rec_x(r), 512, 6);
            EXPECT_NEAR(rec_y(r), 384, 6);
        }
}

TEST_F(ExampleScenario, StrokeDiagonalIsTwoDragsAlongThePen) {
    play("stroke_diagonal.txt");
    EXPECT_EQ(presses(got_, 0x04), 2u) << dump(got_);
    EXPECT_EQ(presses(got_, 0x01), 0u) << dump(got_);
    EXPECT_GT(held_, 40u) << "the drags move the pointer along";
}

TEST_F(ExampleScenario, RightClickIsOneRightClickWhereThePenTapped) {
    play("right_click.txt");
    EXPECT_EQ(presses(got_, 0x01), 1u) << dump(got_);
    EXPECT_EQ(presses(got_, 0x04), 0u) << "no left click of the three taps\n" << dump(got_);
    for (size_t i = 0; i < got_.size(); ++i)
        if (got_[i][0] & 0x01) {
            auto at = position_before(got_, i + 1);
            EXPECT_NEAR(at.first, 600, 6);
            EXPECT_NEAR(at.second, 301, 6);
            break;
        }
}

// The cable comes out with the pen down in the middle of a stroke: the
// daemon releases the button where the pen was and disconnects once; the pen
// is lifted while the cable is out, and when it goes back in the daemon
// brings the unit up again and presses nothing.
TEST_F(ExampleScenario, UnplugWhileDrawingReleasesTheButtonAndComesBack) {
    start_scenario("unplug_while_drawing.txt");
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    ASSERT_TRUE(wait_cmd_count("66", 2, 30s)) << daemon_.output();
    // The daemon wrote the release and the closing record before it greeted
    // the tray program again, but the pipe's reader thread may not have taken
    // them in yet: everything up to the closing record is what the unplug left.
    const PointerBytes closing{0xF0, 0, 0, 0};
    std::vector<PointerBytes> at_unplug;
    ASSERT_TRUE(wait_until(
        [&] {
            at_unplug = pipe_->records();
            auto c = std::find(at_unplug.begin(), at_unplug.end(), closing);
            if (c == at_unplug.end())
                return false;
            at_unplug.erase(c + 1, at_unplug.end());
            return true;
        },
        10s))
        << "no closing record:\n"
        << dump(at_unplug);
    ASSERT_GE(at_unplug.size(), 2u);
    EXPECT_EQ(presses(at_unplug, 0x04), 1u) << dump(at_unplug);
    const auto &release = at_unplug[at_unplug.size() - 2];
    EXPECT_EQ(release[0], 0xF0) << dump(at_unplug);
    const auto pen = inksim::pen_strokes(scenario_.steps);
    EXPECT_LT(inksim::dist_to_pen(pen, rec_x(release), rec_y(release)), 6.0)
        << "released on the stroke's path:\n"
        << dump(at_unplug);

    ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 30s)) << "the plug step";
    ASSERT_TRUE(wait_cmd_count("88", 2, 30s)) << daemon_.output();
    EXPECT_EQ(count_cmd("66"), 2u) << "one disconnect";
    pipe_->wait_quiet(500, 10s);
    const auto all = pipe_->records();
    const std::vector<PointerBytes> after(all.begin() + static_cast<long>(at_unplug.size()),
                                          all.end());
    EXPECT_EQ(presses(after, 0x04) + presses(after, 0x01), 0u) << dump(after);
}

// A unit that was never calibrated, with another camera at 60 frames per
// second: it identifies itself and hands over its record, which decodes to
// no grid; the daemon says so at every bring-up, never runs it and presses no
// button.
TEST_F(ExampleScenario, FreshUnitIsRefusedAtEveryBringUp) {
    start_scenario("fresh_unit.txt");
    ASSERT_TRUE(wait_cmd_count("44", 2, 40s)) << daemon_.output();
    EXPECT_EQ(count_cmd("88"), 0u);
    EXPECT_GE(count_of(daemon_.output(), "Calibration data channel seems incorrect\n"), 2u);
    std::string unit = unit_commands();
    EXPECT_GE(count_of(unit, "T"), 2u) << unit;
    EXPECT_GE(count_of(unit, "d"), 2u) << unit;
    EXPECT_EQ(unit.find('r'), std::string::npos) << "never run: " << unit;
    const auto recs = pipe_->records();
    EXPECT_EQ(presses(recs, 0x04) + presses(recs, 0x01), 0u) << dump(recs);
}

// A unit that misbehaves: a wrong type answer first, slow answers, a stored
// record whose checksum is damaged, then noise in the frame stream and a lamp
// left on. The daemon asks for the type again, says the checksum is wrong and
// goes on with the record (it still decodes), runs the unit after one
// bring-up, and neither the noise nor the lamp, unseen at the running
// sensitivity, presses a button.
TEST_F(ExampleScenario, FaultyUnitComesUpOnceAndItsNoiseAndLampPressNothing) {
    start_scenario("faulty_unit.txt");
    ASSERT_TRUE(wait_cmd_count("88", 1, 40s)) << daemon_.output();
    ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 60s)) << daemon_.output();
    pipe_->wait_quiet(300, 10s);
    EXPECT_EQ(tray_commands(), (std::vector<std::string>{"66", "77", "f2", "f0", "f1", "88"}));
    EXPECT_EQ(unit_commands(), "popTpopTpepccccccccppdgr");
    const std::string out = daemon_.output();
    EXPECT_EQ(count_of(out, "FMOUSE ERR: unknow hardware type"), 1u);
    EXPECT_EQ(count_of(out, "FMOUSE ERR: Check cal sum error"), 1u);
    EXPECT_GE(count_of(out, "FMOUSE ERR: running read data error"), 1u) << "the noise was read";
    const auto recs = pipe_->records();
    EXPECT_EQ(presses(recs, 0x04) + presses(recs, 0x01), 0u) << dump(recs);
}
