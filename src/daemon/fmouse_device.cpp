// The device protocol's basic operations, identification and data exchange:
// run, hold and the frame stream, the fill, the hardware type, the parameter
// block, the calibration record both ways and the background store.
#include "fmouse_device.h"

#include <cstdio>
#include <cstring>

#include "NyxCalLib.h"
#include "device_exchange.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_sys.h"

using namespace ink::device;

int g_ENC = 0;

namespace {

// Fixed pauses.
constexpr Pause kHoldSettle = steps(5, 20);     // after 'p', before the input is flushed
constexpr Pause kDataSettle = steps(10, 20);    // on hold, before a data command
constexpr Pause kCalRecordLead = steps(5, 20);  // between 'v' and the calibration record
constexpr Pause kCalAnswerWait = seconds(1);    // the record reaches the unit, then its answer
constexpr Pause kBd0StoreWait = seconds(6);     // the background block reaches the unit
constexpr Pause kFillLead = seconds(1);         // before the fill's hold
constexpr Pause kFillDrain = seconds(6);        // the fill reaches the unit

// How replies are printed.
void show_hw_type(const unsigned char *b) {
    fmouse_msgf("hw data : 0x%.2x 0x%.2x 0x%.2x 0x%.2x\n", b[0], b[1], b[2], b[3]);
}
void show_e4(const unsigned char *E) {
    fmouse_msg("E4 read: \n");
    for (int i = 0; i < kE4Size; ++i)
        fmouse_msgf("0x%.2x \n", E[i]);
    fmouse_msg("E4 end\n");
}
void show_cal(const unsigned char *EU) {
    fmouse_msg("CAL read: \n");
    for (int i = 0; i < kCalSize - 1; ++i)
        fmouse_msgf("0x%.2x \n", EU[i]);
    fmouse_msgf("\nEU[255] : 0x%.2x\n", EU[kCalSize - 1]);
    fmouse_msg("CAL end\n");
}
void show_cal_answer(const unsigned char *r) {
    fmouse_msgf("nRead = 1 : tB[0] = 0x%.2x", r[0]);
}
void show_bd0_acks(const unsigned char *r) {
    fmouse_msgf("0x%.2x 0x%.2x 0x%.2x 0x%.2x \n", r[0], r[1], r[2], r[3]);
}

// The data commands' exchanges. Each row: reply size and the pause before it;
// the texts before the command, of a failed send, before the reply and of a
// missing reply; how the reply is printed and what it must hold.
// clang-format off
const Exchange kHwTypeQuery{kHwTypeSize, kNoPause,
    nullptr, "send hw type error\n", nullptr, "check hw type error\n",
    show_hw_type, kAnyReply};
const Exchange kE4Read{kE4Size, kNoPause,
    "< Down e4\n", "Download E4 error", "Down e4 >\n", "Read download e4 error",
    show_e4, kAnyReply};
const Exchange kCalRead{kCalSize, kNoPause,
    "< Down cal\n", "Download cal error", "Down cal >\n", "Read download cal error",
    show_cal, kAnyReply};
const Exchange kCalWrite{kCalAnswerSize, kCalAnswerWait,
    nullptr, "Updata cal error\n", nullptr, "Read updata cal return value error\n",
    show_cal_answer, kAnyReply};
const Exchange kBd0Start{kBd0ReplySize, kNoPause,
    "SBD0 ---------\n", "save BD0 error\n", nullptr, "read save BD0 error\n",
    nullptr, {Expect::FirstIs, kBd0Ready, "check save BD0 data error\n"}};
const Exchange kBd0Store{kBd0AckSize, kBd0StoreWait,
    nullptr, "send save BD0 data error\n", "To read 4: \n", "read 4 data error\n",
    show_bd0_acks, {Expect::EveryIs, kBd0Stored, "check read 4 data error\n"}};
// clang-format on

// Puts the unit on hold, lets it settle and flushes the input: the start of
// every data command.
int hold_settle_flush(const char *hold_err) {
    if (fmouse_hold() != 0) {
        fmouse_err(hold_err);
        return -1;
    }
    pause_for(kDataSettle);
    return flush_or_report() ? 0 : -1;
}

}  // namespace

// ---- Basic operations

int fmouse_run(void) {
    fmouse_msg("< Run\n");
    if (send_byte(DEV_CMD_RUN) != 0) {
        fmouse_err("run error\n");
        return -1;
    }
    fmouse_msg("Run >\n");
    return 0;
}

