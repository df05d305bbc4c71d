// The virtual unit's firmware model, camera model and scenario parser, without
// FUSE: what the daemon's commands get back.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "NyxCalLib.h"
#include "inksim/firmware.h"

namespace {

using inksim::Firmware;

struct Unit {
    explicit Unit(const inksim::UnitConfig &c = inksim::UnitConfig()) : fw(c) {}
    std::vector<uint8_t> send(const std::vector<uint8_t> &b) {
        fw.receive(b.data(), b.size(), ++t);
        return take();
    }
    std::vector<uint8_t> send(const std::string &s) {
        return send(std::vector<uint8_t>(s.begin(), s.end()));
    }
    std::vector<uint8_t> take() {
        std::vector<uint8_t> out;
        fw.take_due(1LL << 60, &out);
        return out;
    }
    Firmware fw;
    long long t = 0;
};

TEST(InksimFirmware, IdentificationAndParameterBlock) {
    inksim::UnitConfig c;
    c.params[11] = 0xFE;
    Unit u(c);
    EXPECT_EQ(u.send("T"), (std::vector<uint8_t>{65, 3, 190, 252}));
    u.fw.fail_type_once();
    auto bad = u.send("T");
    ASSERT_EQ(bad.size(), 4u);
    EXPECT_NE(bad[1] + bad[3], 255);
    EXPECT_EQ(u.send("T"), (std::vector<uint8_t>{65, 3, 190, 252}))
        << "the type answer fails only once";
    auto e = u.send("e");
    ASSERT_EQ(e.size(), 64u);
    EXPECT_EQ(e[11], 0xFE);
}

TEST(InksimFirmware, RegisterWritesEchoEvenWhenSplitAcrossReports) {
    Unit u;
    EXPECT_TRUE(u.send(std::vector<uint8_t>{'c', 0x35}).empty());
    EXPECT_EQ(u.send(std::vector<uint8_t>{0x00, 0x23}), (std::vector<uint8_t>{0x35, 0x00, 0x23}));
    EXPECT_EQ(u.fw.reg(0x35), 0x0023);
}

TEST(InksimFirmware, CalibrationRecordIsKeptOnlyWithARightChecksum) {
    Unit u;
    auto before = u.send("d");
    ASSERT_EQ(before.size(), 256u);
    EXPECT_TRUE(inksim::record_sealed(before.data()));

    std::vector<uint8_t> rec(256, 0x01);
    rec[255] = 0x62;  // (255 + 99) mod 256
    std::vector<uint8_t> msg(257, 0x01);
    msg[0] = 'v';
    msg[256] = rec[255];
    EXPECT_EQ(u.send(msg), std::vector<uint8_t>{'3'});
    EXPECT_EQ(u.send("d"), rec);

    msg.back() = 0x63;
    EXPECT_NE(u.send(msg), std::vector<uint8_t>{'3'});
    EXPECT_EQ(u.send("d"), rec) << "a record with a wrong checksum must not replace the stored one";

    msg.back() = 0x62;
    u.fw.refuse_next(Firmware::kRefuseCal);
    EXPECT_NE(u.send(msg), std::vector<uint8_t>{'3'});
    EXPECT_EQ(u.send(msg), std::vector<uint8_t>{'3'});

    u.fw.corrupt_record();
    EXPECT_FALSE(inksim::record_sealed(u.send("d").data()));
}

TEST(InksimFirmware, BackgroundStoreChecksTheBlock) {
    Unit u;
    uint8_t open[NYX_BD0_SIZE];
    ASSERT_EQ(OpenBD0(open), NYX_BD0_SIZE);
    EXPECT_TRUE(inksim::bd0_block_valid(open, sizeof open));
    uint8_t closed[NYX_BD0_SIZE];
    CloseBD0(closed);
    EXPECT_TRUE(inksim::bd0_block_valid(closed, sizeof closed));

    EXPECT_EQ(u.send("g"), (std::vector<uint8_t>{0xBB, 0x00, 0x00}));
    EXPECT_EQ(u.send(std::vector<uint8_t>(open, open + sizeof open)),
              (std::vector<uint8_t>(4, 0x11)));
    EXPECT_EQ(u.fw.bd0(), std::vector<uint8_t>(open, open + sizeof open));

    // One flipped bit anywhere: sum or check bytes no longer fit.
    for (size_t at : {size_t(0), size_t(311 * 2), size_t(638), size_t(645)}) {
        std::vector<uint8_t> bad(open, open + sizeof open);
        bad[at] ^= 0x04;
        EXPECT_FALSE(inksim::bd0_block_valid(bad.data(), bad.size())) << "byte " << at;
        u.send("g");
        auto ans = u.send(bad);
        ASSERT_EQ(ans.size(), 4u);
        EXPECT_NE(ans, std::vector<uint8_t>(4, 0x11));
    }
    EXPECT_EQ(u.fw.bd0(), std::vector<uint8_t>(open, open + sizeof open)) << "the old block stays";

    u.fw.refuse_next(Firmware::kRefuseBdStart);
    EXPECT_EQ(u.send("g")[0], 0xBA);
    EXPECT_EQ(u.send("T").size(), 4u) << "a refused store takes no data";
}

TEST(InksimFirmware, FillBringsAStuckTransferBackIntoStep) {
    Unit u;
    // A background store abandoned after its first answer: the unit waits for
    // 646 bytes. The 600-byte fill must free it, and the next query be answered.
    EXPECT_EQ(u.send("g").size(), 3u);
    EXPECT_TRUE(u.send(std::string(600, 'o')).empty());
    EXPECT_EQ(u.send("T").size(), 4u);
    // Same for a half-sent record: the fill completes it (with a wrong
    // checksum, so it is refused and the old record kept); the rest is ignored.
    auto before = u.send("d");
    u.send("v" + std::string(100, '\x01'));
    auto answer = u.send(std::string(600, 'o'));
    EXPECT_NE(answer, std::vector<uint8_t>{'3'});
    EXPECT_EQ(u.send("T").size(), 4u);
    EXPECT_EQ(u.send("d"), before);
}

TEST(InksimFirmware, UnpluggingLosesAHalfReceivedTransferButNotTheStoredRecord) {
    Unit u;
    auto before = u.send("d");
    u.send("r");
    // Half a record, then the power goes: after the replug the next command
    // is a command again, not the record's 101st byte.
    u.send("v" + std::string(100, '\x01'));
    u.fw.power_off();
    EXPECT_FALSE(u.fw.running());
    EXPECT_EQ(u.send("T").size(), 4u);
    EXPECT_EQ(u.send("d"), before);
    // Bytes queued but not yet sent are gone too.
    u.fw.receive(reinterpret_cast<const uint8_t *>("d"), 1, ++u.t);
    u.fw.power_off();
    EXPECT_TRUE(u.take().empty());
}

TEST(InksimFirmware, RecordWhoseFillerIsLongerThanAnyFillRunIsStored) {
    // A 3 x 3 grid leaves 216 filler bytes 'o' in the record: a legitimate
    // upload, not a fill.
    Unit u;
    std::vector<uint8_t> rec(256, 0x6F);
    rec[0] = 3;
    rec[1] = 5;
    rec[2] = 10;
    for (int i = 3; i < 39; ++i)
        rec[i] = static_cast<uint8_t>(i);
    inksim::seal_record(rec.data());
    std::vector<uint8_t> msg(257, 'v');
    std::copy(rec.begin(), rec.end(), msg.begin() + 1);
    EXPECT_EQ(u.send(msg), std::vector<uint8_t>{'3'});
    EXPECT_EQ(u.send("d"), rec);
}

TEST(InksimFirmware, FrameStreamBetweenRunAndHold) {
    Unit u;
    inksim::PenSample off, on{true, 300.25, 200.5};
    u.fw.frame(on, 1);
    EXPECT_TRUE(u.take().empty()) << "a held unit sends no frames";
    u.send("r");
    u.fw.frame(off, 2);
    u.fw.frame(on, 3);
    auto out = u.take();
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFE);
    EXPECT_NE(out[10], 0) << "the state byte of a pen spot is non-zero";
    ASSERT_EQ(DecData_Raw(out.data() + 2), 1);
    EXPECT_NEAR(SPOT.x, 300.25, 1.0 / 32);
    EXPECT_NEAR(SPOT.y, 200.5, 1.0 / 16);
    u.send("p");
    u.fw.frame(on, 4);
    EXPECT_TRUE(u.take().empty());

