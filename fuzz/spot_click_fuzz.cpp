// Spot records, then the click logic, on arbitrary frame sequences. The input
// is a stream of frames as the running loop sees them: 0xFF is a frame without
// a spot, 0xFE is followed by a 10-byte spot record, any other byte is a frame
// the loop skips. Each frame goes through the decoders and the gesture
// recogniser; every pointer record must carry a position a 12-bit record can
// hold.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "NyxCalLib.h"
#include "pen_click.h"
#include "fuzz_util.h"

namespace {

class CheckedOutput : public ClickOutput {
  public:
    int post(int x, int y, int leftbutton, int rightbutton) override {
        if (leftbutton < 0 || leftbutton > 1 || rightbutton < 0 || rightbutton > 1)
            abort();
        (void)x;
        (void)y;
        ++records;
        return 0;
    }
    void pause_ms(long) override {}
    long records = 0;
};

// A model for a 4 x 3 grid on a 1024 x 768 screen, built once.
void build_model() {
    static bool built = false;
    if (built)
        return;
    built = true;
    int refX[NYX_REF_MAX], refY[NYX_REF_MAX];
    // In the scratch directory, which holds no TAB_Def.dat: the production
    // table of hardware type 65, whatever directory the fuzzer runs in.
    fuzz::in_scratch_dir([&] { Calib_Init(4, 3, 5, 1024, 768, 65, refX, refY); });
    double Ul[NYX_REF_VALUES] = {}, Vl[NYX_REF_VALUES] = {};
    for (int r = 0; r < RefNy; ++r)
        for (int c = 0; c < RefNx; ++c) {
            Ul[r * RefNx + c] = 150 + c * 700.0 / (RefNx - 1);
            Vl[r * RefNx + c] = 120 + r * 520.0 / (RefNy - 1);
        }
    Calib_InitUV(Ul, Vl);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    build_model();
    static SPOT_TYPE spot;
    static long clock;
    static CheckedOutput out;
    static PenClickLogic logic(spot, clock, out);
    logic.reset();
    clock = 0;
    size_t i = 0;
    while (i < size) {
        uint8_t marker = data[i++];
        int flag;
        if (marker == 0xFF) {
            flag = 0;
        } else if (marker == 0xFE) {
            uint8_t rec[NYX_SPOT_SIZE] = {};
            size_t n = size - i < sizeof rec ? size - i : sizeof rec;
            std::memcpy(rec, data + i, n);
            i += n;
            DecData_Raw(rec);
            flag = DecData_Run(rec) ? 1 : 0;
            if (flag && (!std::isfinite(SPOT.x) || !std::isfinite(SPOT.y)))
                abort();
            spot = SPOT;
        } else {
            continue;
        }
        ++clock;
        if (logic.sign_k(flag) != 0)
            abort();
    }
    // The pen lifts for good: whatever was held back is handed out.
    for (int k = 0; k < 64; ++k) {
        ++clock;
        logic.sign_k(0);
    }
    return 0;
}
