// inkd: the driver daemon.
#include "fmouse_start.h"

int main(int argc, char **argv) {
    return fmouse_daemon_main(argc, argv);
}
