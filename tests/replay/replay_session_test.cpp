// Record and replay, end to end: a session recorded while the suite runs holds
// what the unit sent and the tray program's events; a recorded session played
// back through the virtual unit gives the daemon the same frames, and so the
// same pointer records.
//
// Every recording in tests/replay/data (NAME.txt) is played back against the
// pointer records the suite wrote when it was recorded (NAME.pointer): a
// session recorded for a bug report becomes a test by dropping the two files
// there. The test program looks for them when it starts; ctest runs them all
// as one test, replay_recordings, whose output names each recording.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "inksim/replay.h"
#include "sessions/pen_session.h"

using namespace inktest;
using namespace std::chrono_literals;

namespace {

std::string hex(const PointerBytes &r) {
    char b[12];
    std::snprintf(b, sizeof b, "%02x %02x %02x %02x", r[0], r[1], r[2], r[3]);
    return b;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (!l.empty() && l[0] != '#')
            out.push_back(l);
    return out;
}

class RecordedSession : public PenSession {
  protected:
    void TearDown() override {
        daemon_ = Process();
        if (replay_)
            replay_->stop();
        replay_.reset();
        PenSession::TearDown();
    }
    void start_replay(const inksim::SessionRecord &rec) {
        replay_ = std::make_unique<inksim::ReplayUnit>(rec);
        std::string err;
        ASSERT_TRUE(replay_->start(&err)) << err;
        daemon_ = Process::start({in_root("/usr/bin/inkd"), "--vxd-debug"}, log_dir_ + "/inkd.out");
    }
    std::unique_ptr<inksim::ReplayUnit> replay_;
};

// The recordings of tests/replay/data, by name (NAME.txt).
std::vector<std::string> recordings() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(INK_REPLAY_DATA, ec))
        if (e.path().extension() == ".txt")
            out.push_back(e.path().stem().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A test name of the recording's name: letters, digits and '_' only.
std::string test_name(const ::testing::TestParamInfo<std::string> &info) {
    std::string n = info.param;
    for (char &c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

class Recording : public RecordedSession, public ::testing::WithParamInterface<std::string> {};

}  // namespace

TEST_F(RecordedSession, RecordingHoldsTheUnitsBytesAndTheTrayEvents) {
    const std::string file = in_root("/tmp/vxd_record.txt");
    write_file(file, "");  // asks for a recording
    start_scenario("stroke_tap_rightclick.txt");
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    ASSERT_TRUE(wait_until([&] { return sim_->finished(); }, 30s));
    pipe_->wait_quiet(300, 10s);
    const size_t streamed = sim_->frames_sent().size();
    // A screen-size change: the tray program's event reaches the recording.
    write_file(log_dir_ + "/size", "1280 800\n");
    send_event(0x30);
    ASSERT_TRUE(wait_cmd_count("88", 2, 20s)) << daemon_.output();

    std::string text = read_file(file).value_or("");
    write_file(log_dir_ + "/pen_session.txt", text);
    std::string ptr;
    for (const auto &r : pipe_->records())
        ptr += hex(r) + "\n";
    write_file(log_dir_ + "/pen_session.pointer", ptr);

    inksim::SessionRecord rec;
    std::string err;
    ASSERT_TRUE(inksim::parse_session_record(text, &rec, &err)) << err;
    EXPECT_EQ(rec.connections, 1);
    EXPECT_EQ(rec.garbage, 0u);
    EXPECT_TRUE(rec.have_type && rec.hw_type == 65 && rec.hw_ver == 3);
    ASSERT_TRUE(rec.have_record);
    std::array<uint8_t, 256> stored{};
    sim_->with_firmware([&](inksim::Firmware &fw) { stored = fw.record(); });
    EXPECT_EQ(rec.record, stored);
    // The rate is estimated from the times the daemon took the frames, which
    // a loaded machine bunches up, and which a starved one spreads out: with
    // 15 % of a core the daemon takes about 440 of the scaled unit's 1000
    // frames a second, and the rate reads 44. Only its order of magnitude is
    // checked here.
    EXPECT_GE(rec.rate, 10);
    EXPECT_LT(rec.rate, 200);
    // Every frame the unit streamed, in order, byte for byte: at least all
    // those of the pen's part (the unit streams on while the file is read).
    auto sent = sim_->frames_sent();
    ASSERT_LE(rec.frames.size(), sent.size());
    EXPECT_GE(rec.frames.size(), streamed);
    size_t spots = 0;
    for (size_t i = 0; i < rec.frames.size(); ++i) {
        ASSERT_EQ(rec.frames[i].spot, sent[i].spot) << "frame " << i;
        if (sent[i].spot) {
            ASSERT_EQ(rec.frames[i].record, sent[i].record) << "frame " << i;
            ++spots;
        }
    }
    EXPECT_GT(spots, 40u);
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].event, 0x30);
}

// A recorded session played back gives the pointer records the suite gave
// when it was recorded; the tray program's events, repeated after the frames
// they followed, get the daemon's answer (to a screen-size change, a new
// bring-up on the same unit).
TEST_P(Recording, ReplaysToTheRecordedPointerRecords) {
    const std::string base = std::string(INK_REPLAY_DATA) + "/" + GetParam();
    SCOPED_TRACE("recording " + base + ".txt");
    inksim::SessionRecord rec;
    std::string err;
    ASSERT_TRUE(inksim::load_session_record(base + ".txt", &rec, &err)) << err;
    auto pointer = read_file(base + ".pointer");
    ASSERT_TRUE(pointer.has_value()) << "no " << base << ".pointer: the pointer records the "
                                     << "suite wrote when the session was recorded";
    auto want = lines_of(*pointer);
    ASSERT_FALSE(want.empty()) << base << ".pointer holds no record";

    start_replay(rec);
    ASSERT_TRUE(wait_cmd_count("88", 1, 20s)) << daemon_.output();
    ASSERT_TRUE(wait_until([&] { return replay_->finished(); }, 60s));
    pipe_->wait_quiet(300, 10s);

    std::vector<std::string> got;
    for (const auto &r : pipe_->records())
        got.push_back(hex(r));
    EXPECT_EQ(got, want) << "the pointer records of " << base << ".txt differ from " << base
                         << ".pointer";

    // The tray program's events, repeated after the frames they followed:
    // a screen-size change makes the daemon bring the same unit up anew.
    const bool resized =
        std::any_of(rec.events.begin(), rec.events.end(),
                    [](const inksim::RecordedEvent &e) { return e.event == 0x30; });
    if (resized)
        write_file(log_dir_ + "/size", "1280 800\n");
    for (const auto &e : rec.events) {
        ASSERT_TRUE(wait_until([&] { return replay_->frames_sent().size() >= e.frame; }, 30s));
        send_event(e.event);
    }
    if (resized) {
        ASSERT_TRUE(wait_cmd_count("88", 2, 20s)) << daemon_.output();
    }
    EXPECT_EQ(count_cmd("66"), 1u) << "no disconnect";
    // The unit answered with the recorded identity and record.
    std::string cmds;
    for (const auto &c : replay_->commands())
        cmds += static_cast<char>(c.cmd);
    EXPECT_NE(cmds.find('T'), std::string::npos);
    EXPECT_NE(cmds.find('d'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Data, Recording, ::testing::ValuesIn(recordings()), test_name);
