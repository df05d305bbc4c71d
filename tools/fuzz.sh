#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from its
# committed seed corpus.
#   tools/fuzz.sh                    every target, 45 s each
#   tools/fuzz.sh 600                every target, 10 minutes each
#   tools/fuzz.sh 60 config_fuzz     one target
# New inputs are kept in build/fuzz/corpus/<target> (the committed seeds in
# fuzz/corpus/ are not touched); crashes and hangs land in
# build/fuzz/artifacts/. Exit status 1 when any target found one.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
tag=$(printf '%s' "$top" | md5sum | cut -c1-8)
secs=${1:-45}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(config_fuzz calrecord_fuzz spot_click_fuzz relay_input_fuzz gui_answer_fuzz
             device_reply_fuzz tray_cmd_fuzz)
fi

# Time divided by 1000: the device protocol's fixed waits and the 5 s read
# budget shrink to milliseconds, so a silent unit costs little per input.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DINK_FUZZ=ON -DINK_BUILD_TESTS=OFF \
    -DINK_BUILD_BENCH=OFF -DINK_ROOT="/tmp/inkroot-$tag-f" -DINK_TIME_SCALE=1000 >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]}"

mkdir -p build/fuzz/artifacts build/fuzz/logs
status=0
passed=0
failed=0
printf '%-20s %10s %8s %8s %s\n' target execs cov ft result
for t in "${targets[@]}"; do
    work=build/fuzz/corpus/$t
    mkdir -p "$work"
    log=build/fuzz/logs/$t.log
    # -timeout: one input running longer than 10 s counts as a hang.
    if ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz/"$t" "$work" "fuzz/corpus/$t" \
        -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$t-" >"$log" 2>&1; then
        result=ok
        passed=$((passed + 1))
    else
        result="FAILED (see $log)"
        status=1
        failed=$((failed + 1))
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    printf '%-20s %10s %8s %8s %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
echo "fuzz: $passed passed, $failed failed"
exit $status
