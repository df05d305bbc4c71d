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
#include "tray_shared.h"

// The state the tray program's main module owns.
std::atomic<unsigned char> ui_cmd{0};
std::atomic<unsigned char> send_gui_data_flag{0};
std::atomic<unsigned char> calib_normal_adv{0};
std::atomic<std::uint64_t> calibrate_dot{0};
std::atomic<int> kvx_normal_dot_x{0}, kvx_normal_dot_y{0}, kvx_adv_dot_x{0}, kvx_adv_dot_y{0},
    kvx_sidespace{0};
std::atomic<pid_t> vxdcore_pid{0}, inkrelay_pid{0};
std::atomic<int> screen_width{1024}, screen_height{768};

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
    send_gui_data_flag.store(size > 0 ? data[0] & 0x30 : 0);
    calib_normal_adv.store(size > 1 ? data[1] & 1 : 0);
    // The daemon reads every answer; so does this end.
    std::thread reader(fuzz::drain, ch[1]);
    fmouse_guicmd_serve(ch[0]);
    close(ch[0]);
    reader.join();
    close(ch[1]);
    return 0;
}
