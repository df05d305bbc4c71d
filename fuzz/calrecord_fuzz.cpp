// A calibration record as the unit may hand it back, then the model built from
// it: 256 record bytes, then 4 bytes of screen size, then spot records to
// decode through the new model. The model must stay inside its tables and
// every decoded position must be a finite number inside the screen's bounds.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "NyxCalLib.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Reader in(data, size);
    uint8_t EU[NYX_EU_SIZE];
    in.take(EU, sizeof EU);
    double Ul[NYX_REF_VALUES] = {}, Vl[NYX_REF_VALUES] = {};
    if (DecCAL(EU, Ul, Vl) != 1)
        return 0;
    // Screen sizes from 320 x 200 upwards, within what a display reports.
    int w = 320 + ((in.byte() | in.byte() << 8) % 7000);
    int h = 200 + ((in.byte() | in.byte() << 8) % 4000);
    int refX[NYX_REF_MAX] = {}, refY[NYX_REF_MAX] = {};
    Calib_Init(RefNx, RefNy, sideSpace, w, h, 65, refX, refY);
    Calib_InitUV(Ul, Vl);
    uint8_t buf[NYX_SPOT_SIZE];
    while (in.left() >= NYX_SPOT_SIZE) {
        in.take(buf, sizeof buf);
        if (DecData_Run(buf) == 1) {
            if (!std::isfinite(SPOT.x) || !std::isfinite(SPOT.y) || SPOT.x <= scrL ||
                SPOT.x >= scrR || SPOT.y <= scrT || SPOT.y >= scrB)
                abort();
        }
    }
    uint8_t bd0[NYX_BD0_SIZE];
    CalcBD0(bd0);
    return 0;
}