    // A lamp shows as spots at high sensitivity only, until the unit takes
    // its background; the pen shows at either sensitivity.
    u.fw.set_stray_light(true);
    EXPECT_EQ(u.send(std::string("c\x35\x00\x20", 4)).size(), 3u) << "low sensitivity";
    u.send("r");
    u.fw.frame(off, 5);
    EXPECT_EQ(u.take(), std::vector<uint8_t>{0xFF}) << "the lamp is too dim at low sensitivity";
    u.fw.frame(on, 6);
    EXPECT_EQ(u.take()[0], 0xFE) << "the pen is not";
    u.send(std::string("c\x35\x00\x28", 4));
    u.fw.frame(off, 7);
    EXPECT_EQ(u.take()[0], 0xFE) << "the lamp at high sensitivity";
    u.send("B");
    u.fw.frame(off, 8);
    EXPECT_EQ(u.take(), std::vector<uint8_t>{0xFF});
}

TEST(InksimFirmware, SilenceAndSlowAnswers) {
    Unit u;
    u.fw.set_slow_us(1000);
    u.fw.receive(reinterpret_cast<const uint8_t *>("T"), 1, 100);
    std::vector<uint8_t> out;
    u.fw.take_due(1099, &out);
    EXPECT_TRUE(out.empty());
    u.fw.take_due(1100, &out);
    EXPECT_EQ(out.size(), 4u);
    u.fw.set_slow_us(0);
    u.fw.set_silence_until(5000);
    u.fw.receive(reinterpret_cast<const uint8_t *>("T"), 1, 2000);
    out.clear();
    u.fw.take_due(2000, &out);
    u.fw.receive(reinterpret_cast<const uint8_t *>("T"), 1, 5000);
    u.fw.take_due(5000, &out);
    EXPECT_EQ(out.size(), 4u) << "answers during the silence are lost, later ones come";
}

