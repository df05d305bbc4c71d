// The real inkrelay against the virtual camera unit through FUSE, with a test
// server standing in for the daemon's socket.
#include <errno.h>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "NyxCalLib.h"
#include "hidcore.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "inksim/simulator.h"
#include "link_server.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace {

using inktest::LinkServer;
using inktest::Process;
using namespace std::chrono_literals;

constexpr int kLong = 3000;  // ms allowed for anything that should be prompt

// The relay's silence limit as this build runs it, in ms.
int silence_ms() {
    return static_cast<int>(ink::time::budget_us(5001000) / 1000);
}

class RelayWithUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = inktest::why_no_virtual_unit(); !why.empty())
            GTEST_SKIP() << why;
        inktest::reset_sandbox();
        inktest::install_program("inkrelay");
        inksim::Scenario sc;
        sc.unit.camera.noise = 0;
        sc.unit.vendor = 0x1234;
        sc.unit.product = 0xabcd;
        sim_ = std::make_unique<inksim::Simulator>(sc);
        std::string err;
        if (!sim_->start(&err)) {
            sim_.reset();
            GTEST_SKIP() << "cannot mount the virtual unit: " << err << ": FUSE tests skipped";
        }
        ASSERT_TRUE(server_.listen());
    }
    void TearDown() override {
        relay_ = Process();  // kills a relay still running
        server_.close_all();
        if (sim_)
            sim_->stop();
    }
    void start_relay() {
        relay_ = Process::start({inktest::in_root("/usr/bin/inkrelay"), "--vxd-debug"},
                                inktest::in_root("/tmp/inkrelay.out"));
    }
    void connect_relay() {
        start_relay();
        ASSERT_TRUE(server_.accept(kLong)) << relay_.output();
    }
    std::vector<uint8_t> ask(const std::string &cmd, size_t reply) {
        server_.send(std::vector<uint8_t>(cmd.begin(), cmd.end()));
        return server_.read(reply, kLong);
    }
    static int exit_code(std::optional<int> st) {
        return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
    }

    std::unique_ptr<inksim::Simulator> sim_;
    LinkServer server_;
    Process relay_;
};

TEST_F(RelayWithUnit, CarriesCommandsAndRepliesBothWays) {
    connect_relay();
    EXPECT_EQ(ask("T", 4), (std::vector<uint8_t>{65, 3, 190, 252}));
    auto e = ask("e", 64);
    EXPECT_EQ(e.size(), 64u);
    auto d = ask("d", 256);
    ASSERT_EQ(d.size(), 256u);
    EXPECT_TRUE(inksim::record_sealed(d.data()));
    EXPECT_EQ(ask(std::string("c\x35\x00\x23", 4), 3), (std::vector<uint8_t>{0x35, 0x00, 0x23}));

    auto cmds = sim_->commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].cmd, 'T');
    EXPECT_EQ(cmds[1].cmd, 'e');
    EXPECT_EQ(cmds[2].cmd, 'd');
    EXPECT_EQ(cmds[3].cmd, 'c');
    EXPECT_EQ(cmds[3].payload, (std::vector<uint8_t>{0x35, 0x00, 0x23}));
    EXPECT_TRUE(relay_.running());
}

TEST_F(RelayWithUnit, OutputReportsCarryTwoBytesEachFifteenMillisecondsApart) {
    connect_relay();
    server_.send({'A', 'B', 'C'});
    ASSERT_TRUE(inktest::wait_until([&] { return sim_->reports().size() >= 2; }, 2s));
    auto r = sim_->reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].values, (inksim::Report{2, 'A', 'B', 0, 0, 0, 0, 0}));
    EXPECT_EQ(r[1].values, (inksim::Report{1, 'C', 0, 0, 0, 0, 0, 0}));
    EXPECT_GE(r[1].t_us - r[0].t_us, ink::time::pause_us(15000) * 9 / 10);

    // A longer block: one report per two bytes, never closer than the pause.
    std::vector<uint8_t> block(40, 'o');
    server_.send(block);
    ASSERT_TRUE(inktest::wait_until([&] { return sim_->reports().size() >= 22; }, 5s));
    r = sim_->reports();
    for (size_t i = 3; i < r.size(); ++i) {
        EXPECT_GE(r[i].t_us - r[i - 1].t_us, ink::time::pause_us(15000) * 9 / 10) << i;
        EXPECT_GE(r[i].values[0], 1);
        EXPECT_LE(r[i].values[0], 2);
    }
}

