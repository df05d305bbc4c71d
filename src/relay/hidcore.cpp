#include "hidcore.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hiddev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fmouse_sys.h"
#include "ink_paths.h"
#include "ink_time.h"
#include "tmp_names.h"
#include "session_record.h"

int hidsock_fd = -1;
char hidsock_path[sizeof(sockaddr_un::sun_path)];
fmouse_hid_rw_arg rw_arg = {-1};
fmouse_hid_rw_arg *rw_parg = &rw_arg;
std::atomic<int> exit_flag{0};
int hid_record_fd = -1;

namespace {

pthread_t fmouse_hid_read_tid;
pthread_t fmouse_hid_write_tid;
char debug_str[1000];

constexpr long kInputTimeoutUs = 5001000;  // 5 s and 1 ms per report
constexpr long kConnectRetryUs = 50000;
constexpr long kWriteFinishUs = 15000;
// An output report the unit has not taken within this time is given up on.
// The kernel holds a report the unit does not take for 10 s and then reports
// success though the report is lost; a command lost so would leave the
// daemon waiting for an answer that never comes.
constexpr long kReportStallUs = 2000000;

// The socket path, filled once before first use.
struct PathInit {
    PathInit() { std::snprintf(hidsock_path, sizeof hidsock_path, "%s", ink::path::kRelaySocket); }
} path_init;

// Reports taken from the node by one read at most: a relay that was held
// back (a busy machine) passes on what queued meanwhile at once.
constexpr int kReportsPerRead = 16;
constexpr ssize_t kEventSize = sizeof(hiddev_event);

// Whole reports into ev (room for kReportsPerRead), as many as are queued.
// The node hands out whole events, as many as are queued and fit; a report
// that arrives in parts is completed by further reads. Returns the number of
// events read (a multiple of kHidReportValues), or -1 on anything but whole
// events; *first is what the first read returned (at a report's start: 0 at
// the end of the stream).
int read_reports(int fd, hiddev_event *ev, ssize_t *first) {
    constexpr ssize_t kReport = kHidReportValues * kEventSize;
    char *out = reinterpret_cast<char *>(ev);
    ssize_t have = 0, want = kReportsPerRead * kReport;
    while (have == 0 || have % kReport != 0) {
        ssize_t n;
        do {
            n = read(fd, out + have, static_cast<size_t>(want - have));
        } while (n < 0 && errno == EINTR);
        if (have == 0)
            *first = n;
        if (n <= 0 || n % kEventSize != 0)
            return -1;
        have += n;
        // The rest of the last report only.
        want = (have + kReport - 1) / kReport * kReport;
    }
    return static_cast<int>(have / kEventSize);
}

int get_devinfo(int fd, hiddev_devinfo *info) {
    std::memset(info, 0, sizeof *info);
    if (ioctl(fd, HIDIOCGDEVINFO, info) < 0) {
        fmouse_err("HID get Vendor Error!\n");
        return -1;
    }
    return 0;
}

}  // namespace

int fmouse_hid_init(void) {
    int fd = open(ink::path::kDeviceNode, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fmouse_err("Fmouse Hid Open Error!\n");
        return -1;
    }
    rw_parg->hid_dev_fd = fd;
    fmouse_msg("Fmouse Hid Open Sucess!\n");
    return 0;
}

int fmouse_rw_fd_init(void) {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, hidsock_path, sizeof addr.sun_path - 1);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int r = -1;
        // A server of another user under the name is not our daemon.
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            ink::tmp::peer_is_own(fd))
            r = 0;
        ink::time::sleep_us(kConnectRetryUs);
        if (r == 0) {
            hidsock_fd = fd;
            break;
        }
        // A socket whose connect failed is not reused: each attempt starts afresh.
        if (fd >= 0)
            close(fd);
    }
    fmouse_msg("hid socket initial successful\n");
    return 0;
}

int fmouse_hid_rw_thread_init(void) {
    if (pthread_create(&fmouse_hid_read_tid, nullptr, fmouse_hid_read_func, nullptr) != 0) {
        fmouse_err("Fmosue Hid Read Thread Create Error!\n");
        return -1;
    }
    if (pthread_create(&fmouse_hid_write_tid, nullptr, fmouse_hid_write_func, nullptr) != 0) {
        fmouse_err("Fmouse Hid Write Thread Create Error!\n");
        return -1;
    }
    return 0;
}

int fmouse_hid_join_reader(void) {
    return pthread_join(fmouse_hid_read_tid, nullptr) == 0 ? 0 : -1;
}

int fmouse_hid_wait_for_input(int fd) {
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    long us = ink::time::budget_us(kInputTimeoutUs);
    timeval tv{us / 1000000, us % 1000000};
    return select(fd + 1, &rfds, nullptr, nullptr, &tv);
}

