// Reading a session recording back: replies told apart from frames by the
// daemon's commands, frames cut anywhere across reports, bad files refused
// with the line at fault.
#include <gtest/gtest.h>

#include "inksim/replay.h"

using inksim::SessionRecord;

namespace {

std::string record_bytes(uint8_t first) {
    std::string s;
    for (int i = 0; i < 256; i += 6) {
        s += "D 200";
        for (int k = i; k < std::min(256, i + 6); ++k) {
            char b[4];
            std::snprintf(b, sizeof b, " %02x", static_cast<uint8_t>(k == 0 ? first : k));
            s += b;
        }
        s += "\n";
    }
    return s;
}

}  // namespace

TEST(SessionRecordParse, RepliesAndFramesAreToldApartByTheCommands) {
    std::string text =
        "# a session\n"
        "S 100 01 02 00 00\n"
        "H 110 6f 6f\n"        // fill: no reply
        "H 120 54\n"           // T
        "D 130 41 03 be fc\n"  // type 65, version 3
        "H 140 63 2b\n"        // c 2b 00 08: echoed
        "H 150 00 08\n"
        "D 160 2b 00 08\n"
        "H 170 64\n" +  // d: 256-byte record
        record_bytes(0x99) +
        "H 300 72\n"  // r: frames
        "D 10000 ff\n"
        "D 20000 fe 01 02 03 04 05\n"  // a spot frame cut across reports
        "D 20000 06 07 08 09 0a\n"
        "E 25000 30\n"
        "D 30000 ff 13\n"  // a stray byte
        "D 40000 ff\n"
        "S 50000 01 03 00 00\n"  // a second connection: the first record stays
        "H 50010 64\n" +
        record_bytes(0x55);
    SessionRecord r;
    std::string err;
    ASSERT_TRUE(inksim::parse_session_record(text, &r, &err)) << err;
    EXPECT_EQ(r.connections, 2);
    EXPECT_TRUE(r.have_type);
    EXPECT_EQ(r.hw_type, 65);
    EXPECT_EQ(r.hw_ver, 3);
    ASSERT_TRUE(r.have_record);
    EXPECT_EQ(r.record[0], 0x99);
    EXPECT_EQ(r.record[255], 255);
    ASSERT_EQ(r.frames.size(), 4u);
    EXPECT_FALSE(r.frames[0].spot);
    EXPECT_TRUE(r.frames[1].spot);
    EXPECT_EQ(r.frames[1].record[0], 0x01);
    EXPECT_EQ(r.frames[1].record[9], 0x0a);
    EXPECT_EQ(r.garbage, 1u);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].frame, 2u);
    EXPECT_EQ(r.events[0].event, 0x30);
    EXPECT_EQ(r.rate, 100);  // frames 10 ms apart
}

TEST(SessionRecordParse, FramesPassedOnInBunchesKeepTheirRate) {
    // 100 frames a second, recorded as a loaded machine passes them on: a
    // stall, then four frames within 300 us; a pause on hold of 2 s. Only
    // the last bunch of each stretch comes early for good, by 30 ms in 2 s.
    std::string text = "S 100 01 02 00 00\nH 200 72\n";
    long long t = 1000;
    for (int burst = 0; burst < 100; ++burst, t += 40000) {
        if (burst == 50)
            t += 2000000;
        for (int k = 0; k < 4; ++k)
            text += "D " + std::to_string(t + 100 * k) + " ff\n";
    }
    SessionRecord r;
    std::string err;
    ASSERT_TRUE(inksim::parse_session_record(text, &r, &err)) << err;
    ASSERT_EQ(r.frames.size(), 400u);
    EXPECT_NEAR(r.rate, 100, 2);
}

TEST(SessionRecordParse, BadFilesAreRefusedWithTheLine) {
    SessionRecord r;
    std::string err;
    EXPECT_FALSE(inksim::parse_session_record("S 1\nX 2 00\n", &r, &err));
    EXPECT_EQ(err, "line 2: unknown tag X");
    EXPECT_FALSE(inksim::parse_session_record("S 1\nD 2 0g\n", &r, &err));
    EXPECT_EQ(err.rfind("line 2:", 0), 0u);
    EXPECT_FALSE(inksim::parse_session_record("D x ff\n", &r, &err));
    EXPECT_EQ(err.rfind("line 1:", 0), 0u);
    EXPECT_FALSE(inksim::parse_session_record("E 5 10 20\n", &r, &err));
    EXPECT_FALSE(inksim::parse_session_record("# nothing\n", &r, &err));
    EXPECT_FALSE(inksim::load_session_record("/nonexistent/rec.txt", &r, &err));
}

// The shipped recording (pen_session.txt): one connection of a unit of type
// 65, its record, the pen's frames, and the screen-size change after them, so
// that replaying it also exercises a recorded event.
TEST(SessionRecordParse, TheShippedPenSessionHoldsItsScreenSizeChange) {
    SessionRecord r;
    std::string err;
    ASSERT_TRUE(inksim::load_session_record(INK_REPLAY_DATA "/pen_session.txt", &r, &err)) << err;
    EXPECT_EQ(r.connections, 1);
    EXPECT_TRUE(r.have_type && r.hw_type == 65 && r.hw_ver == 3);
    EXPECT_TRUE(r.have_record);
    EXPECT_GT(r.frames.size(), 100u);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].event, 0x30);
    EXPECT_LE(r.events[0].frame, r.frames.size());
}
