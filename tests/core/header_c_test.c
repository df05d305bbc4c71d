/* The interface header used from C: declarations, types and linkage. */
#include "NyxCalLib.h"

int nyx_c_caller_open_block(unsigned char *data) {
    SPOT_TYPE spot = SPOT;
    (void)spot;
    RefNx = RefNx > 0 ? RefNx : 4;
    return OpenBD0(data);
}
