#include "fmouse_detect.h"

#include <unistd.h>

#include "detect_hw.h"
#include "fmouse_cmddata.h"
#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"

namespace {

constexpr long kDetectPollUs = 50000;  // between two looks for the device node

}  // namespace

int detect_hw(void) {
    fmouse_msg("Detect hw\n");
    if (check_hw_configfile() != 0) {
        fmouse_err("Check hw configfile error\n");
        return -1;
    }
    if (check_refn_configfile() != 0) {
        fmouse_err("Check refN configfile error\n");
        return -1;
    }
    if (fmouse_get_main_state() != MAIN_STATE_DETECT) {
        fmouse_err("Fmouse Main State Error\n");
        return -1;
    }
    while (access(ink::path::kDeviceNode, F_OK) != 0)
        ink::time::sleep_us(kDetectPollUs);
    fmouse_msg("Vxd device is conncected\n");
    return 0;
}
