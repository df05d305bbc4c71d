#include "detect_hw.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "fmouse_cmddata.h"
#include "fmouse_sys.h"
#include "ink_paths.h"

int rowStart = 200, camH = 1239, rowMode = 0x22, BuffThr = 88, bRate = 0, bwuse = 0, maxW = 16;
int presetCam = 0, oem = 0, Side = 0, SmpAlg = 0;
int dL = 0, dR = 0, dT = 0, dB = 0, maxOn = 0, DotOn = 1, Bar = 1;
int g_UseViewSize = 0, g_xView = 0, g_yView = 0;
float BeepOn = 1.0f, spareX = 0.0f, spareY = 0.0f;
unsigned int verdorID = 0, productID = 0;

int kvx_normal_dot_x = 0, kvx_normal_dot_y = 0, kvx_adv_dot_x = 0, kvx_adv_dot_y = 0;
int kvx_sidespace = 0;

namespace {

constexpr size_t kTokenSize = 2000;  // label buffer, terminator included

enum class Format { Decimal, Hex, Float };

const char *format_name(Format f) {
    switch (f) {
        case Format::Decimal:
            return "a decimal integer";
        case Format::Hex:
            return "a hexadecimal integer";
        case Format::Float:
            return "a number";
    }
    return "";
}

// Reads one white-space separated token. Returns false at end of file; a
// token longer than the buffer is an error (too_long set).
bool read_token(FILE *f, char (&buf)[kTokenSize], bool &too_long) {
    too_long = false;
    int c;
    do {
        c = std::fgetc(f);
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f');
    if (c == EOF)
        return false;
    size_t n = 0;
    while (c != EOF &&
           !(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')) {
        if (n + 1 >= kTokenSize) {
            too_long = true;
        } else {
            buf[n++] = static_cast<char>(c);
        }
        c = std::fgetc(f);
    }
    buf[n] = '\0';
    return true;
}

// Parses a whole token in its format. Integers must fit an int (hexadecimal
// ones an unsigned int); floats must be finite.
bool parse_value(const char *tok, Format fmt, long long &iv, float &fv) {
    char *end = nullptr;
    errno = 0;
    switch (fmt) {
        case Format::Decimal: {
            long long v = std::strtoll(tok, &end, 10);
            if (errno != 0 || end == tok || *end != '\0' || v < INT_MIN || v > INT_MAX)
                return false;
            iv = v;
            return true;
        }
        case Format::Hex: {
            if (tok[0] == '-' || tok[0] == '+')
                return false;
            unsigned long long v = std::strtoull(tok, &end, 16);
            if (errno != 0 || end == tok || *end != '\0' || v > UINT_MAX)
                return false;
            iv = static_cast<long long>(v);
            return true;
        }
        case Format::Float: {
            float v = std::strtof(tok, &end);
            if (errno != 0 || end == tok || *end != '\0' || !std::isfinite(v))
                return false;
            fv = v;
            return true;
        }
    }
    return false;
}

struct Entry {
    const char *name;
    Format fmt;
};

// Reads `count` entries into the values arrays; reports the first entry that
// is missing or does not parse.
bool read_entries(FILE *f, const char *file, const Entry *entries, int count, long long *ivals,
                  float *fvals) {
    char tok[kTokenSize];
    for (int i = 0; i < count; ++i) {
        bool too_long = false;
        if (!read_token(f, tok, too_long) || too_long) {
            fmouse_errf("%s: entry %d (%s): label missing or too long\n", file, i + 1,
                        entries[i].name);
            return false;
        }
        if (!read_token(f, tok, too_long)) {
            fmouse_errf("%s: entry %d (%s): value missing\n", file, i + 1, entries[i].name);
            return false;
        }
        if (too_long || !parse_value(tok, entries[i].fmt, ivals[i], fvals[i])) {
            fmouse_errf("%s: entry %d (%s): \"%.40s\" is not %s\n", file, i + 1, entries[i].name,
                        tok, format_name(entries[i].fmt));
            return false;
        }
    }
    return true;
}

constexpr Entry kHwEntries[] = {
    {"rowStart", Format::Decimal},
    {"camH", Format::Decimal},
    {"rowMode", Format::Hex},
    {"BuffThr", Format::Decimal},
    {"bRate", Format::Decimal},
    {"bwuse", Format::Decimal},
    {"maxW", Format::Decimal},
    {"presetCam", Format::Decimal},
    {"oem", Format::Decimal},
    {"Side", Format::Decimal},
    {"SmpAlg", Format::Decimal},
    {"dL", Format::Decimal},
    {"dR", Format::Decimal},
    {"dT", Format::Decimal},
    {"dB", Format::Decimal},
    {"maxOn", Format::Decimal},
    {"BeepOn", Format::Float},
    {"DotOn", Format::Decimal},
    {"spareX", Format::Float},
    {"spareY", Format::Float},
    {"moveThr", Format::Decimal},
    {"replaySpeed", Format::Decimal},
    {"VInfo", Format::Decimal},
    {"Bar", Format::Decimal},
    {"RSimu", Format::Decimal},
    {"doubleK", Format::Decimal},
    {"g_UseViewSize", Format::Decimal},
    {"g_xView", Format::Decimal},
    {"g_yView", Format::Decimal},
    {"verdorID", Format::Hex},
    {"productID", Format::Hex},
};
constexpr int kHwCount = sizeof kHwEntries / sizeof kHwEntries[0];
static_assert(kHwCount == 31);

constexpr Entry kRefNEntries[] = {
    {"normal columns", Format::Decimal},   {"normal rows", Format::Decimal},
    {"advanced columns", Format::Decimal}, {"advanced rows", Format::Decimal},
    {"side space", Format::Decimal},
};
constexpr int kRefNCount = 5;

const char *base_name(const char *path) {
    const char *slash = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/')
            slash = p + 1;
    return slash;
}

bool grid_ok(int cols, int rows) {
    return cols >= kGridMin && cols <= kGridMax && rows >= kGridMin && rows <= kGridMax &&
           rows <= cols;
}

}  // namespace

int check_hw_configfile_at(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        fmouse_err("Can not open Hw.txt\n");
        return -1;
    }
    long long iv[kHwCount] = {};
    float fv[kHwCount] = {};
    bool ok = read_entries(f, base_name(path), kHwEntries, kHwCount, iv, fv);
    std::fclose(f);
    if (!ok)
        return -1;

    // The scaled values must still fit their int.
    if (iv[4] > INT_MAX / 100 || iv[4] < INT_MIN / 100 || iv[15] > INT_MAX / 50 ||
        iv[15] < INT_MIN / 50) {
        fmouse_errf("%s: rate or maximum on time out of range\n", base_name(path));
        return -1;
    }
    auto I = [&](int i) { return static_cast<int>(iv[i]); };
    rowStart = I(0);
    camH = I(1);
    rowMode = static_cast<int>(static_cast<unsigned int>(iv[2]));
    BuffThr = I(3);
    bRate = I(4) * 100;
    bwuse = I(5);
    maxW = I(6);
    presetCam = I(7);
    oem = I(8);
    Side = I(9);
    SmpAlg = I(10);
    dL = I(11);
    dR = I(12);
    dT = I(13);
    dB = I(14);
    maxOn = I(15) * 50;
    BeepOn = fv[16];
    DotOn = I(17);
    spareX = fv[18];
    spareY = fv[19];
    cmd->moveThr = I(20);
    cmd->replaySpeed = I(21);
    cmd->VInfo = I(22);
    Bar = I(23);
    cmd->RSimu = I(24);
    cmd->doubleK = I(25);
    g_UseViewSize = I(26);
    g_xView = I(27);
    g_yView = I(28);
    verdorID = static_cast<unsigned int>(iv[29]);
    productID = static_cast<unsigned int>(iv[30]);

    fmouse_msgf(
        "\nHW info: R_Start=%d,H=%d,R_Mode=%.2x BuffThr=%d,Side=%d,dL=%d dR=%d dT=%d dB=%d "
        "BeepOn=%f, DotOn=%d moveThr=%d\n",
        rowStart, camH, rowMode, BuffThr, Side, dL, dR, dT, dB, BeepOn, DotOn, cmd->moveThr);
    fmouse_msgf("R=%d bwuse=%d maxW=%d PreSet=%d V=%d Side=%d CalAlg=%d maxOn=%d\n", bRate, bwuse,
                maxW, presetCam, oem, Side, SmpAlg, maxOn);
    fmouse_msgf("spX=%f,spY=%f, VInfo=%d, Bar=%d\n", spareX, spareY, cmd->VInfo, Bar);
    fmouse_msgf("verdorID : 0x%.4x productID : 0x%.4x\n", verdorID, productID);
    return 0;
}

int check_refn_configfile_at(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    long long iv[kRefNCount] = {};
    float fv[kRefNCount] = {};
    bool ok = read_entries(f, base_name(path), kRefNEntries, kRefNCount, iv, fv);
    std::fclose(f);
    if (!ok)
        return -1;

    // Refuse what the calibration model cannot use, instead of dividing by
    // zero or overrunning its grid later.
    int nx = static_cast<int>(iv[0]), ny = static_cast<int>(iv[1]);
    int ax = static_cast<int>(iv[2]), ay = static_cast<int>(iv[3]);
    int side = static_cast<int>(iv[4]);
    if (!grid_ok(nx, ny) || !grid_ok(ax, ay)) {
        fmouse_errf(
            "%s: grids %d x %d and %d x %d: each needs 3 to 7 columns and 3 to 7 rows, no more "
            "rows "
            "than columns\n",
            base_name(path), nx, ny, ax, ay);
        return -1;
    }
    if (side < kSideSpaceMin || side > kSideSpaceMax) {
        fmouse_errf("%s: side space %d is not within 1 to 255\n", base_name(path), side);
        return -1;
    }
    kvx_normal_dot_x = nx;
    kvx_normal_dot_y = ny;
    kvx_adv_dot_x = ax;
    kvx_adv_dot_y = ay;
    kvx_sidespace = side;

    fmouse_msgf("kvx normal: %d %d\n", kvx_normal_dot_x, kvx_normal_dot_y);
    fmouse_msgf("kvx advance: %d %d\n", kvx_adv_dot_x, kvx_adv_dot_y);
    fmouse_msgf("kvx sidespace: %d\n", kvx_sidespace);
    return 0;
}

int read_hex_values(const char *path, unsigned int *out, int n) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    char tok[kTokenSize];
    int result = 0;
    for (int i = 0; i < n && result == 0; ++i) {
        bool too_long = false;
        long long v = 0;
        float unused = 0;
        if (!read_token(f, tok, too_long) || too_long || !parse_value(tok, Format::Hex, v, unused))
            result = -2;
        else
            out[i] = static_cast<unsigned int>(v);
    }
    std::fclose(f);
    return result;
}

int check_hw_configfile(void) {
    return check_hw_configfile_at(ink::path::kHwFile);
}
int check_refn_configfile(void) {
    return check_refn_configfile_at(ink::path::kRefNFile);
}
