// The pen drives the pointer, end to end: real daemon and relay, the virtual
// unit through FUSE, the fake tray program, the pointer pipe.
#include <signal.h>

#include <algorithm>

#include "sessions/pen_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

// Parameter bytes 10 to 12 give the register corrections dGain 3,
// dRowStart 4, dColStart 0.
const char *kUnitSettings =
    "param 10 2\n"
    "param 11 1\n"
    "param 12 255\n";

std::string le32(int v) {
    char b[9];
    auto u = static_cast<unsigned>(v);
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x", u & 0xFF, (u >> 8) & 0xFF, (u >> 16) & 0xFF,
                  (u >> 24) & 0xFF);
    return b;
}

}  // namespace

TEST_F(PenSession, BringUpThenEveryFrameBecomesAPointerRecordOnThePen) {
    start_scenario("every_click_gesture.txt", kUnitSettings);
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();

    // The command channel: the worked example's exchanges, then only polls.
    ASSERT_TRUE(wait_until([&] { return tray_lines().size() >= 7; }, 5s));
    auto lines = tray_lines();
    ASSERT_GE(lines.size(), 7u);
    auto kids = [&] {
        std::vector<pid_t> k;
        std::istringstream in(read_file("/proc/" + std::to_string(daemon_.pid()) + "/task/" +
                                        std::to_string(daemon_.pid()) + "/children")
                                  .value_or(""));
        pid_t p;
        while (in >> p)
            k.push_back(p);
        return k;
    }();
    ASSERT_EQ(kids.size(), 2u) << "tray program and relay";
    pid_t relay = kids[1];
    EXPECT_EQ(lines[0], "D 66 | T 00");
    EXPECT_EQ(lines[1], "D 77 | T 00");
    EXPECT_EQ(lines[2], "D f2 " + le32(4) + le32(3) + le32(7) + le32(5) + le32(5) +
                            le32(daemon_.pid()) + le32(relay) + " | T 00");
    EXPECT_EQ(lines[3], "D f0 | T 0004000000");
    EXPECT_EQ(lines[4], "D f1 | T 0003000000");
    EXPECT_EQ(lines[5], "D 88 | T 00");

    // The unit saw the bring-up in order, with the corrected registers. The
    // daemon tells the tray before its run command has crossed the relay.
    ASSERT_TRUE(wait_unit_command('r', 1, 5s)) << unit_commands();
    EXPECT_EQ(unit_commands(), "popTpepccccccccppdgr");
    sim_->with_firmware([](inksim::Firmware &fw) {
        EXPECT_EQ(fw.reg(0x01), 200 + 4);
        EXPECT_EQ(fw.reg(0x02), 32);
        EXPECT_EQ(fw.reg(0x35), 0x20 + 3);
    });

    ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 60s));
    pipe_->wait_quiet(300, 10s);
    auto got = pipe_->records();
    ASSERT_FALSE(got.empty());

    // Stroke 1, tap 1, double tap 2, two nearby presses 2 plus the extra click.
    EXPECT_EQ(presses(got, 0x04), 7u) << dump(got);
    EXPECT_EQ(presses(got, 0x01), 1u) << "one right click";
    // One poll per frame read. A loaded host's daemon may be behind the
    // unit: it has read all but the frames of the last moments (at a
    // thousand a second in a time-scaled build) once it catches up, and it
    // never polls for a frame not streamed.
    auto polls = [&] { return tray_lines().size() - tray_commands().size(); };
    const size_t streamed = sim_->frames_sent().size();
    EXPECT_TRUE(wait_until([&] { return polls() + streamed / 10 >= streamed; }, 10s))
        << polls() << " polls for " << streamed << " frames";
    const size_t polled = polls();
    EXPECT_LE(polled, sim_->frames_sent().size());

    // Where the pen touched: every left-button record lies near the pen.
    expect_on_pen(got, 6.0);
}

