#include "NyxCalLib.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "NyxCalFit.h"
#include "NyxCalModel.h"

using nyx::console;
using nyx::trunc_to_int;

// Console lines go to standard output at once, whatever the debug setting.
void nyx::console(const char *line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// ---- Shared state -------------------------------------------------------------

SPOT_TYPE SPOT;
int RefNx;
int RefNy;
int sideSpace;

int HWFT_HwType = 1;
int HWFT_QuickOpen = 0;
int HWFT_FBD = 0;
int HWFT_LD = 0;
int HWFT_SBD_R = 4;
int HWFT_maxU = 1013;
int TableM = 250;
int TableN = 250;
int STEP_U = 4;
int STEP_V = 3;

double Xs[NYX_REF_MAX];
double Ys[NYX_REF_MAX];
double UUl[NYX_REF_MAX * NYX_REF_MAX];
double VVl[NYX_REF_MAX * NYX_REF_MAX];
double gXU[NYX_REF_MAX * NYX_GRID_X];
double gXV[NYX_REF_MAX * NYX_GRID_X];
double gYU[NYX_REF_MAX * NYX_GRID_Y];
double gYV[NYX_REF_MAX * NYX_GRID_Y];
double gXYU[NYX_GRID_X * NYX_GRID_Y];
double gXYV[NYX_GRID_X * NYX_GRID_Y];
double Us[NYX_TABLE_PITCH];
double Vs[NYX_TABLE_PITCH];
double UVX[NYX_TABLE_ROWS * NYX_TABLE_PITCH];
double UVY[NYX_TABLE_ROWS * NYX_TABLE_PITCH];
double minD;
int scrX, scrY;
double scrRx, scrRy;
double scrL, scrR, scrT, scrB;

namespace {

// The core's own copies of the last reference values (row-major).
double Ul[NYX_REF_VALUES];
double Vl[NYX_REF_VALUES];

// Text buffer of the console lines.
char s[2000];

constexpr const char *kTableFile = "TAB_Def.dat";

constexpr int kGX = NYX_GRID_X;
constexpr int kGY = NYX_GRID_Y;
constexpr int kPitch = NYX_TABLE_PITCH;

int clamp_int(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

// ---- Hardware features and table geometry ------------------------------------------

int HW_Features(int hwType) {
    if (hwType != 65) {
        console("Unknown hardware type! - Zentrik IWB feature check\n");
        return 0;
    }
    HWFT_HwType = 1;
    HWFT_QuickOpen = 1;
    HWFT_FBD = 0;
    HWFT_LD = 0;
    HWFT_SBD_R = 4;
    HWFT_maxU = 1013;
    TableM = 338;
    TableN = 600;
    STEP_U = 3;
    STEP_V = 1;
    return 1;
}

namespace {

// Reads one decimal integer the way "%d" does (leading white space, optional
// sign, digits). Values beyond the int range saturate. false when no number.
bool read_int(std::FILE *f, int *out) {
    int ch = std::fgetc(f);
    while (ch != EOF && std::isspace(ch))
        ch = std::fgetc(f);
    bool neg = false;
    if (ch == '+' || ch == '-') {
        neg = ch == '-';
        ch = std::fgetc(f);
    }
    if (ch == EOF || !std::isdigit(ch))
        return false;
    long long v = 0;
    while (ch != EOF && std::isdigit(ch)) {
        if (v < 10000000000LL)
            v = v * 10 + (ch - '0');
        ch = std::fgetc(f);
    }
    if (ch != EOF)
        std::ungetc(ch, f);
    if (neg)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

void ReadTable(void) {
    std::FILE *f = std::fopen(kTableFile, "r");
    if (f == nullptr)
        return;
    int v[4] = {TableM, TableN, STEP_U, STEP_V};
    int got = 0;
    while (got < 4 && read_int(f, &v[got]))
        ++got;
    std::fclose(f);
    if (got == 0)
        return;
    // The decoder reads the row and the column after the cell of any accepted
    // spot (u below 1023, v below 800); all of them must lie in the table.
    const bool fits = v[0] >= 1 && v[0] <= NYX_TABLE_ROWS && v[1] >= 1 && v[1] <= kPitch &&
                      v[2] >= 2 && v[3] >= 1;
    if (!fits) {
        std::snprintf(s, sizeof s,
                      "%s ignored: TableM=%d TableN=%d STEP_U=%d STEP_V=%d would read outside "
                      "the table\n",
                      kTableFile, v[0], v[1], v[2], v[3]);
        console(s);
        return;
    }
    TableM = v[0];
    TableN = v[1];
    STEP_U = v[2];
    STEP_V = v[3];
}

// ---- Spot decoding ---------------------------------------------------------------

namespace {

struct RawSpot {
    double u, v;
    int N;
};

RawSpot decode_spot(const unsigned char *b) {
    const unsigned uw = b[0] * 256u + b[1];
    const unsigned vw = b[2] * 256u + b[3];
    return RawSpot{(uw ^ SPOT_MASK_U) / 32.0, (vw ^ SPOT_MASK_V) / 16.0, b[8]};
}

// Cell index of a table coordinate, held inside the filled part of the table
// (the last cell whose next row/column is filled).
int table_cell(double q, int filled) {
    const int last = filled >= 2 ? filled - 2 : 0;
    if (!(q >= 0.0))
        return 0;
    if (q > last)
        return last;
    return static_cast<int>(q);
}

}  // namespace

int DecData_Raw(const unsigned char *buf) {
    if (buf == nullptr)
        return 0;
    const RawSpot r = decode_spot(buf);
    SPOT.N = r.N;
    if (!(r.u > 10 && r.u < 1023 && r.v > 10 && r.v < 800))
        return 0;
    SPOT.x = r.u;
    SPOT.y = r.v;
    return 1;
}

void TransB(void) {
    const int su = STEP_U >= 1 ? STEP_U : 1;
    const int sv = STEP_V >= 1 ? STEP_V : 1;
    const int m = clamp_int(TableM, 1, NYX_TABLE_ROWS);
    const int n = clamp_int(TableN, 1, kPitch);
    const double u = SPOT.x, v = SPOT.y;
    const int i = table_cell(u / su, m);
    const int j = table_cell(v / sv, n);
    const int i1 = i + 1 < m ? i + 1 : i;
    const int j1 = j + 1 < n ? j + 1 : j;
    const double du = u - static_cast<double>(su) * i;
    const double dv = v - static_cast<double>(sv) * j;
    const int a = i * kPitch + j, b = i1 * kPitch + j, c = i * kPitch + j1;
    const double x = UVX[a] + (UVX[b] - UVX[a]) * du / su + (UVX[c] - UVX[a]) * dv / sv;
    const double y = UVY[a] + (UVY[b] - UVY[a]) * du / su + (UVY[c] - UVY[a]) * dv / sv;
    SPOT.x = x * scrRx;
    SPOT.y = y * scrRy;
}

int DecData_Run(const unsigned char *buf) {
    if (buf == nullptr) {
        SPOT.N = 0;
        return 0;
    }
    const RawSpot r = decode_spot(buf);
    if (r.N == 0 || !(r.u > 1 && r.u < 1023 && r.v < 800)) {
        SPOT.N = 0;
        return 0;
    }
    SPOT.x = r.u;
    SPOT.y = r.v;
    TransB();
    if (scrL < SPOT.x && SPOT.x < scrR && scrT < SPOT.y && SPOT.y < scrB) {
        SPOT.N = r.N;
        return 1;
    }
    SPOT.N = 0;
    return 0;
}

// ---- Calibration record -------------------------------------------------------------

namespace {

// Appends the values "%5.2f " and a newline to the console buffer.
void console_values(const double *val, int n) {
    size_t len = 0;
    for (int k = 0; k < n && len < sizeof s; ++k) {
        const int w = std::snprintf(s + len, sizeof s - len, "%5.2f ", val[k]);
        if (w < 0)
            break;
        len += static_cast<size_t>(w);
    }
    if (len >= sizeof s - 1)
        len = sizeof s - 2;
    s[len] = '\n';
    s[len + 1] = '\0';
    console(s);
}

}  // namespace

int DecCAL(const unsigned char *B, double *ulOut, double *vlOut) {
    if (B == nullptr)
        return 0;
    RefNy = B[0];
    sideSpace = B[1];
    const double dispT = B[2] / 10.0;
    RefNx = static_cast<int>(RefNy * dispT + 0.5);
    std::snprintf(s, sizeof s, "RefNxB=%d, RefNyB=%d, sideSpace=%d, dispT=%f\n", RefNx, RefNy,
                  sideSpace, dispT);
    console(s);
    // A margin divisor of 0 would make the model divide by zero.
    const bool valid = RefNx >= 3 && RefNx <= 7 && RefNy >= 3 && RefNy <= 7 && sideSpace >= 1;
    if (!valid || ulOut == nullptr || vlOut == nullptr) {
        RefNx = 4;
        RefNy = 3;
        sideSpace = 5;
        console("refN error!\n");
        return 0;
    }
    const int n = RefNx * RefNy;
    for (int k = 0; k < n; ++k)
        ulOut[k] = (B[3 + 2 * k] + 256 * B[4 + 2 * k]) / 65.0;
    for (int k = 0; k < n; ++k)
        vlOut[k] = (B[3 + 2 * n + 2 * k] + 256 * B[4 + 2 * n + 2 * k]) / 65.0;
    console_values(ulOut, n);
    console_values(vlOut, n);
    return 1;
}

namespace {

// A reference value in units of 1/65 pixel, held inside its 16-bit field.
unsigned encode_ref(double value) {
    const double q = std::trunc(value * 65);
    if (!(q > 0))
        return 0;
    if (q > 65535)
        return 65535;
    return static_cast<unsigned>(q);
}

}  // namespace

void CalcEU(int refNx, int refNy, unsigned char space, const double *ulIn, const double *vlIn,
            unsigned char *EU) {
    if (EU == nullptr)
        return;
    std::memset(EU, 0x6F, NYX_EU_SIZE);
    EU[0] = static_cast<unsigned char>(refNy & 0xFF);
    EU[1] = space;
    EU[2] = static_cast<unsigned char>(refNy != 0 ? ((refNx * 10) / refNy) & 0xFF : 0);
    // Values only for a grid that fits the 49 reference values of the record.
    if (refNx < 1 || refNy < 1 || refNx * refNy > NYX_REF_VALUES)
        return;
    if (ulIn == nullptr || vlIn == nullptr)
        return;
    const int n = refNx * refNy;
    for (int k = 0; k < n; ++k) {
        const unsigned q = encode_ref(ulIn[k]);
        EU[3 + 2 * k] = static_cast<unsigned char>(q % 256);
        EU[4 + 2 * k] = static_cast<unsigned char>((q / 256) % 256);
    }
    for (int k = 0; k < n; ++k) {
        const unsigned q = encode_ref(vlIn[k]);
        EU[3 + 2 * n + 2 * k] = static_cast<unsigned char>(q % 256);
        EU[4 + 2 * n + 2 * k] = static_cast<unsigned char>((q / 256) % 256);
    }
}

// ---- Curve fitting and mapping ------------------------------------------------------

double BWFIT3P(const double *X, const double *Y, int k, double t) {
    if (k < 0)
        return 0.0;  // no node before the first
    return nyx::fit3_apply(Y, k, nyx::fit3_weights(X, k, t));
}

double BW1DFIT(const double *X, const double *Y, int n, double t) {
    return nyx::fit_apply(nyx::fit_plan(X, n, t), Y);
}

double BW2DFIT(const double *X, const double *Y, const double *Z, int nx, int ny, double a,
               double b) {
    const int cx = clamp_int(nx, 0, 10);
    const int cy = clamp_int(ny, 0, 10);
    double r[10];
    double col[10];
    for (int i = 0; i < cx; ++i) {
        for (int j = 0; j < cy; ++j)
            col[j] = Z[j * nx + i];
        r[i] = BW1DFIT(Y, col, cy, b);
    }
    return BW1DFIT(X, r, cx, a);
}

namespace {

// The forward mapping on one pair of curve tables: gY along the columns, gX
// along the rows.
double xy2_curves(double x, double y, const double *gY, const double *gX) {
    const int Y = nyx::grid_index(y, kGY);
    const int X = nyx::grid_index(x, kGX);
    const int nx = clamp_int(RefNx, 0, NYX_REF_MAX);
    const int ny = clamp_int(RefNy, 0, NYX_REF_MAX);
    double a[NYX_REF_MAX];
    double b[NYX_REF_MAX];
    for (int c = 0; c < nx; ++c)
        a[c] = gY[c * kGY + Y];
    const double r1 = BW1DFIT(Xs, a, nx, x);
    for (int r = 0; r < ny; ++r)
        b[r] = gX[r * kGX + X];
    const double r2 = BW1DFIT(Ys, b, ny, y);
    return (r1 + r2) / 2;
}

double xy2_direct(double x, double y, const double *values) {
    // The private values hold at most a 7 x 7 grid.
    const int nx = clamp_int(RefNx, 0, 7);
    const int ny = clamp_int(RefNy, 0, 7);
    return BW2DFIT(Xs, Ys, values, nx, ny, x, y);
}

}  // namespace

double xy2u(double x, double y) {
    return xy2_curves(x, y, gYU, gXU);
}
double xy2v(double x, double y) {
    return xy2_curves(x, y, gYV, gXV);
}
double xy2u1(double x, double y) {
    return xy2_direct(x, y, Ul);
}
double xy2v1(double x, double y) {
    return xy2_direct(x, y, Vl);
}

void uv2xy(const double *uv, double *xy) {
    int X = 0, Y = 0;
    nyx::search_plain(uv[0], uv[1], &X, &Y, &minD);
    xy[0] = X - 30;
    xy[1] = Y - 30;
}

// ---- Calibration model --------------------------------------------------------------

void Calib_Init(int refNx, int refNy, int space, int w, int h, int hwType, int *refX, int *refY) {
    RefNx = refNx;
    RefNy = refNy;
    sideSpace = space;
    scrX = w;
    scrY = h;
    HW_Features(hwType);
    ReadTable();
    Calib_CalcRefXY(refX, refY);
}

namespace {

// At most 7 columns and no more rows than columns. The layout divides by the
// grid sizes less one and by the margin divisor, so they are held at 2 and 1.
void limit_grid() {
    if (RefNx > 7)
        RefNx = 7;
    if (RefNy > 7)
        RefNy = 7;
    if (RefNy > RefNx)
        RefNy = RefNx;
    if (RefNx < 2)
        RefNx = 2;
    if (RefNy < 2)
        RefNy = 2;
    if (sideSpace < 1)
        sideSpace = 1;
}

}  // namespace

void Calib_CalcRefXY(int *refX, int *refY) {
    limit_grid();
    // The screen scale divides the outline of the background block.
    scrX = clamp_int(scrX, 1, 65535);
    scrY = clamp_int(scrY, 1, 65535);

    scrRx = scrX / 1024.0;
    scrRy = scrY / 768.0;
    const int mX = (scrX / RefNx) / sideSpace;
    const int mY = (scrY / RefNy) / sideSpace;
    for (int c = 0; c < RefNx; ++c) {
        const double px = static_cast<double>(c) * (scrX - 2 * mX) / (RefNx - 1) + mX;
        if (refX != nullptr)
            refX[c] = static_cast<int>(px);
    }
    for (int r = 0; r < RefNy; ++r) {
        const double py = static_cast<double>(r) * (scrY - 2 * mY) / (RefNy - 1) + mY;
        if (refY != nullptr)
            refY[r] = static_cast<int>(py);
    }
    std::snprintf(s, sizeof s, "scrX=%d scrY=%d, sideSpace=%d\n", scrX, scrY, sideSpace);
    console(s);

    const double MX = 1024.0 / RefNx / sideSpace;
    for (int c = 0; c < RefNx; ++c)
        Xs[c] = c * (1024 - 2 * MX) / (RefNx - 1) + MX;
    const double MY = 768.0 / RefNy / sideSpace;
    for (int r = 0; r < RefNy; ++r)
        Ys[r] = r * (768 - 2 * MY) / (RefNy - 1) + MY;

    scrL = -(scrX / 200);
    scrR = scrX + scrX / 200;
    scrT = -(scrY / 180);
    scrB = scrY + scrY / 180;
}

void Calib_InitUV(const double *ulIn, const double *vlIn) {
    if (ulIn == nullptr || vlIn == nullptr)
        return;
    std::memcpy(Ul, ulIn, sizeof Ul);
    std::memcpy(Vl, vlIn, sizeof Vl);
    limit_grid();
    nyx::fill_axes();
    const int nx = RefNx;
    const int ny = RefNy;
    for (int r = 0; r < ny; ++r) {
        for (int c = 0; c < nx; ++c) {
            UUl[c * NYX_REF_MAX + r] = Ul[r * nx + c];
            VVl[c * NYX_REF_MAX + r] = Vl[r * nx + c];
        }
    }
    nyx::build_model();
}

// ---- Background block ---------------------------------------------------------------

int CalcBDData(int *L, int *H, unsigned char *Data) {
    if (L == nullptr || H == nullptr || Data == nullptr)
        return 0;
    const int div = HWFT_SBD_R >= 1 ? HWFT_SBD_R : 1;
    for (int k = 0; k < NYX_BD0_ROWS; ++k) {
        L[k] = L[k] > 0 ? L[k] / div : 0;
        H[k] = H[k] > 0 ? H[k] / div : 0;
    }
    unsigned sL = 0, sH = 0;
    for (int k = 0; k <= 310; ++k) {
        sL += static_cast<unsigned>(L[k]);
        sH += static_cast<unsigned>(H[k]);
    }
    sL %= 256;
    sH %= 256;
    L[311] = static_cast<int>((sL + 10) % 256);
    H[311] = static_cast<int>((sH + 11) % 256);
    L[312] = static_cast<int>((sL + 105 + L[311]) % 256);
    H[312] = static_cast<int>((sH + 19 + H[311]) % 256);
    uint32_t total = 0;
    for (int k = 0; k <= 318; ++k) {
        if (L[k] > 255)
            L[k] = 255;
        if (H[k] > 255)
            H[k] = 255;
        const uint32_t m = static_cast<uint32_t>(k + BD0_MASK_OFFSET);
        const uint32_t w =
            static_cast<uint32_t>(L[k]) * 256u + m * m * m + static_cast<uint32_t>(H[k]);
        Data[2 * k] = static_cast<unsigned char>((w >> 8) & 0xFF);
        Data[2 * k + 1] = static_cast<unsigned char>(w & 0xFF);
        total += w;
    }
    Data[638] = static_cast<unsigned char>((total >> 8) & 0xFF);
    Data[639] = static_cast<unsigned char>(total & 0xFF);
    for (int k = 640; k < NYX_BD0_SIZE; ++k)
        Data[k] = 0x6F;
    return NYX_BD0_SIZE;
}

namespace {

void outline_point(int x, int y, int *L, int *H) {
    double u = xy2u(x, y);
    double w = xy2v(x, y) / 2;
    if (u < 0)
        u = 0;
    if (w < 0)
        w = 0;
    if (!(w < NYX_BD0_ROWS) || u != u)
        return;  // beyond the last row, or no value
    const int k = static_cast<int>(w);
    if (L[k] > u)
        L[k] = trunc_to_int(u);
    if (u > H[k])
        H[k] = trunc_to_int(u);
}

// A pixel coordinate in nominal units; an unset screen scale gives 0.
int to_nominal(int px, double scale) {
    return scale > 0 ? trunc_to_int(px / scale) : 0;
}

}  // namespace

int CalcBD0(unsigned char *Data) {
    if (Data == nullptr)
        return 0;
    int L[NYX_BD0_ROWS];
    int H[NYX_BD0_ROWS];
    for (int k = 0; k < NYX_BD0_ROWS; ++k) {
        L[k] = HWFT_maxU;
        H[k] = 0;
    }
    const int x0 = to_nominal(-(scrX / 100), scrRx);
    const int x1 = to_nominal(scrX + scrX / 100, scrRx);
    const int y0 = to_nominal(-(scrY / 100), scrRy);
    const int y1 = to_nominal(scrY + scrY / 100, scrRy);
    for (int y = y0; y < y1; ++y)
        outline_point(x0, y, L, H);
    for (int y = y0; y < y1; ++y)
        outline_point(x1, y, L, H);
    for (int x = x0; x < x1; ++x)
        outline_point(x, y0, L, H);
    for (int x = x0; x < x1; ++x)
        outline_point(x, y1, L, H);
    for (int k = 0; k < NYX_BD0_ROWS; ++k) {
        if (H[k] > HWFT_maxU)
            H[k] = HWFT_maxU;
    }
    return CalcBDData(L, H, Data);
}

int OpenBD0(unsigned char *Data) {
    if (Data == nullptr)
        return 0;
    int L[NYX_BD0_ROWS];
    int H[NYX_BD0_ROWS];
    for (int k = 0; k < NYX_BD0_ROWS; ++k) {
        L[k] = 0;
        H[k] = HWFT_maxU;
    }
    return CalcBDData(L, H, Data);
}

int CloseBD0(unsigned char *Data) {
    if (Data == nullptr)
        return 0;
    int L[NYX_BD0_ROWS];
    int H[NYX_BD0_ROWS];
    for (int k = 0; k < NYX_BD0_ROWS; ++k) {
        L[k] = 0;
        H[k] = 0;
    }
    return CalcBDData(L, H, Data);
}
