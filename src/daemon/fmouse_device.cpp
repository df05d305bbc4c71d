#include "fmouse_device.h"

#include <cstdio>
#include <cstring>

#include "NyxCalLib.h"
#include "detect_hw.h"
#include "fmouse_cmddata.h"
#include "fmouse_comm.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"

int dGain = 0, dRowStart = 0, dColStart = 0;
int g_ENC = 0;

namespace {

int send_byte(unsigned char c) {
    return fmouse_write_out(&c, 1);
}

bool flush_or_report() {
    if (fmouse_flush_in_buf() != 0) {
        fmouse_err("fmouse flush in buf error\n");
        return false;
    }
    return true;
}

// Reads the nine numbers of the camera register table.
bool read_cam_table(unsigned int vals[9]) {
    int r = read_hex_values(ink::path::kCamFile, vals, 9);
    if (r == -1)
        fmouse_err("Can not open Cam.dat\n");
    if (r == -2)
        fmouse_err("Cam.dat does not hold nine hexadecimal numbers\n");
    return r == 0;
}

// One register write as the preset and the table send it: corrected, sent,
// answered with 3 bytes that are only printed.
int write_register(unsigned char reg, int value, const char *write_err, const char *read_err) {
    unsigned char b[4] = {DEV_CMD_CAM_REG, reg, static_cast<unsigned char>((value >> 8) & 0xFF),
                          static_cast<unsigned char>(value & 0xFF)};
    DGain(b);
    if (reg == 0x22) {
        std::printf("rowMode:%d\n", rowMode);
        std::printf("rowMode:%d\n", rowMode);
        std::printf("rowMode:%.2x\n", rowMode & 0xFF);
        std::fflush(stdout);
    }
    if (fmouse_write_out(b, 4) != 0) {
        fmouse_err(write_err);
        return -1;
    }
    if (fmouse_read_in(b, 3) != 0) {
        fmouse_err(read_err);
        return -1;
    }
    fmouse_msgf("--> %.2x %.2x %.2x\n", b[0], b[1], b[2]);
    return 0;
}

// The sensitivity register (third triple of Cam.dat), low or high setting.
int set_sensitivity(bool high) {
    unsigned int v[9] = {};
    if (!read_cam_table(v))
        return -1;
    if (!flush_or_report())
        return -1;
    ink::time::wait_steps(5, 20);
    unsigned char b[4] = {
        DEV_CMD_CAM_REG, static_cast<unsigned char>(v[6]), static_cast<unsigned char>(v[7]),
        static_cast<unsigned char>(high ? v[8] + static_cast<unsigned>(maxW) : v[8])};
    if (fmouse_write_out(b, 4) != 0) {
        fmouse_err("config cam r2 error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    if (fmouse_read_in(b, 3) != 0) {
        fmouse_err("Read cam data error\n");
        return -1;
    }
    fmouse_msgf("--> %.2x %.2x %.2x\n", b[0], b[1], b[2]);
    if (b[0] == static_cast<unsigned char>(v[6]))
        return 0;
    fmouse_err("Read config cam r2 error\n");
    return -1;
}

// The texts of one block download, in the order they are printed.
struct BlockTexts {
    const char *before_send, *after_send, *send_err, *read_err;
};

// Hold, settle, flush, send the one-letter command and read its n-byte block.
int download_block(unsigned char command, unsigned char *buf, int n, const BlockTexts &t) {
    if (fmouse_hold() != 0) {
        fmouse_err("hold error");
        return -1;
    }
    ink::time::wait_steps(10, 20);
    if (!flush_or_report())
        return -1;
    fmouse_msg(t.before_send);
    if (send_byte(command) != 0) {
        fmouse_err(t.send_err);
        return -1;
    }
    fmouse_msg(t.after_send);
    if (fmouse_read_in(buf, n) != 0) {
        fmouse_err(t.read_err);
        return -1;
    }
    return 0;
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
    ink::time::wait_steps(5, 20);
    if (!flush_or_report())
        return -1;
    fmouse_msg("Hold >\n");
    return 0;
}

int fmouse_spot_skipped = 0;

FrameRead fmouse_read_frame(unsigned char *record) {
    unsigned char marker = 0;
    if (fmouse_read_in(&marker, 1) != 0)
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
    ink::time::sleep_s(1);
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    if (fmouse_write_out(buf, kFillSize) != 0) {
        fmouse_err("write o error\n");
        return -1;
    }
    ink::time::sleep_s(6);
    return 0;
}

int fmouse_check_ax_type(void) {
    fmouse_msg("<ckeck ax type\n");
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    ink::time::wait_steps(10, 20);
    if (!flush_or_report())
        return -1;
    ink::time::wait_steps(10, 20);
    if (send_byte(DEV_CMD_HW_TYPE) != 0) {
        fmouse_err("send hw type error\n");
        return -1;
    }
    unsigned char b[4];
    if (fmouse_read_in(b, 4) != 0) {
        fmouse_err("check hw type error\n");
        return -1;
    }
    fmouse_msgf("hw data : 0x%.2x 0x%.2x 0x%.2x 0x%.2x\n", b[0], b[1], b[2], b[3]);
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
    if (download_block(
            DEV_CMD_READ_E4, E, kE4Size,
            {"< Down e4\n", "Down e4 >\n", "Download E4 error", "Read download e4 error"}) != 0)
        return -1;
    fmouse_msg("E4 read: \n");
    for (int i = 0; i < kE4Size; ++i)
        fmouse_msgf("0x%.2x \n", E[i]);
    fmouse_msg("E4 end\n");
    return 0;
}

int fmouse_download_cal(unsigned char *EU) {
    if (download_block(
            DEV_CMD_READ_CAL, EU, kCalSize,
            {"< Down cal\n", "Down cal >\n", "Download cal error", "Read download cal error"}) != 0)
        return -1;
    fmouse_msg("CAL read: \n");
    for (int i = 0; i < kCalSize - 1; ++i)
        fmouse_msgf("0x%.2x \n", EU[i]);
    fmouse_msgf("\nEU[255] : 0x%.2x\n", EU[kCalSize - 1]);
    fmouse_msg("CAL end\n");
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
    ink::time::wait_steps(5, 20);
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
    if (fmouse_write_out(EU, kCalSize) != 0) {
        fmouse_err("Updata cal error\n");
        return CalWriteResult::LinkFailed;
    }
    ink::time::sleep_s(1);
    unsigned char r = 0;
    if (fmouse_read_in(&r, 1) != 0) {
        fmouse_err("Read updata cal return value error\n");
        return CalWriteResult::LinkFailed;
    }
    fmouse_msgf("nRead = 1 : tB[0] = 0x%.2x", r);
    if (r == kCalAccepted) {
        fmouse_msg("updata cal ok\n");
        return CalWriteResult::Accepted;
    }
    fmouse_msg("updata cal error\n");
    return CalWriteResult::Refused;
}

int fmouse_save_bd0(unsigned char *data, int nbytes) {
    fmouse_msg("SBD0 ---------\n");
    if (send_byte(DEV_CMD_SAVE_BD0) != 0) {
        fmouse_err("save BD0 error\n");
        return -1;
    }
    unsigned char r[4];
    if (fmouse_read_in(r, 3) != 0) {
        fmouse_err("read save BD0 error\n");
        return -1;
    }
    if (r[0] != kBd0Ready) {
        fmouse_err("check save BD0 data error\n");
        return -1;
    }
    if (fmouse_write_out(data, nbytes) != 0) {
        fmouse_err("send save BD0 data error\n");
        return -1;
    }
    ink::time::sleep_s(6);
    fmouse_msg("To read 4: \n");
    if (fmouse_read_in(r, 4) != 0) {
        fmouse_err("read 4 data error\n");
        return -1;
    }
    fmouse_msgf("0x%.2x 0x%.2x 0x%.2x 0x%.2x \n", r[0], r[1], r[2], r[3]);
    if (r[0] == kBd0Stored && r[1] == kBd0Stored && r[2] == kBd0Stored && r[3] == kBd0Stored)
        return 0;
    fmouse_err("check read 4 data error\n");
    return -1;
}

// ---- Camera configuration

void DGain(unsigned char *B) {
    const char *fmt = nullptr;
    int corr = 0;
    switch (B[1]) {
        case 0x35:
            corr = dGain;
            fmt = "new Gain=%.2x = %d\n";
            break;
        case 0x01:
            corr = dRowStart;
            fmt = "new RowStart=%.2x = %d\n";
            break;
        case 0x02:
            corr = dColStart;
            fmt = "new ColStart=%.2x = %d\n";
            break;
        default:
            return;
    }
    int v = B[2] * 256 + B[3] + corr;
    if (v < 0)
        v = 0;
    B[2] = static_cast<unsigned char>((v >> 8) & 0xFF);
    B[3] = static_cast<unsigned char>(v & 0xFF);
    fmouse_msgf(fmt, v & 0xFF, v);
}

int PresetCam(void) {
    struct Preset {
        unsigned char reg;
        int value;
        const char *write_err;
        const char *read_err;
    };
    static const char kColW[] = "config cam col start reg error\n";
    static const char kColR[] = "Read cam col start reg error\n";
    const Preset presets[] = {
        {0x01, rowStart, "config cam row start reg error\n", "Read cam row start reg error\n"},
        {0x02, 0x0020, kColW, kColR},
        {0x03, camH, kColW, kColR},
        {0x22, rowMode, kColW, kColR},
        {0x06, 0x0000, kColW, kColR},
    };
    for (const Preset &p : presets) {
        ink::time::wait_steps(10, 10);
        if (!flush_or_report())
            return -1;
        if (write_register(p.reg, p.value, p.write_err, p.read_err) != 0)
            return -1;
    }
    return 0;
}

int fmouse_config_cam(void) {
    if (PresetCam() != 0)
        fmouse_err("PresetCam error\n");
    unsigned int v[9] = {};
    if (!read_cam_table(v))
        return -1;
    if (!flush_or_report())
        return -1;
    ink::time::wait_steps(5, 20);
    for (int t = 0; t < 3; ++t) {
        int value = static_cast<int>(((v[3 * t + 1] & 0xFF) << 8) | (v[3 * t + 2] & 0xFF));
        if (write_register(static_cast<unsigned char>(v[3 * t]), value, "config cam r0 error\n",
                           "Read cam data error\n") != 0)
            return -1;
        if (t < 2)
            ink::time::wait_steps(5, 20);
    }
    return 0;
}

int fmouse_set_cam_low_s(void) {
    return set_sensitivity(false);
}
int fmouse_set_cam_high_s(void) {
    return set_sensitivity(true);
}

// ---- Light detection and background acquisition

int fmouse_detectlight(void) {
    ink::time::wait_steps(5, 20);
    if (fmouse_set_cam_high_s() != 0) {
        fmouse_err("set cam high error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    if (!flush_or_report())
        return -1;
    if (fmouse_run() != 0) {
        fmouse_err("run error\n");
        return -1;
    }
    ink::time::wait_steps(50, 10);
    unsigned char b[50];
    if (fmouse_read_in(b, 50) != 0) {
        fmouse_err("Read cam data error\n");
        return -1;
    }
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    for (unsigned char c : b) {
        if (c != kFrameNoSpot) {
            fmouse_msg("Light detected\n");
            return 1;
        }
    }
    return 0;
}

int fmouse_do_abd_korvex_es(void) {
    if (fmouse_run() != 0) {
        fmouse_err("run error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    if (send_byte(DEV_CMD_BACKGROUND) != 0) {
        fmouse_err("Do abd korvex error\n");
        return -1;
    }
    ink::time::sleep_s(1);
    return 0;
}

int fmouse_do_abd_chb(void) {
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    unsigned char data[1000];
    int n = OpenBD0(data);
    if (fmouse_save_bd0(data, n) != 0) {
        fmouse_err("save bd0 error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    int light = fmouse_detectlight();
    if (light == 1) {
        fmouse_msg("Light present\n");
        if (fmouse_do_abd_korvex_es() != 0) {
            fmouse_err("do korvex es error\n");
            return -1;
        }
    } else if (light < 0) {
        fmouse_err("detect light\n");
        return -1;
    }
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    if (fmouse_set_cam_low_s() != 0) {
        fmouse_err("set cam low s error\n");
        return -1;
    }
    ink::time::wait_steps(5, 20);
    return 0;
}
