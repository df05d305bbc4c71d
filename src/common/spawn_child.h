// Starting a child program: fork, then execute a program by its absolute path.
//
// The child starts clean whatever the parent has set up: every signal back to
// its default action and an empty signal mask. Optionally it is tied to the
// parent's life: it gets a signal of the parent's choice when the parent ends
// (and ends at once if the parent has already gone by the time it is tied).
// A child whose program cannot be executed exits with status 0.
#pragma once

#include <sys/types.h>

namespace ink::proc {

struct ChildOptions {
    // Signal the child gets when the parent ends; 0 for none.
    int parent_death_signal = 0;
    // A debug line the child prints through fmouse_msg just before it
    // executes the program; nullptr for none.
    const char *child_note = nullptr;
};

// Forks and, in the child, executes path with argv (argv[0] first, ended by
// nullptr). Returns the child's pid to the parent, or -1 when the fork failed;
// never returns in the child.
pid_t spawn_child(const char *path, char *const argv[], const ChildOptions &options = {});

}  // namespace ink::proc
