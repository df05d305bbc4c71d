// The daemon's parameter record and its process-wide state.
#pragma once

#include <sys/types.h>

// Main states; the command channel reuses 0x11 to 0x55 as its command bytes.
enum MainState : unsigned char {
    MAIN_STATE_DETECT = 0x00,
    MAIN_STATE_CONNECTING = 0x11,
    MAIN_STATE_RUN = 0x22,
    MAIN_STATE_CALIBRATE = 0x33,
    MAIN_STATE_DISCONNECT = 0x44,
    MAIN_STATE_CHANGE_RESOLUTION = 0x55,
};

// Parameter record. Only some fields are used; the others are kept so the
// record's layout stays what other code expects, and stay zero.
typedef struct _cmdData {
    int portN, refN, FLAG, thrN, rubberW, penW, NyxVer;
    unsigned char ccd1, ccd2, ccd3, ccd4, ccd5, HW_ENC;
    int pan_left, pan_right, pan_top, pan_bottom, MouseDraw, shapeType, PenRubber, funKey, inboard,
        ACL, shadeCnt, shadeTopCnt, barExt, lastEndX, lastEndY;
    double rX, rY;
    int preMode, Nbtn, lastBtn, gpenW, inDenoteRedraw, spotlightCnt, spotlightTopCnt, Flour,
        RButton, penStyle, LRCnt;
    char osVer[50];
    int moveThr, replaySpeed, VInfo, RefNxA, RefNyA, RefNxB, RefNyB, CalibAStart, CalibBStart,
        sideSpace, RSimu, doubleK, HW_Type, HW_Ver, HID_Info1;
} CMDDATAX, *CMDDATA;

extern CMDDATAX cmdp;  // the one instance, zeroed
extern CMDDATA cmd;    // points at cmdp

extern unsigned char vxd_debug_flag;
extern volatile unsigned char main_state;
extern pid_t inktray_pid;
extern pid_t inkrelay_pid;  // 0 = no relay
extern pid_t inkwake_pid;
extern long frameCnt;  // frames received since start; never reset

// Reference grid of the calibration: camera u and v of each reference point
// (index row * RefNx + column) and the screen pixels of the grid's columns and rows.
extern double Ul[49], Vl[49];
extern int refX[8], refY[8];

void fmouse_set_main_state(unsigned char state);
unsigned char fmouse_get_main_state(void);
