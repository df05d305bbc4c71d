// Camera configuration (the preset registers, the register table file and the
// two sensitivity settings), light detection and the background sequence
// before a calibration.
#include "fmouse_device.h"

#include <cstdio>

#include "NyxCalLib.h"
#include "detect_hw.h"
#include "device_exchange.h"
#include "fmouse_comm.h"
#include "fmouse_sys.h"
#include "ink_paths.h"

using namespace ink::device;

int dGain = 0, dRowStart = 0, dColStart = 0;

namespace {

// Fixed pauses.
constexpr Pause kPresetSettle = steps(10, 10);  // before each preset register write
constexpr Pause kRegPause = steps(5, 20);       // around the table and sensitivity writes
constexpr Pause kSequencePause = steps(5, 20);  // between the steps of the background sequence
constexpr Pause kLightGather = steps(50, 10);   // frames streamed before light detection reads
constexpr Pause kRunSettle = steps(5, 20);      // between 'r' and 'B'
constexpr Pause kBackgroundWait = seconds(1);   // the unit takes its background after 'B'

// ---- Register writes

void show_register_echo(const unsigned char *b) {
    fmouse_msgf("--> %.2x %.2x %.2x\n", b[0], b[1], b[2]);
}

// 'c', the register, the value's high and low byte.
constexpr int kRegCommandSize = 1 + kRegWriteSize;

// Cam.dat: three triples of register, value high byte, value low byte; the
// third triple is also the sensitivity register.
constexpr int kCamTableTriples = 3;
constexpr int kTripleSize = 3;
constexpr int kCamTableValues = kTripleSize * kCamTableTriples;
constexpr int kSensitivityTriple = 2;

// The column-start and cleared registers' preset values.
constexpr int kColStartPreset = 0x0020;
constexpr int kClearedPreset = 0x0000;

// Reads the nine numbers of the camera register table.
bool read_cam_table(unsigned int vals[kCamTableValues]) {
    int r = read_hex_values(ink::path::kCamFile, vals, kCamTableValues);
    if (r == -1)
        fmouse_err("Can not open Cam.dat\n");
    if (r == -2)
        fmouse_err("Cam.dat does not hold nine hexadecimal numbers\n");
    return r == 0;
}

// Reads the register table, flushes the input and pauses: what comes before
// the table's writes and before each sensitivity setting.
bool prepare_table_writes(unsigned int vals[kCamTableValues]) {
    if (!read_cam_table(vals) || !flush_or_report())
        return false;
    pause_for(kRegPause);
    return true;
}

// One register write as the preset and the table send it: corrected, sent,
// answered with kRegWriteSize bytes that are only printed.
int write_register(unsigned char reg, int value, const char *write_err, const char *read_err) {
    unsigned char b[kRegCommandSize] = {DEV_CMD_CAM_REG, reg,
                                        static_cast<unsigned char>((value >> 8) & 0xFF),
                                        static_cast<unsigned char>(value & 0xFF)};
    DGain(b);
    if (reg == CAM_REG_ROW_MODE) {
        std::printf("rowMode:%d\n", rowMode);
        std::printf("rowMode:%d\n", rowMode);
        std::printf("rowMode:%.2x\n", rowMode & 0xFF);
        std::fflush(stdout);
    }
    // clang-format off
    const Exchange x{kRegWriteSize, kNoPause,
        nullptr, write_err, nullptr, read_err,
        show_register_echo, kAnyReply};
    // clang-format on
    return exchange(b, kRegCommandSize, b, x);
}

// The sensitivity register (third triple of Cam.dat), low or high setting,
// uncorrected; the unit must echo the register.
int set_sensitivity(bool high) {
    unsigned int v[kCamTableValues] = {};
    if (!prepare_table_writes(v))
        return -1;
    const unsigned int *t = v + kTripleSize * kSensitivityTriple;
    const unsigned char reg = static_cast<unsigned char>(t[0]);
    unsigned char b[kRegCommandSize] = {
        DEV_CMD_CAM_REG, reg, static_cast<unsigned char>(t[1]),
        static_cast<unsigned char>(high ? t[2] + static_cast<unsigned>(maxW) : t[2])};
    // clang-format off
    const Exchange x{kRegWriteSize, kRegPause,
        nullptr, "config cam r2 error\n", nullptr, "Read cam data error\n",
        show_register_echo, {Expect::FirstIs, reg, "Read config cam r2 error\n"}};
    // clang-format on
    return exchange(b, kRegCommandSize, b, x);
}

}  // namespace

// ---- Camera configuration

void DGain(unsigned char *B) {
    const char *fmt = nullptr;
    int corr = 0;
    switch (B[1]) {
        case CAM_REG_GAIN:
            corr = dGain;
            fmt = "new Gain=%.2x = %d\n";
            break;
        case CAM_REG_ROW_START:
            corr = dRowStart;
            fmt = "new RowStart=%.2x = %d\n";
            break;
        case CAM_REG_COL_START:
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
        {CAM_REG_ROW_START, rowStart, "config cam row start reg error\n",
         "Read cam row start reg error\n"},
        {CAM_REG_COL_START, kColStartPreset, kColW, kColR},
        {CAM_REG_WINDOW_HEIGHT, camH, kColW, kColR},
        {CAM_REG_ROW_MODE, rowMode, kColW, kColR},
        {CAM_REG_CLEARED, kClearedPreset, kColW, kColR},
    };
    for (const Preset &p : presets) {
        pause_for(kPresetSettle);
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
    unsigned int v[kCamTableValues] = {};
    if (!prepare_table_writes(v))
        return -1;
    for (int t = 0; t < kCamTableTriples; ++t) {
        const unsigned int *triple = v + kTripleSize * t;
        int value = static_cast<int>(((triple[1] & 0xFF) << 8) | (triple[2] & 0xFF));
        if (write_register(static_cast<unsigned char>(triple[0]), value, "config cam r0 error\n",
                           "Read cam data error\n") != 0)
            return -1;
        if (t < kCamTableTriples - 1)
            pause_for(kRegPause);
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
    pause_for(kSequencePause);
    if (fmouse_set_cam_high_s() != 0) {
        fmouse_err("set cam high error\n");
        return -1;
    }
    pause_for(kSequencePause);
    if (!flush_or_report())
        return -1;
    if (fmouse_run() != 0) {
        fmouse_err("run error\n");
        return -1;
    }
    pause_for(kLightGather);
    unsigned char b[kLightProbeSize];
    if (fmouse_read_in(b, kLightProbeSize) != 0) {
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
    pause_for(kRunSettle);
    if (send_byte(DEV_CMD_BACKGROUND) != 0) {
        fmouse_err("Do abd korvex error\n");
        return -1;
    }
    pause_for(kBackgroundWait);
    return 0;
}

int fmouse_do_abd_chb(void) {
    if (fmouse_hold() != 0) {
        fmouse_err("hold error\n");
        return -1;
    }
    unsigned char data[kBd0BufferSize];
    int n = OpenBD0(data);
    if (fmouse_save_bd0(data, n) != 0) {
        fmouse_err("save bd0 error\n");
        return -1;
    }
    pause_for(kSequencePause);
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
    pause_for(kSequencePause);
    if (fmouse_set_cam_low_s() != 0) {
        fmouse_err("set cam low s error\n");
        return -1;
    }
    pause_for(kSequencePause);
    return 0;
}