int fmouse_hold(void) {
    fmouse_msg("< Hold\n");
    if (send_byte(DEV_CMD_HOLD) != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    pause_for(kHoldSettle);
    if (!flush_or_report())
        return -1;
    fmouse_msg("Hold >\n");
    return 0;
}

int fmouse_spot_skipped = 0;

FrameRead fmouse_read_frame(unsigned char *record) {
    unsigned char marker = 0;
    if (fmouse_read_in(&marker, sizeof marker) != 0)
        return FrameRead::MarkerLost;
    if (marker == kFrameNoSpot)
        return FrameRead::NoSpot;
    if (marker != kFrameSpot)
        return FrameRead::NotAMarker;
    if (fmouse_read_in(record, kSpotRecordSize) != 0)
        return FrameRead::RecordLost;
    return FrameRead::Spot;
}

int fmouse_read_spot(void) {
    unsigned char record[kSpotRecordSize];
    fmouse_spot_skipped = 0;
    for (;;) {
        switch (fmouse_read_frame(record)) {
            case FrameRead::NoSpot:
                return 0;
            case FrameRead::Spot:
                return DecData_Raw(record) ? 1 : 0;
            case FrameRead::NotAMarker:
                // Out of step: skip one byte at a time until a marker comes.
                ++fmouse_spot_skipped;
                break;
            case FrameRead::MarkerLost:
            case FrameRead::RecordLost:
                fmouse_err("Read spot data error\n");
                return -1;
        }
    }
}

void fmouse_beep(void) {}

// ---- Identification and data exchange

unsigned char fmouse_cal_checksum(const unsigned char *EU) {
    unsigned int sum = 0;
    for (int i = 0; i < kCalSize - 1; ++i)
        sum += EU[i];
    return static_cast<unsigned char>((sum + kCalSumSeed) & 0xFF);
}

int fmouse_fill_write_o(void) {
    unsigned char buf[kFillSize];
    std::memset(buf, DEV_CMD_FILL, sizeof buf);
    pause_for(kFillLead);
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    if (fmouse_write_out(buf, kFillSize) != 0) {
        fmouse_err("write o error\n");
        return -1;
    }
    pause_for(kFillDrain);
    return 0;
}

int fmouse_check_ax_type(void) {
    fmouse_msg("<ckeck ax type\n");
    if (hold_settle_flush("hold error\n") != 0)
        return -1;
    pause_for(kDataSettle);
    unsigned char b[kHwTypeSize];
    if (exchange(DEV_CMD_HW_TYPE, b, kHwTypeQuery) != 0)
        return -1;
    if (b[0] + b[2] == 255 && b[1] + b[3] == 255) {
        cmd->HW_Type = b[0];
        cmd->HW_Ver = b[1];
        fmouse_msg("ckeck ax type end >\n");
        return 0;
    }
    fmouse_err("unknow hardware type\n");
    fmouse_msg("ckeck ax type end >\n");
    return -1;
}

int fmouse_download_e4(unsigned char *E) {
    if (hold_settle_flush("hold error") != 0)
        return -1;
    return exchange(DEV_CMD_READ_E4, E, kE4Read);
}

int fmouse_download_cal(unsigned char *EU) {
    if (hold_settle_flush("hold error") != 0)
        return -1;
    if (exchange(DEV_CMD_READ_CAL, EU, kCalRead) != 0)
        return -1;
    fmouse_msg("Check Cal sum\n");
    unsigned char sum = fmouse_cal_checksum(EU);
    if (sum == EU[kCalSize - 1]) {
        fmouse_msg("Check Cal sum successful\n");
    } else {
        fmouse_msgf("sum + 99 : %.2x\n", sum);
        fmouse_err("Check cal sum error\n");
    }
    return 0;
}

CalWriteResult fmouse_updata_cal(unsigned char *EU) {
    fmouse_msg("updata cal\n");
    fmouse_msg("< updata cal\n");
    if (send_byte(DEV_CMD_WRITE_CAL) != 0) {
        fmouse_err("Updata cal error\n");
        return CalWriteResult::LinkFailed;
    }
    fmouse_msg("updata cal >\n");
    pause_for(kCalRecordLead);
    EU[kCalSize - 1] = fmouse_cal_checksum(EU);
    if (vxd_debug_flag == 1) {
        char line[kCalSize * 3 + 2];
        size_t n = 0;
        for (int i = 0; i < kCalSize - 1; ++i)
            n += std::snprintf(line + n, sizeof line - n, "%.2x ", EU[i]);
        fmouse_msg("EU data : \n");
        fmouse_msg(line);
        fmouse_msg("\n");
    }
    unsigned char r = 0;
    if (exchange(EU, kCalSize, &r, kCalWrite) != 0)
        return CalWriteResult::LinkFailed;
    if (r == kCalAccepted) {
        fmouse_msg("updata cal ok\n");
        return CalWriteResult::Accepted;
    }
    fmouse_msg("updata cal error\n");
    return CalWriteResult::Refused;
}

int fmouse_save_bd0(unsigned char *data, int nbytes) {
    unsigned char r[kBd0AckSize];
    if (exchange(DEV_CMD_SAVE_BD0, r, kBd0Start) != 0)
        return -1;
    return exchange(data, nbytes, r, kBd0Store);
}
