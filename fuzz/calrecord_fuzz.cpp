// A calibration record as the unit may hand it back, then the model built from
// it the way the connection bring-up builds it: DecCAL, Calib_Init (hardware
// type and TAB_Def.dat from the working directory), Calib_InitUV, spot
// decoding and CalcBD0.
//
// Input: 5 bytes of table geometry, the record's first 3 bytes (rows, margin
// divisor, aspect), its 4n bytes of reference values for the n points of a
// valid grid, 4 bytes of screen size, then spot records to decode through the
// new model. The rest of the record is 0x6F filler, as the encoder writes it;
// the decoder does not read it, so the input does not carry it.
//
// What the core finds at Calib_Init: one model in 16 (by a hash of the bytes
// up to the screen size) has no TAB_Def.dat and hardware type 65, the
// production table of 338 x 600 entries. The others write a TAB_Def.dat that
// ReadTable reads into a small table picked by the 5 geometry bytes (at most
// 24 rows and columns, or up to 800 of one with at most 24 of the other; steps
// mostly up to 65, sometimes up to the largest int), which builds several
// times faster. A choice by one byte would let the
// corpus fill with production tables, which add coverage at first and then
// slow every run down; the hash keeps them at one run in 16.
//
// The forward grids cost the same whatever the table, so a model is built
// only when what it is built from (grid, margin divisor, reference values,
// table geometry) differs from the model the core holds: Calib_InitUV gives
// the same tables, bit for bit, for the same input, and an input that changes
// only the screen size or the spots then costs no build. The screen size and
// the hardware type go through Calib_Init every time. The mutator keeps to
// the screen size and the spots in seven mutations out of eight, and
// tools/fuzz.sh chains 20 mutations from each parent, so most runs reuse the
// model their parent built.
//
// What must hold: the model build stays inside its tables and divides by
// nothing that is zero; the table holds the geometry the file or the hardware
// type named; every table entry is a grid point; every decoded spot is a
// finite position inside the screen's bounds; BD0 is a whole block.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "NyxCalLib.h"
#include "fuzz_util.h"

