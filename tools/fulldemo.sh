#!/usr/bin/env bash
# The whole suite at work on an X display, end to end: installs what it needs,
# builds a sandbox build at real timing, lays the suite out under a sandbox
# root with `cmake --install`, and runs the virtual camera unit, inkd, inkrelay,
# the real inktray and inkpointer (XTest backend) on your display ($DISPLAY)
# or, without one, on a private Xvfb. A virtual user calibrates through the
# tray, touching the targets in the calibration window, then writes "Hi",
# draws a star, taps, double-taps and right-clicks; the X pointer follows.
# Ends on its own with a short report; pictures in build/fulldemo-output/.
#
#   tools/fulldemo.sh [--xvfb]     (--xvfb: a private Xvfb even with $DISPLAY)
#   tools/fulldemo.sh --monitors 2 [--choice all]
#                                  (a private display of two monitors, a laptop
#                                  panel and the projector the camera sees)
#
# On your own display the demo covers the screen with its canvas while the pen
# writes, and takes the pointer and the keyboard for about a minute.
source "$(dirname "$0")/lib/preamble.sh"

tools/deps.sh demo

ROOT=$(sandbox_root fulldemo)
OUT="$top/build/fulldemo-output"
echo "== Building"
sandbox_build build/fulldemo "$ROOT"

driver=""
cleanup() {
    trap - EXIT INT TERM HUP
    if [ -n "$driver" ] && kill -0 "$driver" 2>/dev/null; then
        kill -TERM "$driver" 2>/dev/null || true
        for _ in $(seq 200); do kill -0 "$driver" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$driver" 2>/dev/null || true
    fi
    wait 2>/dev/null || true
    # Whatever the driver could not end: the process groups it started.
    if [ -f "$OUT/pgids" ]; then
        while read -r g; do
            [ -n "$g" ] && kill -KILL -- "-$g" 2>/dev/null || true
        done <"$OUT/pgids"
        rm -f "$OUT/pgids"
    fi
    fusermount3 -u -z "$ROOT/dev/usb" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

sandbox_layout build/fulldemo "$ROOT"
rm -rf "$OUT"
mkdir -p "$OUT"

echo "== Running the suite (sandbox root $ROOT)"
build/fulldemo/bin/inkfulldemo --scenario "$top/testing/scenarios/fulldemo_hi_star_clicks.txt" --out "$OUT" "$@" &
driver=$!
set +e
wait "$driver"
rc=$?
set -e
driver=""
if [ "$rc" -eq 130 ]; then
    echo "fulldemo: interrupted" >&2
    exit 130
elif [ "$rc" -ne 0 ]; then
    echo "fulldemo: failed (exit $rc); logs in $OUT" >&2
    exit "$rc"
fi
echo "Logs: $OUT/inkd.out, $OUT/inkpointer.out, $OUT/pointer.log"
if [ ! -s "$OUT/inkpointer.out" ]; then
    # inkpointer runs without --vxd-debug here, as at a user's login.
    echo "($OUT/inkpointer.out is empty: inkpointer prints only its errors, and there were none;"
    echo " every record it received is in $OUT/pointer.log)"
fi
