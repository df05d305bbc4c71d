// The fake tray program, a stand-in for the tray program for tests and demos
// (tools/faketray runs it as inkfaketray).
//
// Installed in a sandbox as /usr/bin/inktray, it connects to the daemon's
// command channel as the tray program does, answers every command as the
// tray program would, and logs each exchange as one line:
//   D <command and payload bytes, hex> | T <reply bytes, hex>
// between a first line "connected" and a last line "closed". It takes no
// options (the daemon starts it with the tray program's command line); it is
// configured through the environment variables below. FakeTrayLog
// (tray_log.h) reads its log and fills its mailbox.
#pragma once

namespace inktest {

// File the exchanges are appended to.
inline constexpr const char *kFakeTrayLogEnv = "INKFAKETRAY_LOG";
// Mailbox file: a hex byte put there (write elsewhere, then rename) is handed
// out by the next poll, once.
inline constexpr const char *kFakeTrayEventEnv = "INKFAKETRAY_EVENT";
// Screen size (default 1024 x 768).
inline constexpr const char *kFakeTrayWidthEnv = "INKFAKETRAY_WIDTH";
inline constexpr const char *kFakeTrayHeightEnv = "INKFAKETRAY_HEIGHT";
// When set and readable, "W H" in this file overrides the screen size at
// every query (a screen that changes).
inline constexpr const char *kFakeTraySizeFileEnv = "INKFAKETRAY_SIZE_FILE";
// Calibration mode answered to the mode query (default 0).
inline constexpr const char *kFakeTrayModeEnv = "INKFAKETRAY_MODE";

// Serves the command channel until the daemon closes it; returns 0.
int run_fake_tray();

}  // namespace inktest