namespace {

struct Geometry {
    int m, n, stepU, stepV;
};

// A table dimension: mostly 1 to 24, and one value in eight from 777 to 800.
int table_size(uint8_t b) {
    return b < 224 ? 1 + b % 24 : 800 - (b - 224) % 24;
}

// A table step: mostly lo to lo + 63, and one value in eight far larger, up to
// the largest int (ReadTable sets no upper bound).
int table_step(uint8_t b, int lo) {
    static const int kLarge[8] = {100,     1000,        65535,       1 << 20,
                                  1 << 30, INT_MAX / 2, INT_MAX - 1, INT_MAX};
    return b < 224 ? lo + b % 64 : kLarge[(b - 224) % 8];
}

// The bytes that pick the table: a selector and four values.
struct TableBytes {
    uint8_t sel;
    uint8_t v[4];
};

// Chooses the TAB_Def.dat text (nullptr: no file), the hardware type and the
// geometry the core must end up with.
const char *choose_table(const TableBytes &t, bool production, int *hwType, Geometry *g) {
    static char text[96];
    *hwType = 65;
    *g = Geometry{338, 600, 3, 1};  // hardware type 65
    if (production)
        return nullptr;
    Geometry f{table_size(t.v[0]), table_size(t.v[1]), table_step(t.v[2], 2),
               table_step(t.v[3], 1)};
    if (f.m > 24 && f.n > 24)
        f.n = 1 + t.v[1] % 24;  // one long side at most
    // How many numbers the file holds: the rest keep the hardware type's.
    const int count = 4 - t.sel % 4;
    if (count == 1 && f.m > 4)
        f.m = 1 + f.m % 4;  // beside the type's 600 columns
    const char *sep = (t.sel & 0x04) != 0 ? "\n" : " ";
    const int vals[4] = {f.m, f.n, f.stepU, f.stepV};
    int len = 0;
    for (int k = 0; k < count; ++k)
        len += std::snprintf(text + len, sizeof text - len, "%s%d", k > 0 ? sep : "", vals[k]);
    std::snprintf(text + len, sizeof text - len, "%s", (t.sel & 0x08) != 0 ? "\n" : "");
    if (count >= 1)
        g->m = f.m;
    if (count >= 2)
        g->n = f.n;
    if (count >= 3)
        g->stepU = f.stepU;
    if (count >= 4)
        g->stepV = f.stepV;
    // An unknown hardware type changes nothing, so only a file that names the
    // whole geometry leaves it independent of earlier inputs.
    if (count == 4 && (t.sel & 0x80) != 0)
        *hwType = 66;
    return text;
}

// FNV-1a: spreads the choice of the production table over the inputs.
uint32_t hash_bytes(const uint8_t *p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

void decode_checked(const uint8_t *rec) {
    if (DecData_Run(rec) != 1)
        return;
    if (!std::isfinite(SPOT.x) || !std::isfinite(SPOT.y) || SPOT.x <= scrL || SPOT.x >= scrR ||
        SPOT.y <= scrT || SPOT.y >= scrB)
        abort();
}

// What the core's current model was built from.
struct ModelKey {
    double ul[NYX_REF_VALUES], vl[NYX_REF_VALUES];
    int nx, ny, space, m, n, stepU, stepV;
};

ModelKey built;
bool haveBuilt = false;
unsigned long builds = 0, productionBuilds = 0;

void report_builds() {
    std::fprintf(stderr,
                 "calrecord_fuzz: %lu model builds, %lu of them with the production table\n",
                 builds, productionBuilds);
}

// Builds the model unless the core already holds the one these values give.
void build_model(const double *Ul, const double *Vl, bool production) {
    ModelKey key;
    std::memset(&key, 0, sizeof key);
    std::memcpy(key.ul, Ul, sizeof key.ul);
    std::memcpy(key.vl, Vl, sizeof key.vl);
    key.nx = RefNx;
    key.ny = RefNy;
    key.space = sideSpace;
    key.m = TableM;
    key.n = TableN;
    key.stepU = STEP_U;
    key.stepV = STEP_V;
    if (haveBuilt && std::memcmp(&key, &built, sizeof key) == 0)
        return;
    if (builds++ == 0)
        atexit(report_builds);
    if (production)
        ++productionBuilds;
    Calib_InitUV(Ul, Vl);
    built = key;
    haveBuilt = true;
}

// How many leading bytes of an input define its model (the table bytes, the
// record's header and its reference values); 0 when its header is no valid
// record. DecCAL sets the core's grid globals, which every run sets afresh.
size_t model_prefix(const uint8_t *data, size_t size) {
    const size_t header = sizeof(TableBytes) + 3;
    if (size < header)
        return 0;
    uint8_t EU[NYX_EU_SIZE];
    std::memset(EU, 0x6F, sizeof EU);
    std::memcpy(EU, data + sizeof(TableBytes), 3);
    double Ul[NYX_REF_VALUES], Vl[NYX_REF_VALUES];
    if (DecCAL(EU, Ul, Vl) != 1)
        return 0;
    return header + 4 * static_cast<size_t>(RefNx * RefNy);
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

// Seven mutations in eight change only the screen size and the spots, so the
// run reuses the model its parent built (a model build costs ten times what
// the rest of a run does); the eighth may change anything, the model too.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size,
                                          unsigned int seed) {
    const size_t prefix = model_prefix(data, size);
    if (seed % 8 == 0 || prefix == 0 || prefix >= size || prefix >= max_size)
        return LLVMFuzzerMutate(data, size, max_size);
    return prefix + LLVMFuzzerMutate(data + prefix, size - prefix, max_size - prefix);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Reader in(data, size);
    TableBytes tb;
    tb.sel = in.byte();
    in.take(tb.v, sizeof tb.v);
    // The header alone decides whether the record is valid and how many
    // reference values it holds.
    uint8_t EU[NYX_EU_SIZE];
    std::memset(EU, 0x6F, sizeof EU);
    in.take(EU, 3);
    double Ul[NYX_REF_VALUES] = {}, Vl[NYX_REF_VALUES] = {};
    if (DecCAL(EU, Ul, Vl) != 1)
        return 0;
    in.take(EU + 3, 4 * static_cast<size_t>(RefNx * RefNy));
    if (DecCAL(EU, Ul, Vl) != 1)
        abort();
    // One model in 16 gets the production table, chosen by the bytes that
    // define the model: a mutation of the screen size or of the spots keeps
    // the table, one of the model picks it afresh.
    const bool production = hash_bytes(data, size - in.left()) % 16 == 0;
    int hwType;
    Geometry want;
    const char *table = choose_table(tb, production, &hwType, &want);
    // Screen sizes from 320 x 200 upwards, within what a display reports.
    int w = 320 + ((in.byte() | in.byte() << 8) % 7000);
    int h = 200 + ((in.byte() | in.byte() << 8) % 4000);
    int refX[NYX_REF_MAX] = {}, refY[NYX_REF_MAX] = {};
    fuzz::set_table_file(table);
    fuzz::in_scratch_dir([&] { Calib_Init(RefNx, RefNy, sideSpace, w, h, hwType, refX, refY); });
    if (TableM != want.m || TableN != want.n || STEP_U != want.stepU || STEP_V != want.stepV)
        abort();
    build_model(Ul, Vl, table == nullptr);
    // The inverse search answers grid points: nominal -30 .. 1053 by -30 .. 797.
    if (!(minD >= 0) || !std::isfinite(minD))
        abort();
    for (int i = 0; i < TableM; ++i) {
        for (int j = 0; j < TableN; ++j) {
            const double x = UVX[i * NYX_TABLE_PITCH + j], y = UVY[i * NYX_TABLE_PITCH + j];
            if (!(x >= -30 && x <= 1053 && y >= -30 && y <= 797))
                abort();
        }
    }
    // The corners of what the decoder accepts (u from 33/32 to 32735/32, v
    // from 0 to 12799/16; the records carry them masked), then the input's
    // spots.
    static const uint8_t corners[][NYX_SPOT_SIZE] = {
        {0x5A ^ 0x00, 0x3C ^ 0x21, 0x36 ^ 0x00, 0xC9 ^ 0x00, 0, 0, 0, 0, 1, 0},
        {0x5A ^ 0x7F, 0x3C ^ 0xDF, 0x36 ^ 0x31, 0xC9 ^ 0xFF, 0, 0, 0, 0, 1, 0},
        {0x5A ^ 0x00, 0x3C ^ 0x21, 0x36 ^ 0x31, 0xC9 ^ 0xFF, 0, 0, 0, 0, 1, 0},
        {0x5A ^ 0x7F, 0x3C ^ 0xDF, 0x36 ^ 0x00, 0xC9 ^ 0x00, 0, 0, 0, 0, 1, 0},
    };
    for (const auto &c : corners)
        decode_checked(c);
    uint8_t buf[NYX_SPOT_SIZE];
    while (in.left() >= NYX_SPOT_SIZE) {
        in.take(buf, sizeof buf);
        decode_checked(buf);
    }
    uint8_t bd0[NYX_BD0_SIZE];
    if (CalcBD0(bd0) != NYX_BD0_SIZE)
        abort();
    return 0;
}
