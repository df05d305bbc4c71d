// Process-wide state of the daemon.
#include "fmouse_cmddata.h"

CMDDATAX cmdp;
CMDDATA cmd = &cmdp;
volatile unsigned char main_state = MAIN_STATE_DETECT;
pid_t inktray_pid = 0;
pid_t inkrelay_pid = 0;
pid_t inkwake_pid = 0;
long frameCnt = 0;
double Ul[49], Vl[49];
int refX[8], refY[8];

void fmouse_set_main_state(unsigned char state) {
    main_state = state;
}
unsigned char fmouse_get_main_state(void) {
    return main_state;
}