TEST(InksimFirmware, RecordsEveryCommandWithItsTime) {
    Unit u;
    u.send("r");
    u.send(std::string(600, 'o'));
    u.send(std::vector<uint8_t>{'c', 1, 0, 200});
    const auto &log = u.fw.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].cmd, 'r');
    EXPECT_EQ(log[1].cmd, 'o');
    EXPECT_EQ(log[1].payload.size(), 599u);
    EXPECT_EQ(log[2].cmd, 'c');
    EXPECT_EQ(log[2].payload, (std::vector<uint8_t>{1, 0, 200}));
    EXPECT_LT(log[0].t_us, log[2].t_us);
}

TEST(InksimCamera, PreloadedRecordFitsTheCameraModel) {
    inksim::UnitConfig c;
    auto rec = inksim::fitted_record(c);
    double ul[49], vl[49];
    ASSERT_EQ(DecCAL(rec.data(), ul, vl), 1);
    EXPECT_EQ(RefNx, 4);
    EXPECT_EQ(RefNy, 3);
    EXPECT_EQ(sideSpace, 5);
    // Build the model the daemon would, then see where the camera's view of a
    // few screen points lands.
    int refX[8], refY[8];
    Calib_Init(RefNx, RefNy, sideSpace, 1024, 768, 65, refX, refY);
    Calib_InitUV(ul, vl);
    inksim::CameraModel cam(c.camera, 1);
    for (auto [x, y] : {std::pair{512.0, 384.0}, {100.0, 100.0}, {900.0, 650.0}, {358.0, 51.0}}) {
        double u, v;
        cam.map(x, y, &u, &v);
        unsigned uw = static_cast<unsigned>(std::lround(u * 32)) ^ SPOT_MASK_U;
        unsigned vw = static_cast<unsigned>(std::lround(v * 16)) ^ SPOT_MASK_V;
        unsigned char r[10] = {static_cast<unsigned char>(uw >> 8),
                               static_cast<unsigned char>(uw),
                               static_cast<unsigned char>(vw >> 8),
                               static_cast<unsigned char>(vw),
                               0,
                               0,
                               0,
                               0,
                               1,
                               0};
        ASSERT_EQ(DecData_Run(r), 1) << x << "," << y;
        EXPECT_NEAR(SPOT.x, x, 8) << "at " << x << "," << y;
        EXPECT_NEAR(SPOT.y, y, 8) << "at " << x << "," << y;
    }
    // The block the daemon stores after bring-up passes the unit's check.
    uint8_t bd0[NYX_BD0_SIZE];
    ASSERT_EQ(CalcBD0(bd0), NYX_BD0_SIZE);
    EXPECT_TRUE(inksim::bd0_block_valid(bd0, sizeof bd0));
}

TEST(InksimScenario, ParsesStepsAndSettings) {
    inksim::Scenario sc;
    std::string err;
    ASSERT_TRUE(
        inksim::parse_scenario("rate 50\n# comment\nscreen 1280 800\ncalibrated no\n"
                               "tap 10 20\nstroke 0 0 100 100 200  # a line\npause 300\ntypefail\n"
                               "deaf 1200\n",
                               &sc, &err))
        << err;
    EXPECT_EQ(sc.unit.rate, 50);
    EXPECT_EQ(sc.unit.camera.screen_w, 1280);
    EXPECT_FALSE(sc.unit.calibrated);
    ASSERT_EQ(sc.steps.size(), 10u);
    EXPECT_EQ(sc.steps[0].kind, inksim::StepKind::Down);
    EXPECT_EQ(sc.steps[1].ms, 60);
    EXPECT_EQ(sc.steps[4].kind, inksim::StepKind::Move);
    EXPECT_EQ(sc.steps[8].kind, inksim::StepKind::TypeFail);
    EXPECT_EQ(sc.steps[9].kind, inksim::StepKind::Deaf);
    EXPECT_EQ(sc.steps[9].ms, 1200);
}

TEST(InksimScenario, RejectsBadLinesWithTheirNumber) {
    inksim::Scenario sc;
    std::string err;
    for (const char *text :
         {"tap 1\n", "rate 0\n", "\nfly 3 4\n", "tap -1 5\n", "refuse everything\n", "grid 2 3 5\n",
          "corners 1 2 3\n", "hold 1e99\n", "tap 1 2x\n", "deaf -5\n", "deaf\n"}) {
        EXPECT_FALSE(inksim::parse_scenario(text, &sc, &err)) << text;
        EXPECT_EQ(err.rfind("line ", 0), 0u) << err;
    }
    EXPECT_FALSE(inksim::load_scenario("/nonexistent/scenario", &sc, &err));
}

}  // namespace

namespace {

TEST(InksimScenario, ExamplesParse) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(INKSIM_SCENARIO_DIR)) {
        inksim::Scenario sc;
        std::string err;
        EXPECT_TRUE(inksim::load_scenario(e.path().string(), &sc, &err)) << err;
        ++n;
    }
    EXPECT_GE(n, 5);
}

}  // namespace
