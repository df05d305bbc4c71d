// The command channel between the daemon and the tray program.
//
// A UNIX stream socket that the daemon serves. Every exchange starts with one
// command byte from the daemon; the tray program answers it, and hands out the
// user's requests only when polled. Integers travel as kGuiIntSize bytes,
// least significant first. An answer ends in a status byte (kGuiStatusOk).
//
//   command               daemon sends next       tray program answers
//   GUI_CMD_CLEAR         -                       nothing
//   GUI_CMD_CALIB_MODE    -                       mode (GuiCalibMode), status
//   GUI_CMD_CALIB_DOT     x, y (integers)         status
//   GUI_CMD_WAIT_DIALOG   -                       status
//     ... every notice up to GUI_CMD_DOTS_DONE likewise
//   GUI_CMD_SCREEN_X, _Y  -                       width or height (integer), status
//   GUI_CMD_SET_PARAMS    kGuiParamInts integers  status
//   GUI_CMD_POLL          -                       event byte (GuiEvt)
//
// Any other byte gets no answer.
#pragma once

// Command bytes, daemon to tray program. The tray program's dispatcher uses
// the same values as its action codes.
enum GuiCmd : unsigned char {
    GUI_CMD_CLEAR = 0x00,
    GUI_CMD_CALIB_MODE = 0x11,
    GUI_CMD_CALIB_DOT = 0x22,
    GUI_CMD_WAIT_DIALOG = 0x33,
    GUI_CMD_WAIT_CLOSE = 0x44,
    GUI_CMD_SHOW_CONNECTED = 0x55,
    GUI_CMD_DISCONNECTED = 0x66,
    GUI_CMD_CONNECTING = 0x77,
    GUI_CMD_CONNECTED = 0x88,
    GUI_CMD_CALIB_END = 0x99,
    GUI_CMD_DOTS_DONE = 0xAA,
    GUI_CMD_SCREEN_X = 0xF0,
    GUI_CMD_SCREEN_Y = 0xF1,
    GUI_CMD_SET_PARAMS = 0xF2,
    GUI_CMD_POLL = 0xF3,
};

// Events, the answer to GUI_CMD_POLL: the user's latest request.
enum GuiEvt : unsigned char {
    GUI_EVT_NONE = 0x00,
    GUI_EVT_CALIB_START = 0x10,
    GUI_EVT_CALIB_CANCEL = 0x20,
    GUI_EVT_RESOLUTION = 0x30,
};

// The calibration mode, the answer to GUI_CMD_CALIB_MODE (any value but
// normal reads as advanced).
enum GuiCalibMode : unsigned char {
    GUI_CALIB_NORMAL = 0,
    GUI_CALIB_ADVANCED = 1,
};

// The status byte that ends an answer.
inline constexpr unsigned char kGuiStatusOk = 0x00;

inline constexpr int kGuiIntSize = 4;
inline constexpr int kGuiDotInts = 2;  // GUI_CMD_CALIB_DOT: x, y
// GUI_CMD_SET_PARAMS: normal grid x, y, advanced grid x, y, side space, the
// daemon's pid, the relay's pid.
inline constexpr int kGuiParamInts = 7;

// Name of a command byte for debug lines ("unknown" otherwise).
inline const char *gui_cmd_name(unsigned char cmd) {
    switch (cmd) {
        case GUI_CMD_CLEAR:
            return "clear";
        case GUI_CMD_CALIB_MODE:
            return "calibration mode";
        case GUI_CMD_CALIB_DOT:
            return "calibration target";
        case GUI_CMD_WAIT_DIALOG:
            return "wait dialog";
        case GUI_CMD_WAIT_CLOSE:
            return "wait dialog closed";
        case GUI_CMD_SHOW_CONNECTED:
            return "show connected";
        case GUI_CMD_DISCONNECTED:
            return "disconnected";
        case GUI_CMD_CONNECTING:
            return "connecting";
        case GUI_CMD_CONNECTED:
            return "connected";
        case GUI_CMD_CALIB_END:
            return "calibration end";
        case GUI_CMD_DOTS_DONE:
            return "targets done";
        case GUI_CMD_SCREEN_X:
            return "screen width";
        case GUI_CMD_SCREEN_Y:
            return "screen height";
        case GUI_CMD_SET_PARAMS:
            return "parameters";
        case GUI_CMD_POLL:
            return "poll";
    }
    return "unknown";
}