TEST_F(PenSession, UnplugWhileRunningDisconnectsOnceAndComesBackWithANewRelay) {
    start(kUnitSettings);
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    std::string first_push;
    for (const auto &l : tray_lines())
        if (l.compare(2, 2, "f2") == 0)
            first_push = l;

    sim_->unplug();
    ASSERT_TRUE(wait_cmd_count("66", 2, 20s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count_cmd("66"), 2u) << "one Disconnect";
    EXPECT_EQ(count_cmd("77"), 1u) << "Detect waits for the node";

    sim_->plug();
    ASSERT_TRUE(wait_cmd_count("88", 2, 30s)) << daemon_.output();
    std::vector<std::string> pushes;
    for (const auto &l : tray_lines())
        if (l.compare(2, 2, "f2") == 0)
            pushes.push_back(l);
    ASSERT_EQ(pushes.size(), 2u);
    EXPECT_NE(pushes[0].substr(5 + 48, 8), pushes[1].substr(5 + 48, 8)) << "a new relay pid";
    auto cmds = tray_commands();
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 4),
              (std::vector<std::string>{"66", "77", "f2", "f0"}));
    // The closing record went to the pipe when the connection ended.
    auto recs = pipe_->records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back(), (PointerBytes{0xF0, 0, 0, 0}));
}

// A relay that is slow to end (a loaded machine) is still reaped: held
// stopped, it cannot forward frames, the daemon's read gives up and its
// SIGTERM waits pending until the relay runs again, after the daemon's grace.
TEST_F(PenSession, ARelaySlowToEndIsReapedNotLeftAZombie) {
    start(kUnitSettings);
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    const pid_t old_relay = child_named("inkrelay");
    ASSERT_GT(old_relay, 0);
    kill(old_relay, SIGSTOP);
    ASSERT_TRUE(wait_cmd_count("66", 2, 20s)) << daemon_.output();
    ASSERT_TRUE(wait_until(
        [&] {
            return daemon_.output().find("wait inkrelay pid error after kill\n") !=
                   std::string::npos;
        },
        20s))
        << daemon_.output();
    auto kids = children_of(daemon_.pid());
    if (std::count(kids.begin(), kids.end(), old_relay) != 0)
        kill(old_relay, SIGCONT);  // still the daemon's: its SIGTERM ends it now
    ASSERT_TRUE(wait_cmd_count("88", 2, 30s)) << daemon_.output();
    kids = children_of(daemon_.pid());
    EXPECT_EQ(std::count(kids.begin(), kids.end(), old_relay), 0) << "the old relay, unreaped";
    EXPECT_EQ(kids.size(), 2u) << "the tray program and one relay";
}

TEST_F(PenSession, ScreenSizeChangeRebuildsTheModelOnTheSameRelay) {
    start(kUnitSettings);
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    auto kids_before = read_file("/proc/" + std::to_string(daemon_.pid()) + "/task/" +
                                 std::to_string(daemon_.pid()) + "/children");
    write_file(log_dir_ + "/size", "1366 768\n");
    send_event(0x30);
    ASSERT_TRUE(wait_cmd_count("88", 2, 20s)) << daemon_.output();
    auto cmds = tray_commands();
    EXPECT_EQ(std::vector<std::string>(cmds.begin() + 6, cmds.end()),
              (std::vector<std::string>{"77", "f0", "f1", "88"}));
    std::string width_answer;
    for (const auto &l : tray_lines())
        if (l.compare(2, 2, "f0") == 0)
            width_answer = l;
    EXPECT_EQ(width_answer, "D f0 | T 5605000000");
    EXPECT_EQ(read_file("/proc/" + std::to_string(daemon_.pid()) + "/task/" +
                        std::to_string(daemon_.pid()) + "/children"),
              kids_before)
        << "the relay is kept";
    EXPECT_NE(daemon_.output().find("scrX : 1366\n"), std::string::npos);
    // The daemon tells the tray before its run command has crossed the relay.
    ASSERT_TRUE(wait_unit_command('r', 2, 5s)) << unit_commands();
    std::string unit = unit_commands();
    EXPECT_EQ(unit.substr(unit.size() - 21), "ppopTpepccccccccppdgr") << unit;
}

TEST_F(PenSession, InvalidStoredRecordFailsEveryBringUp) {
    start("calibrated no\n");
    ASSERT_TRUE(wait_cmd_count("44", 2, 40s)) << daemon_.output();
    EXPECT_EQ(count_cmd("88"), 0u);
    EXPECT_GE(count_of(daemon_.output(), "Calibration data channel seems incorrect\n"), 2u);
    auto cmds = tray_commands();
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 7),
              (std::vector<std::string>{"66", "77", "f2", "f0", "f1", "44", "66"}));
}
