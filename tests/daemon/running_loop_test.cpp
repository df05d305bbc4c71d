// The Run state's loop on the relay link's real socket: the unit model sends
// exactly the bytes a case queues (it is on hold, so nothing else), a socket
// pair plays the tray program answering the polls, and a pipe is the pointer
// sink. Frames, bytes out of step, poll answers and failed reads.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "NyxCalLib.h"
#include "fmouse_click.h"
#include "fmouse_cmddata.h"
#include "fmouse_gui.h"
#include "fmouse_motion.h"
#include "fmouse_running.h"
#include "support/sandbox.h"
#include "unit_link.h"

using namespace inktest;

namespace {

// Spot records as the unit sends them, marker included: camera (475, 325),
// in the middle of the view, and (1500, 300), beyond the sensor.
const std::vector<uint8_t> kSpotInView{0xFE, 0x61, 0x5C, 0x22, 0x99, 0, 0x0C, 0, 0xC8, 1, 0};
const std::vector<uint8_t> kSpotBeyondSensor{0xFE, 0xE1, 0xBC, 0x24, 0x09, 0, 0x0C, 0, 0xC8, 1, 0};

class RunningLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sandbox_available())
            GTEST_SKIP() << "needs a sandbox build (-DINK_ROOT)";
        reset_sandbox();
        // A model from a record that fits the unit model's camera, so that a
        // spot in the middle of its view is accepted.
        auto rec = inksim::fitted_record(inksim::UnitConfig());
        ASSERT_TRUE(DecCAL(rec.data(), Ul, Vl));
        Calib_Init(RefNx, RefNy, sideSpace, 1024, 768, 65, refX, refY);
        Calib_InitUV(Ul, Vl);

        unit_ = std::make_unique<UnitLink>();
        ASSERT_TRUE(unit_->start());
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        alg2guisock_client_fd = sv[0];
        tray_ = sv[1];
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
        pointer_rd_ = p[0];
        motion_fd = p[1];
        fmouse_click_reset();
        frames_before_ = frameCnt;
    }
    void TearDown() override {
        if (tray_thread_.joinable()) {
            shutdown(tray_, SHUT_RDWR);
            tray_thread_.join();
        }
        unit_.reset();
        if (tray_ >= 0) {
            close(alg2guisock_client_fd);
            close(tray_);
            alg2guisock_client_fd = -1;
        }
        if (pointer_rd_ >= 0) {
            close(pointer_rd_);
            close(motion_fd);
            motion_fd = -1;
        }
        vxd_debug_flag = 0;
        fmouse_click_reset();
    }

    void queue(const std::vector<uint8_t> &bytes) {
        unit_->with([&](inksim::Firmware &fw) { fw.queue_bytes(bytes.data(), bytes.size(), 0); });
    }

    // The tray program: answers the polls with these bytes, in order, then
    // with "no event".
    void answer_polls(std::vector<uint8_t> answers) {
        tray_thread_ = std::thread([this, answers] {
            size_t next = 0;
            uint8_t c;
            while (read(tray_, &c, 1) == 1) {
                if (c != 0xF3)
                    continue;
                uint8_t a = next < answers.size() ? answers[next++] : 0x00;
                if (write(tray_, &a, 1) != 1)
                    return;
            }
        });
    }

    // Runs the loop in debug mode; its result and what it printed.
    int run(std::string *out) {
        vxd_debug_flag = 1;
        testing::internal::CaptureStdout();
        int r = static_cast<int>(fmouse_running());
        *out = testing::internal::GetCapturedStdout();
        vxd_debug_flag = 0;
        return r;
    }

    long frames() const { return frameCnt - frames_before_; }

    std::unique_ptr<UnitLink> unit_;
    int tray_ = -1;
    int pointer_rd_ = -1;
    std::thread tray_thread_;
    long frames_before_ = 0;
};

}  // namespace

TEST_F(RunningLoop, BytesThatStartNoFrameAreReportedAndTheStreamRealigns) {
    std::vector<uint8_t> bytes{0xFF, 0x01, 0x02};
    bytes.insert(bytes.end(), kSpotInView.begin(), kSpotInView.end());
    queue(bytes);
    // One poll per byte or frame read; a cancel answer while no calibration
    // runs is dropped.
    answer_polls({0x00, 0x20, 0x00, 0x10});
    std::string out;
    EXPECT_EQ(run(&out), 0) << out;
    EXPECT_EQ(count_of(out, "FMOUSE ERR: running read data error\n"), 2u) << out;
    EXPECT_EQ(frames(), 2) << "the empty frame and the spot frame";
    EXPECT_EQ(fmouse_gesture_phase(), 2) << "the spot was accepted: tap 1 begins";
    EXPECT_EQ(out.find("read running"), std::string::npos) << out;
}

TEST_F(RunningLoop, ARejectedSpotIsAFrameWithoutPen) {
    queue(kSpotBeyondSensor);
    answer_polls({0x10});
    std::string out;
    EXPECT_EQ(run(&out), 0) << out;
    EXPECT_EQ(frames(), 1);
    EXPECT_EQ(fmouse_gesture_phase(), 1) << "still idle";
}

TEST_F(RunningLoop, ANewScreenSizeEndsTheLoopWithOne) {
    queue({0xFF, 0xFF});
    answer_polls({0x00, 0x30});
    std::string out;
    EXPECT_EQ(run(&out), 1) << out;
    EXPECT_EQ(frames(), 2);
}

TEST_F(RunningLoop, ASpotRecordCutShortFailsAndItsFrameStillCounts) {
    queue({0xFF, 0xFE, 0x12, 0x34, 0x56});
    answer_polls({});
    std::string out;
    EXPECT_EQ(run(&out), -1) << out;
    EXPECT_NE(out.find("FMOUSE ERR: read running 10 data error\n"), std::string::npos) << out;
    EXPECT_EQ(frames(), 2) << "a frame counts from its marker on";
}

TEST_F(RunningLoop, TheRelaysEndEndsTheLoopWithMinusOne) {
    answer_polls({});
    unit_->end_relay();
    std::string out;
    EXPECT_EQ(run(&out), -1) << out;
    EXPECT_NE(out.find("FMOUSE ERR: read running 1 data error\n"), std::string::npos) << out;
}
