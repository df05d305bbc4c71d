#include "uinput_access.h"

#include <cerrno>
#include <cstring>

namespace ink::pointer {

UinputRefusal classify_uinput_errno(int err) {
    switch (err) {
        case ENOENT:
            return UinputRefusal::NoNode;
        case ENODEV:
        case ENXIO:
            return UinputRefusal::NoDriver;
        case EACCES:
        case EPERM:
            return UinputRefusal::NoAccess;
        case ENOTTY:
        case EINVAL:
            // A file or pipe in the node's place takes none of uinput's
            // requests.
            return UinputRefusal::NotUinput;
        default:
            return UinputRefusal::Other;
    }
}

std::string explain_uinput_refusal(int err, const char *path) {
    const std::string p = path;
    switch (classify_uinput_errno(err)) {
        case UinputRefusal::NoNode:
            return "uinput: " + p +
                   " does not exist: the uinput module is not loaded; load it with "
                   "\"sudo modprobe uinput\"\n"
                   "uinput: to load it at every boot: echo uinput | sudo tee "
                   "/etc/modules-load.d/uinput.conf\n";
        case UinputRefusal::NoDriver:
            return "uinput: " + p + " has no driver (" + std::strerror(err) +
                   "): the uinput module is not loaded and could not be loaded on demand; "
                   "load it with \"sudo modprobe uinput\"\n";
        case UinputRefusal::NoAccess:
            return "uinput: no permission to open " + p +
                   ": the package's udev rule gives it to the user at the seat; log out and "
                   "in again, or run \"sudo modprobe uinput && sudo udevadm trigger " +
                   p +
                   "\"\n"
                   "uinput: a user not at a seat (e.g. over ssh) must be in the node's group, "
                   "one that a udev rule of your own gives it (GROUP=, MODE=\"0660\")\n";
        case UinputRefusal::NotUinput:
            return "uinput: " + p + " is not the uinput device (" + std::strerror(err) + ")\n";
        case UinputRefusal::Other:
            break;
    }
    return "uinput: cannot create the virtual pen on " + p + ": " + std::strerror(err) + "\n";
}

}  // namespace ink::pointer
