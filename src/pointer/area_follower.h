// The rectangle of the X screen that the pointer records belong to: the
// monitor the user chose (or the default rules' one), kept up to date while
// the consumer runs.
//
// Two things change it: the choice file, rewritten by the tray program (by a
// rename over the old file, in a directory that may not exist yet), and the
// display's monitors (RandR changes, and the root window's ConfigureNotify
// that a new screen size or a new RandR monitor brings). The file is watched
// through inotify on its directory, or on the nearest existing parent until
// the directory appears; the display through its event stream. Both
// descriptors go into the consumer's poll loop; nothing is polled by timer.
#pragma once

#include <string>

#include "monitors.h"

typedef struct _XDisplay Display;

namespace ink::pointer {

class AreaFollower {
  public:
    AreaFollower() = default;
    AreaFollower(const AreaFollower &) = delete;
    AreaFollower &operator=(const AreaFollower &) = delete;
    ~AreaFollower();

    // Follows dpy (not owned; it must outlive the follower, and no one else
    // may read its events) and the choice file at choice_path ("": none, the
    // default rules apply). Reads both once and prints the selection.
    void start(Display *dpy, const std::string &choice_path);

    // Descriptors to poll for reading: the display's connection and the
    // file watch (-1 when there is none).
    int display_fd() const;
    int watch_fd() const { return inotify_fd_; }

    // Handles whatever has come on either descriptor (never blocks). Returns
    // true when the area or the screen size changed.
    bool update();

    // True when the display has events that Xlib has read already (they do
    // not make its descriptor readable again): call update() before waiting.
    bool events_queued() const;

    const ink::monitors::Rect &area() const { return selection_.rect; }
    const ink::monitors::Rect &screen() const { return layout_.screen; }
    const ink::monitors::Selection &selection() const { return selection_; }

  private:
    void arm_watch();
    bool drain_watch();
    bool drain_display();
    void read_choice();
    bool reselect();

    Display *dpy_ = nullptr;
    int randr_base_ = -1;
    std::string path_, dir_, watched_;
    int inotify_fd_ = -1;
    int wd_ = -1;
    ink::monitors::Layout layout_;
    ink::monitors::Choice choice_;
    ink::monitors::Selection selection_;
    std::string diag_;  // the last complaint about the file, printed once
};

}  // namespace ink::pointer
