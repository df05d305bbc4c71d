#!/usr/bin/env bash
# The suite's main job in a sandbox: installs what it needs, builds, lays the
# suite out under a sandbox root with `cmake --install`, and runs the daemon
# with a stand-in tray program while the camera unit's device node appears and
# disappears. Prints what the tray program was told at each step.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

tools/deps.sh

tag=$(printf '%s' "$top" | md5sum | cut -c1-8)
ROOT="/tmp/inkroot-$tag-demo"
cmake -S . -B build/demo -DINK_ROOT="$ROOT" -DINK_TIME_SCALE=1 -DINK_BUILD_BENCH=OFF -DINK_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target inkd inkrelay inkwake inktray inksetup inkfaketray

rm -rf "$ROOT"
mkdir -p "$ROOT"/{tmp,dev/usb,sbin}
DESTDIR="$ROOT" cmake --install build/demo >/dev/null
# The stand-in tray program answers the daemon and logs every exchange.
ln -sf "$top/build/demo/bin/inkfaketray" "$ROOT/usr/bin/inktray"
export INKFAKETRAY_LOG="$ROOT/tray.log"

names() {
    sed -n 's/^D \(..\).*/\1/p' "$ROOT/tray.log" | while read -r b; do
        case $b in
            66) echo "  0x66 unconnected look" ;;
            77) echo "  0x77 wait dialog: device found, connecting" ;;
            44) echo "  0x44 close wait dialog: bring-up failed" ;;
            88) echo "  0x88 connected" ;;
            *) echo "  0x$b" ;;
        esac
    done
}

echo
echo "== Starting inkd in $ROOT (no camera unit attached yet)"
"$ROOT/usr/bin/inkd" --vxd-debug >"$ROOT/inkd.out" 2>&1 &
daemon=$!
sleep 2
echo "The tray program was told:"; names
echo
echo "== Plugging in a camera unit (the node appears, but nothing answers on it)"
touch "$ROOT/dev/usb/vxd0"
sleep 7
echo "The tray program was told:"; names
echo
echo "== Unplugging it"
rm -f "$ROOT/dev/usb/vxd0"
sleep 4
echo "== Ctrl+C"
kill -INT "$daemon"
wait "$daemon" || true
echo
echo "The daemon's state machine, as it reported it:"
grep -E "main state|disconnect state|Vxd |Capture Signal" "$ROOT/inkd.out" | sed 's/^/  /'
echo
echo "Left in $ROOT/tmp after Ctrl+C: $(ls -A "$ROOT/tmp" | tr '\n' ' ')(nothing expected)"
echo "Full daemon output: $ROOT/inkd.out"
