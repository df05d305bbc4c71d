// inkctl: steers the running inktray of the same user and display through
// its control socket (ctl_socket.h): one request line, one answer, for
// desktops where the tray icon and its menu cannot be shown.
//
// Exit status: 0 done, 1 refused by inktray (the reason on standard error),
// 2 wrong arguments, 3 no inktray answering.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctl_socket.h"
#include "ink_time.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kNoTray = 3;

// The whole exchange, connection to answer. Never below 2 s: the answer to a
// calibrate request comes once its windows are open.
constexpr long kAnswerMs = 5000;
constexpr long kAnswerFloorMs = 2000;
constexpr size_t kMaxAnswer = 64 * 1024;
constexpr size_t kMaxName = 200;

const char *const kUsageText =
    "usage: inkctl COMMAND\n"
    "Steers the running inktray (the Vexor Driver's tray program) of this user and display.\n"
    "\n"
    "Commands:\n"
    "  status                       \"connected\" or \"unconnected\": the camera unit's state\n"
    "  calibrate [normal|advanced]  starts a calibration, as the tray menu does (default normal)\n"
    "  about                        opens the About dialog\n"
    "  screen [list]                lists the monitors; \"*\" marks the area in use\n"
    "  screen all|N|NAME            works on the whole desktop, monitor N (from 0) or the\n"
    "                               monitor of that name from now on\n"
    "  -h, --help                   shows this help\n"
    "\n"
    "Exit status: 0 done, 1 refused by inktray, 2 wrong arguments, 3 inktray not running\n"
    "or not answering.\n";

int usage_error() {
    std::fputs(kUsageText, stderr);
    return kUsage;
}

// A monitor's name goes into the request line as it is.
bool plain_word(const std::string &s) {
    if (s.empty() || s.size() > kMaxName)
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The request line for the arguments; empty when they are wrong.
std::string request_of(const std::vector<std::string> &a) {
    if (a.empty())
        return "";
    const std::string &cmd = a[0];
    if ((cmd == "status" || cmd == "about") && a.size() == 1)
        return cmd;
    if (cmd == "calibrate" && a.size() <= 2) {
        std::string kind = a.size() == 2 ? a[1] : "normal";
        if (kind == "normal" || kind == "advanced")
            return "calibrate " + kind;
        return "";
    }
    if (cmd == "screen" && a.size() <= 2) {
        std::string what = a.size() == 2 ? a[1] : "list";
        if (plain_word(what))
            return "screen " + what;
    }
    return "";
}

long deadline_ms() {
    return std::max(kAnswerFloorMs, ink::time::budget_ms(kAnswerMs));
}

enum class Reach { Answered, NotRunning, NoAnswer };

// Connects, sends the request and reads the answer until the tray closes the
// connection, all within the bound.
Reach exchange(const std::string &path, const std::string &request, std::string *answer) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Reach::NoAnswer;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        // A full queue (EAGAIN) is a tray that does not take connections.
        return (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR) ? Reach::NotRunning
                                                                  : Reach::NoAnswer;
    }
    long long end = ink::time::now_us() + deadline_ms() * 1000;
    std::string line = request + "\n";
    size_t sent = 0;
    bool eof = false;
    while (!eof) {
        long long left_us = end - ink::time::now_us();
        if (left_us <= 0)
            break;
        struct pollfd p {
            fd, static_cast<short>(sent < line.size() ? POLLOUT : POLLIN), 0
        };
        int n = poll(&p, 1, static_cast<int>((left_us + 999) / 1000));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (sent < line.size()) {
            ssize_t w = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (w < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (w <= 0)
                break;
            sent += static_cast<size_t>(w);
            continue;
        }
        char buf[4096];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (r <= 0) {
            eof = r == 0;
            break;
        }
        answer->append(buf, static_cast<size_t>(r));
        if (answer->size() > kMaxAnswer)
            break;
    }
    close(fd);
    if (!eof || answer->empty() || answer->back() != '\n')
        return Reach::NoAnswer;
    return Reach::Answered;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(kUsageText, stdout);
        return kDone;
    }
    std::string request = request_of(args);
    if (request.empty())
        return usage_error();
    bool status = request == "status";
    bool list = request == "screen list";

    const char *display = std::getenv("DISPLAY");
    std::string err;
    std::string path = ink::ctl::socket_path(display ? display : "", false, &err);
    std::string answer;
    Reach reach = path.empty() ? Reach::NotRunning : exchange(path, request, &answer);
    if (reach == Reach::NotRunning) {
        if (!err.empty())
            std::fprintf(stderr, "inkctl: %s\n", err.c_str());
        if (status)
            std::puts("not running");
        else
            std::fputs("inkctl: inktray is not running\n", stderr);
        return kNoTray;
    }
    if (reach == Reach::NoAnswer) {
        std::fputs("inkctl: inktray did not answer\n", stderr);
        return kNoTray;
    }

    const std::string refused = "refused ";
    if (answer.compare(0, refused.size(), refused) == 0) {
        std::string why = answer.substr(refused.size());
        std::fprintf(stderr, "inkctl: %s", why.substr(0, why.find('\n') + 1).c_str());
        return kRefused;
    }
    if (status && (answer == "connected\n" || answer == "unconnected\n")) {
        std::fputs(answer.c_str(), stdout);
        return kDone;
    }
    const std::string end = "\n.\n";
    if (list && answer.size() >= end.size() &&
        answer.compare(answer.size() - end.size(), end.size(), end) == 0) {
        std::fwrite(answer.data(), 1, answer.size() - 2, stdout);
        return kDone;
    }
    if (!status && !list && answer == "ok\n")
        return kDone;
    std::fprintf(stderr, "inkctl: inktray gave an answer inkctl does not know: %s",
                 answer.substr(0, answer.find('\n') + 1).c_str());
    return kNoTray;
}
