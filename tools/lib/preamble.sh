# The shared first steps of the demo and check scripts of tools/, sourced by
# each as its first command:
#
#   source "$(dirname "$0")/lib/preamble.sh"
#
# It sets bash's strict mode, moves to the checkout's top directory ($top)
# and names a short tag unique to the checkout ($tag: a sandbox root must be
# short, since it prefixes UNIX socket paths). The functions below build a
# sandbox build and lay the suite out under its root.

set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
top=$(pwd)
tag=$(printf '%s' "$top" | md5sum | cut -c1-8)

# sandbox_root NAME: the sandbox root of this checkout's NAME build.
sandbox_root() {
    printf '/tmp/inkroot-%s-%s' "$tag" "$1"
}

# sandbox_build DIR ROOT: configures and builds DIR quietly, a sandbox build
# under ROOT at the real timing with the programs and the tools of tools/ (no
# tests, no benchmarks: their packages are not needed).
sandbox_build() {
    local dir=$1 root=$2
    cmake -S . -B "$dir" -DINK_ROOT="$root" -DINK_TIME_SCALE=1 -DINK_BUILD_BENCH=OFF \
        -DINK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$dir" -j"$(nproc)" >/dev/null
}

# sandbox_layout DIR ROOT: a fresh ROOT with the suite of the build DIR
# installed under it (`cmake --install`), and the directories the programs
# expect (tmp, dev/usb, sbin).
sandbox_layout() {
    local dir=$1 root=$2
    # A left-over unit from an interrupted run would hold the device directory.
    fusermount3 -u -z "$root/dev/usb" 2>/dev/null || true
    rm -rf "$root"
    mkdir -p "$root"/{tmp,dev/usb,sbin}
    DESTDIR="$root" cmake --install "$dir" >/dev/null
}