TEST_F(RelayWithUnit, FrameStreamReachesTheDaemonInOrder) {
    connect_relay();
    sim_->set_pen(std::make_pair(512.0, 384.0));
    server_.send({'r'});
    // Frames of 1 and 11 bytes travel in reports of up to six bytes; the
    // daemon must see whole frames back to back.
    auto bytes = server_.read(11 * 30, kLong);
    server_.send({'p'});
    ASSERT_EQ(bytes.size(), 330u);
    size_t i = 0;
    while (i < bytes.size() && bytes[i] != 0xFE)
        ++i;
    int spots = 0;
    for (; i + 11 <= bytes.size(); i += 11) {
        ASSERT_EQ(bytes[i], 0xFE) << "at " << i;
        ASSERT_EQ(DecData_Raw(bytes.data() + i + 1), 1);
        double u, v;
        inksim::CameraModel(inksim::CameraConfig()).map(512, 384, &u, &v);
        EXPECT_NEAR(SPOT.x, u, 0.1);
        EXPECT_NEAR(SPOT.y, v, 0.1);
        ++spots;
    }
    EXPECT_GE(spots, 25);
}

TEST_F(RelayWithUnit, OversizedCountAndTheEighthValueNeverLeak) {
    connect_relay();
    sim_->inject_report({1, 2, 3, 4, 5, 6, 9, 0x77});
    sim_->inject_report({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0x77});
    sim_->inject_report({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 3, 0x77});
    EXPECT_EQ(server_.read(9, kLong), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0x10, 0x20, 0x30}));
    EXPECT_TRUE(server_.read(1, 100).empty());
}

TEST_F(RelayWithUnit, DeviceInfoGivesTheUnitsIds) {
    int fd = open(ink::path::kDeviceNode, O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fmouse_hid_get_vendor_id(fd), 0x1234);
    EXPECT_EQ(fmouse_hid_get_product_id(fd), 0xabcd);
    // The unit has one output report: anything else is refused, as by the driver.
    hiddev_report_info ri{};
    ri.report_type = HID_REPORT_TYPE_INPUT;
    EXPECT_EQ(ioctl(fd, HIDIOCSREPORT, &ri), -1);
    close(fd);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(fmouse_hid_get_vendor_id(p[0]), 0) << "not a hiddev node";
    close(p[0]);
    close(p[1]);
}

TEST_F(RelayWithUnit, AHeldUnitKeepsTheRelayButASilentOneEndsIt) {
    connect_relay();
    // On hold the unit sends empty reports now and then: nothing reaches the
    // daemon, and the relay stays.
    EXPECT_FALSE(relay_.wait(std::chrono::milliseconds(silence_ms() * 3 / 2)).has_value());
    EXPECT_TRUE(server_.read(1, 10).empty());

    sim_->with_firmware([](inksim::Firmware &fw) { fw.set_silence_until(LLONG_MAX); });
    auto st = relay_.wait(std::chrono::milliseconds(silence_ms() * 2 + kLong));
    // The relay counts its silence from the last report it read, which may
    // have left the unit shortly before the unit fell silent.
    auto silent_ms = (ink::time::now_us() - sim_->last_report_us()) / 1000;
    EXPECT_EQ(exit_code(st), 0);
    EXPECT_GE(silent_ms, silence_ms());
    EXPECT_NE(relay_.output().find("hid read time out\n"), std::string::npos) << relay_.output();
}

TEST_F(RelayWithUnit, ExitsWhenTheUnitIsUnplugged) {
    connect_relay();
    server_.send({'r'});
    ASSERT_EQ(server_.read(20, kLong).size(), 20u);
    auto t0 = ink::time::now_us();
    sim_->unplug();
    EXPECT_EQ(exit_code(relay_.wait(std::chrono::milliseconds(kLong))), 0);
    EXPECT_LT((ink::time::now_us() - t0) / 1000, silence_ms())
        << "the unplug was taken for silence";
    EXPECT_NE(relay_.output().find("fmouse hid read data error\n"), std::string::npos)
        << relay_.output();
    EXPECT_FALSE(inktest::exists(ink::path::kDeviceNode));
}

// As the kernel's driver does with a unit that takes no output reports: four
// wait at the unit, the fifth blocks its sender 10.2 s and is lost though
// success is reported. The relay gives up on it and ends, with a word, so
// that the daemon starts over instead of waiting for a lost command's answer.
TEST_F(RelayWithUnit, AUnitThatTakesNoOutputEndsTheRelayWithAWord) {
    connect_relay();
    sim_->set_output_stalled(true);
    server_.send(std::vector<uint8_t>(10, 'o'));  // five reports
    auto t0 = ink::time::now_us();
    auto st = relay_.wait(std::chrono::milliseconds(ink::time::budget_us(10200000) / 1000 + kLong));
    EXPECT_EQ(exit_code(st), 0) << relay_.output();
    EXPECT_GE(ink::time::now_us() - t0, ink::time::budget_us(10200000));
    EXPECT_NE(relay_.output().find("HID Write report stalled\n"), std::string::npos)
        << relay_.output();
    EXPECT_TRUE(sim_->reports().empty());
    // Taking reports again, the unit gets the four that waited; the fifth is lost.
    sim_->set_output_stalled(false);
    auto r = sim_->reports();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].values, (inksim::Report{2, 'o', 'o', 0, 0, 0, 0, 0}));
}

