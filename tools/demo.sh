#!/usr/bin/env bash
# The suite's main job, end to end, in a sandbox: installs what it needs,
# builds, lays the suite out under a sandbox root with `cmake --install`, and
# runs it at real timing against the virtual camera unit:
#   inksim (a calibrated unit; a pen writes "Hi", draws a star, taps,
#   double-taps and right-clicks) -> inkrelay -> inkd -> pointer pipe -> a
#   reader that prints what the desktop would receive and draws the paths.
# A stand-in answers for the tray program. Ends on its own in about a minute.
source "$(dirname "$0")/lib/preamble.sh"

tools/deps.sh demo

ROOT=$(sandbox_root demo)
OUT="$top/build/demo-output"
echo "== Building"
sandbox_build build/demo "$ROOT"

sandbox_layout build/demo "$ROOT"
rm -rf "$OUT"
mkdir -p "$OUT"
# The stand-in tray program answers the daemon and logs every exchange.
ln -sf "$top/build/demo/bin/inkfaketray" "$ROOT/usr/bin/inktray"
export INKFAKETRAY_LOG="$OUT/tray.log"

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

scenario="$top/testing/scenarios/demo_hi_star_clicks.txt"
build/demo/bin/inkpointerlog --fifo "$ROOT/sbin/fmousefifo" --scenario "$scenario" \
    --svg "$OUT/paths.svg" >"$OUT/pointer.txt" 2>&1 &
reader=$!
pids+=("$reader")
build/demo/bin/inksim --scenario "$scenario" --exit-when-done >"$OUT/inksim.out" 2>&1 &
sim=$!
pids+=("$sim")
for _ in $(seq 100); do [ -e "$ROOT/dev/usb/vxd0" ] && break; sleep 0.1; done

echo "== Starting inkd in $ROOT with the virtual camera unit attached"
"$ROOT/usr/bin/inkd" --vxd-debug >"$OUT/inkd.out" 2>&1 &
daemon=$!
pids+=("$daemon")

t0=$(date +%s)
step() { printf '  %3ds  %s\n' $(( $(date +%s) - t0 )) "$1"; }
seen=""
while kill -0 "$sim" 2>/dev/null; do
    for marker in "ckeck ax type end" "E4 end" "Calibration data channel ok" "System running"; do
        if ! grep -q "$marker" <<<"$seen" && grep -q "$marker" "$OUT/inkd.out"; then
            seen="$seen|$marker"
            case $marker in
                "ckeck ax type end") step "unit identified ($(grep -o 'hw data : .*' "$OUT/inkd.out" | head -1))" ;;
                "E4 end") step "parameter block read; configuring the camera" ;;
                "Calibration data channel ok") step "calibration record decoded, model built, background block stored" ;;
                "System running") step "running: the pen is drawing" ;;
            esac
        fi
    done
    if [ $(( $(date +%s) - t0 )) -gt 150 ]; then echo "demo: the unit did not finish in time" >&2; exit 1; fi
    sleep 0.5
done
step "scenario finished"
sleep 1
kill -TERM "$daemon"
wait "$daemon" || true
kill -INT "$reader"
wait "$reader" || true

echo
echo "== What the desktop received"
cat "$OUT/pointer.txt"
echo
echo "== What the tray program was told"
sed -n 's/^D \(..\).*/\1/p' "$OUT/tray.log" | uniq -c | while read -r n b; do
    case $b in
        66) what="unconnected look" ;; 77) what="wait dialog: connecting" ;;
        f2) what="grid parameters and pids" ;; f0) what="screen width?" ;; f1) what="screen height?" ;;
        88) what="connected" ;; f3) what="polls, one per frame" ;; *) what="" ;;
    esac
    printf '  0x%s x%-6s %s\n' "$b" "$n" "$what"
done
echo
echo "Daemon output: $OUT/inkd.out"
echo "Picture of the pen's path against the pointer's: $OUT/paths.svg"
