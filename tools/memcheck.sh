#!/usr/bin/env bash
# The real daemon under valgrind, without sanitizers: a sandbox build at real
# timing, laid out with `cmake --install`, and inkmemdrive (tools/memcheck)
# driving `inkd --vxd-debug` through a bring-up, a pen session, a normal
# calibration and a second pen session against the virtual unit, then SIGINT.
#  1. memcheck: no error, nothing definitely lost (the run fails otherwise);
#  2. massif, the same run: the daemon's peak heap must stay under 1 MiB
#     (its core's tables are static arrays, not heap).
# Only inkd is checked (--trace-children=no): its tray program (the fake
# one), relay and inhibitor run natively. Logs go to build/memcheck/.
#   tools/memcheck.sh [frames-per-second]   the unit's rate, 50 by default
source "$(dirname "$0")/lib/preamble.sh"
rate=${1:-50}
ROOT=$(sandbox_root mem)
OUT=$top/build/memcheck
limit_kib=1024

command -v valgrind >/dev/null || apt-get install -y valgrind
sandbox_build build/h-mem "$ROOT"

# One sandbox per run: a fresh root with the suite installed, the fake tray
# program as the tray program, and an inhibiting command that only waits.
layout() {
    sandbox_layout build/h-mem "$ROOT"
    ln -sf "$top/build/h-mem/bin/inkfaketray" "$ROOT/usr/bin/inktray"
    printf '#!/bin/sh\n[ "$1" = --help ] && { echo "  --inhibit"; exit 0; }\nexec sleep 60\n' \
        >"$ROOT/usr/bin/gnome-screensaver-command"
    chmod 755 "$ROOT/usr/bin/gnome-screensaver-command"
}

# run NAME VALGRIND-OPTIONS...: one driven session of the daemon under valgrind.
run() {
    local name=$1
    shift
    local dir=$OUT/$name
    rm -rf "$dir" && mkdir -p "$dir"
    layout
    local t0=$SECONDS rc=0
    echo "== $name"
    INKFAKETRAY_LOG="$dir/tray.log" INKFAKETRAY_EVENT="$dir/event" \
        build/h-mem/bin/inkmemdrive --log "$dir" --rate "$rate" -- \
        valgrind --trace-children=no "$@" "$ROOT/usr/bin/inkd" --vxd-debug || rc=$?
    echo "   $name: $((SECONDS - t0)) s, exit status $rc"
    return $rc
}

rm -rf "$OUT" && mkdir -p "$OUT"
t_all=$SECONDS
status=0
run memcheck --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
    --error-exitcode=1 --log-file="$OUT/memcheck/valgrind.log" || status=1
cp "$OUT/memcheck/valgrind.log" "$OUT/memcheck.log" 2>/dev/null || true
errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$OUT/memcheck.log" | tail -1)
definite=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$OUT/memcheck.log" | tail -1)
[ -n "$definite" ] || definite=0  # no leak summary: nothing was left allocated
echo "   errors: ${errors:-?}, definitely lost: $definite bytes"
[ "${errors:-1}" = 0 ] && [ "$definite" = 0 ] || status=1

run massif --tool=massif --massif-out-file="$OUT/massif.out" \
    --log-file="$OUT/massif/valgrind.log" || status=1
ms_print "$OUT/massif.out" >"$OUT/massif.txt" 2>/dev/null || true
peak=$(sed -n 's/^mem_heap_B=//p' "$OUT/massif.out" | sort -n | tail -1)
peak_extra=$(paste -d' ' <(sed -n 's/^mem_heap_B=//p' "$OUT/massif.out") \
    <(sed -n 's/^mem_heap_extra_B=//p' "$OUT/massif.out") | sort -n | tail -1 | cut -d' ' -f2)
peak_kib=$(( (${peak:-0} + 1023) / 1024 ))
echo "   peak heap: $peak_kib KiB (${peak:-?} bytes, plus ${peak_extra:-?} bytes of allocator overhead); limit $limit_kib KiB"
[ -n "$peak" ] && [ "$peak_kib" -lt "$limit_kib" ] || status=1

echo "memcheck.sh: $((SECONDS - t_all)) s; logs in $OUT"
[ $status = 0 ] && echo "memcheck.sh: passed" || echo "memcheck.sh: FAILED" >&2
exit $status
