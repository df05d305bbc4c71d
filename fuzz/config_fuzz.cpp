// The installed text files and the table override on arbitrary contents: the
// first byte picks hw.txt, refN.txt, Cam.dat or TAB_Def.dat, the rest is the
// file. Every read must end cleanly, and what it accepts must be usable.
#include <cstdint>
#include <cstdlib>

#include "NyxCalLib.h"
#include "detect_hw.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static char path[sizeof fuzz::detail::g_scratch + 8];
    std::snprintf(path, sizeof path, "%s/file", fuzz::scratch_dir());
    fuzz::write_file(path, data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            check_hw_configfile_at(path);
            break;
        case 1:
            if (check_refn_configfile_at(path) == 0) {
                // An accepted grid must be one the calibration model can build.
                if (kvx_normal_dot_x < kGridMin || kvx_normal_dot_x > kGridMax ||
                    kvx_adv_dot_x < kGridMin || kvx_adv_dot_x > kGridMax ||
                    kvx_sidespace < kSideSpaceMin || kvx_sidespace > kSideSpaceMax)
                    abort();
            }
            break;
        case 2: {
            unsigned int v[9];
            read_hex_values(path, v, 9);
            break;
        }
        case 3: {
            // ReadTable reads TAB_Def.dat from the working directory.
            fuzz::write_table_file(data + 1, size - 1);
            fuzz::in_scratch_dir([] {
                HW_Features(65);
                ReadTable();
            });
            // Whatever geometry stands now, decoding any spot stays in the table.
            static const uint8_t spots[][NYX_SPOT_SIZE] = {
                {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                {0x3C, 0x5A, 0xC9, 0x36, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
            };
            for (const auto &s : spots)
                DecData_Run(s);
            break;
        }
    }
    return 0;
}