TEST_F(RelayWithUnit, ExitsWhenTheDaemonCloses) {
    connect_relay();
    server_.send({'r'});
    ASSERT_EQ(server_.read(20, kLong).size(), 20u);
    server_.close_client();
    EXPECT_EQ(exit_code(relay_.wait(std::chrono::milliseconds(kLong))), 0);
    std::string out = relay_.output();
    EXPECT_NE(out.find("read bytes is error,0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("hid read exit\n"), std::string::npos) << out;
}

TEST_F(RelayWithUnit, WithoutANodeExitsWithoutConnecting) {
    sim_->unplug();
    start_relay();
    EXPECT_EQ(exit_code(relay_.wait(std::chrono::milliseconds(kLong))), 255);
    EXPECT_FALSE(server_.pending(50));
    EXPECT_NE(relay_.output().find("Fmouse Hid initial error\n"), std::string::npos);
}

TEST_F(RelayWithUnit, WaitsForTheDaemonThenRelays) {
    server_.close_all();
    unlink(ink::path::kRelaySocket);
    start_relay();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(relay_.running());
    ASSERT_TRUE(server_.listen());
    ASSERT_TRUE(server_.accept(kLong));
    EXPECT_EQ(ask("T", 4).size(), 4u);
}

TEST_F(RelayWithUnit, AKilledRelayLeavesTheUnitUsable) {
    // The first relay dies while its read is parked in the unit.
    connect_relay();
    relay_.signal(SIGKILL);
    EXPECT_TRUE(relay_.wait(std::chrono::milliseconds(kLong)).has_value());
    server_.close_client();
    connect_relay();
    EXPECT_EQ(ask("T", 4).size(), 4u);
}

}  // namespace

// A scripted unplug is a real one: the unit loses power with the node, so a
// transfer half received before it is gone after the replug.
// The node as the kernel's hiddev driver answers it (6.1, found in the
// kernel lab): the imitation's corrections.
class NodeAsTheDriver : public RelayWithUnit {
  protected:
    void SetUp() override {
        RelayWithUnit::SetUp();
        if (IsSkipped())
            return;
        // No empty reports on hold: the queue holds only what a test puts there.
        sim_->with_firmware([](inksim::Firmware &f) { f.set_silence_until(LLONG_MAX); });
        fd_ = open(ink::path::kDeviceNode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0)
            close(fd_);
        RelayWithUnit::TearDown();
    }
    // The first value of every queued report, until the queue is empty.
    std::vector<int> drain() {
        std::vector<int> firsts;
        hiddev_event ev[kHidReportValues];
        while (read(fd_, ev, sizeof ev) == static_cast<ssize_t>(sizeof ev))
            firsts.push_back(ev[0].value);
        return firsts;
    }
    int fd_ = -1;
};

TEST_F(NodeAsTheDriver, ShortReadsReadNothingAndAnEmptyNonBlockingReadIsEagain) {
    hiddev_event ev[kHidReportValues];
    errno = 0;
    EXPECT_EQ(read(fd_, ev, sizeof ev), -1);
    EXPECT_EQ(errno, EAGAIN);
    sim_->inject_report(inksim::Report{1, 2, 3, 4, 5, 6, 6, 0});
    EXPECT_EQ(read(fd_, ev, 7), 0) << "fewer bytes than one event";
    ASSERT_EQ(read(fd_, ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    EXPECT_EQ(ev[0].value, 1);
    EXPECT_EQ(ev[6].value, 6);
}

TEST_F(NodeAsTheDriver, AReaderAWholeRingBehindLosesAllItHadNotRead) {
    // 2048 events are 256 reports: the 256th empties the ring.
    for (int i = 0; i < 300; ++i)
        sim_->inject_report(inksim::Report{i, 0, 0, 0, 0, 0, 0, 0});
    std::vector<int> want;
    for (int i = 256; i < 300; ++i)
        want.push_back(i);
    EXPECT_EQ(drain(), want);
}

TEST_F(NodeAsTheDriver, UnpluggedPollIsErrorAndHangUpAfterTheQueuedEvents) {
    sim_->inject_report(inksim::Report{7, 0, 0, 0, 0, 0, 0, 0});
    sim_->unplug();
    pollfd p{fd_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kLong), 1);
    EXPECT_EQ(p.revents, POLLIN) << "queued events come first";
    EXPECT_EQ(drain(), std::vector<int>{7});
    ASSERT_EQ(poll(&p, 1, kLong), 1);
    EXPECT_EQ(p.revents, POLLERR | POLLHUP);
    hiddev_event ev[kHidReportValues];
    errno = 0;
    EXPECT_EQ(read(fd_, ev, sizeof ev), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(NodeAsTheDriver, UsagesTakeAnyRunOfValuesThatFitsTheField) {
    hiddev_usage_ref_multi m;
    std::memset(&m, 0, sizeof m);
    m.uref.report_type = HID_REPORT_TYPE_OUTPUT;
    m.uref.report_id = HID_REPORT_ID_UNKNOWN;  // found by the usage
    m.uref.usage_code = 0xFF000001;
    m.num_values = 8;
    for (int i = 0; i < 8; ++i)
        m.values[i] = 0x10 + i;
    EXPECT_EQ(ioctl(fd_, HIDIOCSUSAGES, &m), 0);
    m.uref.report_id = 0;
    m.num_values = 0;
    EXPECT_EQ(ioctl(fd_, HIDIOCSUSAGES, &m), 0) << "no values";
    m.uref.usage_index = 6;
    m.num_values = 2;
    m.values[0] = 0x77;
    m.values[1] = 0x78;
    EXPECT_EQ(ioctl(fd_, HIDIOCSUSAGES, &m), 0) << "the last two values";
    m.num_values = 3;
    EXPECT_EQ(ioctl(fd_, HIDIOCSUSAGES, &m), -1) << "past the field's end";
    m.uref.usage_index = 0xFFFFFFFF;
    m.num_values = 2;
    EXPECT_EQ(ioctl(fd_, HIDIOCSUSAGES, &m), -1) << "an index that wraps";

    hiddev_report_info ri;
    std::memset(&ri, 0, sizeof ri);
    ri.report_type = HID_REPORT_TYPE_OUTPUT;
    ASSERT_EQ(ioctl(fd_, HIDIOCSREPORT, &ri), 0);
    auto r = sim_->reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].values, (inksim::Report{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x77, 0x78}));
}

TEST(ScriptedUnit, AnUnplugStepPowersTheUnitOff) {
    if (auto why = inktest::why_no_virtual_unit(); !why.empty())
        GTEST_SKIP() << why;
    inktest::reset_sandbox();
    inksim::Scenario sc;
    std::string err;
    ASSERT_TRUE(inksim::parse_scenario("pause 300\nunplug\n", &sc, &err)) << err;
    inksim::Simulator sim(sc);
    if (!sim.start(&err))
        GTEST_SKIP() << "cannot mount the virtual unit: " << err;
    bool running = false;
    sim.with_firmware([&](inksim::Firmware &fw) {
        const std::string half = "r" + std::string("v") + std::string(100, '\x01');
        fw.receive(reinterpret_cast<const uint8_t *>(half.data()), half.size(), 1);
        running = fw.running();
    });
    ASSERT_TRUE(running);
    ASSERT_TRUE(inktest::wait_until([] { return !inktest::exists(ink::path::kDeviceNode); }, 5s));
    sim.with_firmware([&](inksim::Firmware &fw) {
        EXPECT_FALSE(fw.running()) << "the unit kept its power";
        std::vector<uint8_t> out;
        fw.take_due(LLONG_MAX, &out);  // frames of before the unplug
        out.clear();
        fw.receive(reinterpret_cast<const uint8_t *>("T"), 1, 2);
        fw.take_due(LLONG_MAX, &out);
        EXPECT_EQ(out.size(), 4u) << "T answered as a command, not taken as data";
    });
    sim.stop();
}

// Nobody can run an unplugged unit, so a pause after an unplug step passes by
// the clock, with the cable out; the plug step after it brings the node back.
TEST(ScriptedUnit, APauseAfterAnUnplugStepPassesWithTheCableOut) {
    if (auto why = inktest::why_no_virtual_unit(); !why.empty())
        GTEST_SKIP() << why;
    inktest::reset_sandbox();
    inksim::Scenario sc;
    std::string err;
    ASSERT_TRUE(inksim::parse_scenario("unplug\npause 300\nplug\n", &sc, &err)) << err;
    inksim::Simulator sim(sc);
    if (!sim.start(&err))
        GTEST_SKIP() << "cannot mount the virtual unit: " << err;
    EXPECT_FALSE(inktest::exists(ink::path::kDeviceNode)) << "unplugged from the start";
    ASSERT_TRUE(inktest::wait_until([&] { return sim.finished(); }, 5s)) << "the pause never ended";
    EXPECT_TRUE(inktest::exists(ink::path::kDeviceNode)) << "plugged in again";
    sim.stop();
}