int fmouse_hid_read_package(int fd, unsigned char *) {
    unsigned char buf_valid[kHidPayloadMax];
    hiddev_event events[kReportsPerRead * kHidReportValues];
    int have = 0, next = 0;  // events read, events passed on
    for (;;) {
        if (exit_flag.load() == 1) {
            fmouse_msg("hid read exit\n");
            return -2;
        }
        if (next == have) {
            if (fmouse_hid_wait_for_input(fd) <= 0) {
                fmouse_msg("hid read time out\n");
                return -2;
            }
            ssize_t first = 0;
            have = read_reports(fd, events, &first);
            next = 0;
            if (have < 0) {
                if (first <= 0) {
                    std::snprintf(debug_str, sizeof debug_str, "fmouse hid read data nbytes : %d\n",
                                  static_cast<int>(first));
                    fmouse_msg(debug_str);
                }
                fmouse_msg("fmouse hid read data error\n");
                exit_flag.store(1);
                return -2;
            }
        }
        const hiddev_event *ev = events + next;
        next += kHidReportValues;
        // The payload values come first, then the count; the last value is
        // dropped.
        static_assert(kHidCountIndex == kHidPayloadMax && kHidReportValues == kHidCountIndex + 2,
                      "an input report is the payload, the count and one unused value");
        for (int i = 0; i < kHidPayloadMax; ++i)
            buf_valid[i] = hid_value_byte(ev[i].value);
        int count = hid_input_count(ev[kHidCountIndex].value);
        if (count != 0) {
            int r = fmouse_write_in(buf_valid, count);
            if (hid_record_fd >= 0 && r > 0)
                ink::record::append(hid_record_fd, 'D', buf_valid, static_cast<size_t>(r));
            if (r != count) {
                std::perror("fmouse err data:");
                std::snprintf(debug_str, sizeof debug_str, "fmouse err data num: err = %d\n", r);
                fmouse_msg(debug_str);
                fmouse_msg("fmouse write in overflow\n");
            }
        }
    }
}

void *fmouse_hid_read_func(void *) {
    fmouse_msg("Fmouse Hid reading\n");
    while (fmouse_hid_read_package(rw_parg->hid_dev_fd, nullptr) != -2) {
    }
    fmouse_msg("device unconnect ...\n");
    return nullptr;
}

void fmouse_hid_build_report(hiddev_usage_ref_multi *uref_multi, const unsigned char *buf,
                             int nbytes) {
    std::memset(uref_multi, 0, sizeof *uref_multi);
    uref_multi->uref.report_type = HID_REPORT_TYPE_OUTPUT;
    uref_multi->uref.report_id = 0;
    uref_multi->uref.field_index = 0;
    uref_multi->uref.usage_index = 0;
    uref_multi->uref.usage_code = kHidVendorUsage;
    uref_multi->uref.value = 0;
    // Always all the values of the field, whatever the chunk's length.
    uref_multi->num_values = kHidReportValues;
    hid_output_pack(buf, nbytes, uref_multi->values);
}

int fmouse_hid_write_package(int fd, unsigned char *buf, int nbytes) {
    if (nbytes == 0)
        return 0;
    if (nbytes < 0 || nbytes > kHidOutputMax) {
        fmouse_err("HID Write Data Too Large!\n");
        return -1;
    }
    hiddev_usage_ref_multi uref_multi;
    fmouse_hid_build_report(&uref_multi, buf, nbytes);
    if (ioctl(fd, HIDIOCSUSAGES, &uref_multi) < 0) {
        fmouse_err("HID Write IO CS USAGES\n");
        return -1;
    }
    hiddev_report_info rinfo;
    std::memset(&rinfo, 0, sizeof rinfo);
    rinfo.report_type = HID_REPORT_TYPE_OUTPUT;
    rinfo.report_id = 0;
    rinfo.num_fields = 0;
    long long start = ink::time::now_us();
    if (ioctl(fd, HIDIOCSREPORT, &rinfo) < 0) {
        fmouse_err("HID Write IO CS REPORT\n");
        return -1;
    }
    if (ink::time::now_us() - start >= ink::time::budget_us(kReportStallUs)) {
        fmouse_err("HID Write report stalled\n");
        return -1;
    }
    return 0;
}

void *fmouse_hid_write_func(void *) {
    fmouse_msg("Fmouse Hid writing\n");
    unsigned char buf[2];
    for (;;) {
        int n = fmouse_read_out(buf, 2);
        if (exit_flag.load() == 1)
            return nullptr;
        if (n > 2) {
            fmouse_err("Hid Write Func read out bytes from buf error\n");
            exit_flag.store(1);
            return nullptr;
        }
        if (n <= 0) {
            fmouse_err("read bytes is error,0\n");
            exit_flag.store(1);
            return nullptr;
        }
        if (hid_record_fd >= 0)
            ink::record::append(hid_record_fd, 'H', buf, static_cast<size_t>(n));
        if (fmouse_hid_write_package(rw_parg->hid_dev_fd, buf, n) == -1) {
            fmouse_err("Hid Write Func write hid package error\n");
            exit_flag.store(1);
            return nullptr;
        }
        fmouse_hid_wfinish_sleep();
    }
}

int fmouse_read_out(unsigned char *buf, int n) {
    ssize_t r;
    do {
        r = read(hidsock_fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

int fmouse_write_in(unsigned char *buf, int n) {
    // A write cut short by a signal or a full buffer is finished, so that the
    // daemon never sees a report's bytes torn apart.
    int done = 0;
    while (done < n) {
        ssize_t r = send(hidsock_fd, buf + done, n - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return done > 0 ? done : static_cast<int>(r);
        done += static_cast<int>(r);
    }
    return done;
}

void fmouse_hid_wfinish_sleep(void) {
    ink::time::sleep_us(kWriteFinishUs);
}

unsigned short fmouse_hid_get_vendor_id(int fd) {
    hiddev_devinfo info;
    if (get_devinfo(fd, &info) < 0)
        return 0;
    return static_cast<unsigned short>(info.vendor);
}

unsigned short fmouse_hid_get_product_id(int fd) {
    hiddev_devinfo info;
    if (get_devinfo(fd, &info) < 0)
        return 0;
    return static_cast<unsigned short>(info.product);
}
