// The tray program's command reader on arbitrary command streams: the bytes
// arrive on the command channel as the daemon would send them, and the
// channel closes after the last. The reader must answer what it understands
// and stop cleanly at the end, whatever command was cut off.
#include <gtk/gtk.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "cmd_client.h"
#include "fuzz_util.h"
#include "tray_state.h"

// The screen size the command reader answers with, as the tray program's
// main thread would have read it.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    screen_width.store(1024);
    screen_height.store(768);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384)
        return 0;
    int ch[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ch) != 0)
        abort();
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(ch[1], data + done, size - done);
        if (w <= 0)
            abort();
        done += static_cast<size_t>(w);
    }
    shutdown(ch[1], SHUT_WR);
    // Pending user requests are part of the state the stream meets.
    static constexpr GuiEvt kEvents[] = {GUI_EVT_NONE, GUI_EVT_CALIB_START, GUI_EVT_CALIB_CANCEL,
                                         GUI_EVT_RESOLUTION};
    send_gui_data_flag.store(size > 0 ? kEvents[(data[0] >> 4) & 3] : GUI_EVT_NONE);
    calib_normal_adv.store(size > 1 && (data[1] & 1) ? GUI_CALIB_ADVANCED : GUI_CALIB_NORMAL);
    // The daemon reads every answer; so does this end.
    std::thread reader(fuzz::drain, ch[1]);
    fmouse_guicmd_serve(ch[0]);
    close(ch[0]);
    reader.join();
    close(ch[1]);
    return 0;
}
