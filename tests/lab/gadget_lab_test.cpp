// The unit as a USB device on the real kernel: the session drivers of the
// FUSE tests with the unit behind the gadget port (a USB HID gadget on
// dummy_hcd), so that the kernel's usbhid and hiddev drivers bind it, the real
// udevd names its node by the rule the build makes, and the real inkd and
// inkrelay drive it. The tray program is the fake one.
#include <cstdio>

#include "inksim/hid_gadget.h"
#include "lab.h"
#include "sessions/pen_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

const std::string kNode = "/dev/usb/vxd0";

class GadgetSession : public PenSession {
  protected:
    void SetUp() override {
        LAB_SKIP_OUTSIDE();
        ASSERT_TRUE(exists("/sys/class/udc/dummy_udc.0")) << "no dummy_hcd controller";
        // The unit of the case before is gone first.
        ASSERT_TRUE(wait_until([] { return !exists(kNode); }, 10s)) << kNode << " still there";
        log_dir_ = lab::case_dir();
        unlink("/tmp/.inkd.pid");
        tray_ = std::make_unique<FakeTrayLog>(log_dir_);
        tray_->export_env();
        pipe_ = std::make_unique<PipeReader>(lab::kFifo);
    }
    void TearDown() override {
        // The relay and the tray program go with the daemon.
        if (daemon_.pid() > 0)
            strays_ = descendants_of(daemon_.pid());
        PenSession::TearDown();
    }
    std::unique_ptr<inksim::UnitPort> make_port() override {
        return std::make_unique<inksim::GadgetPort>();
    }
    // What the kernel and the daemon said, for a failure.
    std::string show() {
        return daemon_.output().substr(0, 4000) + "\n" +
               lab::sh("dmesg | tail -n 15; ls -l /dev/usb");
    }
};

// The records as the replay data holds them, without the releases at 0,0 at
// either end: a connection's end posts one, at the scenario's end and for a
// bring-up started over (its first reports lost while the relay opened the
// node, as the kernel does).
std::vector<std::string> pen_records(std::vector<std::string> r) {
    while (!r.empty() && r.back() == "f0 00 00 00")
        r.pop_back();
    size_t a = 0;
    while (a < r.size() && r[a] == "f0 00 00 00")
        ++a;
    return {r.begin() + a, r.end()};
}

}  // namespace

// Bring-up and a pen session on the real hiddev node: the records equal those
// the suite writes for this scenario on the FUSE node (the replay tests'
// recorded file). The timeline runs on the frames the unit streams, and a
// bring-up takes more of them on a loaded emulator (the background's frames;
// all again when it is started over): the scenario is held until the suite
// is in Run.
TEST_F(GadgetSession, PenSessionOnTheRealHiddevNode) {
    auto text = read_file(scenario_path("stroke_tap_rightclick.txt"));
    ASSERT_TRUE(text);
    start(*text, true);
    EXPECT_TRUE(wait_until([] { return lab::has(lab::sh("readlink -f " + kNode), "hiddev"); }, 60s))
        << "the gadget's hiddev node is " << kNode << ", named by the built rule\n"
        << show();
    // A bring-up on a loaded emulator may be started over (docs/TESTING.md).
    ASSERT_TRUE(wait_cmd_count("88", 1, 180s)) << "bring-up over the real hiddev node\n" << show();
    sim_->hold_steps(false);
    ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 120s));
    pipe_->wait_quiet(1000, 10s);

    std::vector<std::string> want, got;
    std::istringstream in(read_file(INK_REPLAY_DATA "/pen_session.pointer").value_or(""));
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && l[0] != '#')
            want.push_back(l);
    for (const auto &r : pipe_->records()) {
        char b[12];
        std::snprintf(b, sizeof b, "%02x %02x %02x %02x", r[0], r[1], r[2], r[3]);
        got.push_back(b);
    }
    ASSERT_FALSE(pen_records(want).empty());
    EXPECT_EQ(pen_records(got), pen_records(want))
        << "pen session: the pointer records differ from the FUSE run's\n"
        << show();
}

// Unplugged while drawing (the controller unbound), then plugged in again:
// the relay ends, the daemon goes back to waiting and brings the unit up
// again.
TEST_F(GadgetSession, UnplugWhileDrawingThenReplug) {
    start_scenario("unplug_while_drawing.txt");
    EXPECT_TRUE(wait_cmd_count("88", 2, 180s)) << show();
    EXPECT_GT(pipe_->count(), 0u) << "nothing drawn before the unplug";
}

// A unit that takes no output report for 12 s from the start: the relay
// gives up on a report the unit does not take and says so, the daemon starts
// over, and once the unit takes reports again it comes up.
TEST_F(GadgetSession, OutputStallThenRecovery) {
    start("deaf 12000\npause 20000\n");
    EXPECT_TRUE(daemon_.wait_output("HID Write report stalled", 60s))
        << "the relay reports the stalled unit and ends\n"
        << show();
    EXPECT_TRUE(wait_cmd_count("88", 1, 180s)) << "the unit comes up once it takes reports again\n"
                                               << show();
}

// A calibration on the real node: inkmemdrive's user touches every target;
// the unit gets the new record ('v') once and the background block ('g')
// again, and the pen works before and after.
TEST(GadgetCalibration, RecordAndBackgroundStoredInTheUnit) {
    LAB_SKIP_OUTSIDE();
    ASSERT_TRUE(wait_until([] { return !exists(kNode); }, 10s));
    const std::string dir = lab::case_dir();
    unlink("/tmp/.inkd.pid");
    setenv("INKFAKETRAY_LOG", (dir + "/tray.log").c_str(), 1);
    setenv("INKFAKETRAY_EVENT", (dir + "/event").c_str(), 1);
    auto drive = Process::start({bin_dir() + "/inkmemdrive", "--gadget", "--log", dir, "--wait",
                                 "150", "--", "/usr/bin/inkd", "--vxd-debug"},
                                dir + "/drive.out");
    auto st = drive.wait(300s);
    lab::sh("busybox killall -q inkrelay inktray");
    const std::string out = drive.output();
    ASSERT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0 && lab::has(out, "record stored"))
        << out.substr(0, 6000) << "\n"
        << lab::sh("tail -n 12 " + dir + "/inkd.out | cut -c1-160");
    // At which attempt; a calibration the daemon ended, or a pen session
    // during which it lost the unit, which the user began again, shown with
    // where the unit's commands stopped.
    std::printf("%s", lab::sh("grep -o 'stored at attempt [0-9]* of [0-9]*' " + dir +
                              "/drive.out; grep -A1 'the daemon ended calibration\\|the daemon "
                              "lost the unit' " +
                              dir + "/drive.out")
                          .c_str());
}
