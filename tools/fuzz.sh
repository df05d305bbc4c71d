#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each from its committed seed corpus.
#   tools/fuzz.sh                        every target, 45 s each
#   tools/fuzz.sh 600                    every target, 10 minutes each
#   tools/fuzz.sh 60 config_fuzz         one target
#   tools/fuzz.sh runs=1000000 ...       a number of inputs instead of a time
#   tools/fuzz.sh merge [target ...]     minimise the committed corpus (below)
#   tools/fuzz.sh --built 20 config_fuzz as ctest runs each target in the
#                                        fuzz preset's build: no configure or build
# New inputs are kept in build/fuzz/corpus/<target> (the committed seeds in
# fuzz/corpus/ are not touched); crashes and hangs land in
# build/fuzz/artifacts/. Exit status 1 when any target found one, or left
# files in its scratch directory.
#
# merge: the inputs the runs found in build/fuzz/corpus/<target> and those
# already committed are merged (-merge=1) into a fresh directory that keeps one
# input per new piece of coverage, smallest first, each cut to at most 1 KiB;
# that directory replaces fuzz/corpus/<target>. The hand-written seeds (files
# not named by their SHA-1) are kept whole whether or not they add coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
all=(config_fuzz calrecord_fuzz spot_click_fuzz relay_input_fuzz gui_answer_fuzz
     device_reply_fuzz tray_cmd_fuzz)

mode=time
limit=45
built=0
if [ "${1:-}" = --built ]; then
    built=1
    shift
fi
case "${1:-}" in
    merge) mode=merge; shift ;;
    runs=*) mode=runs; limit=${1#runs=}; shift ;;
    '') ;;
    *) limit=$1; shift ;;
esac
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all[@]}")
fi

# Time divided by 10000: the device protocol's fixed waits and the 5 s read
# budget shrink to a fraction of a millisecond, so a unit that falls silent
# costs little per input. The scripted unit of device_reply_fuzz answers at
# once, so its answers still come well within the 500 us read budget, short of
# a loaded machine holding its thread back (then the exchange times out, which
# is one of the paths being explored anyway).
if [ "$built" = 0 ]; then
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}"
fi

mkdir -p build/fuzz/artifacts build/fuzz/logs

# The targets write their files (TAB_Def.dat and the configuration files) into
# a scratch directory under $TMPDIR, once per input: on a disk file system
# each rewrite is flushed to the disk, which makes config_fuzz ten times
# slower, so the scratch directories live in memory when /dev/shm is there.
# Each target gets a directory of its own, which must be empty when it ends
# cleanly: the targets remove their scratch directories at exit.
scratch_parent() {
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then
        echo /dev/shm
    else
        echo "$top/build/fuzz"
    fi
}

if [ "$mode" = merge ]; then
    for t in "${targets[@]}"; do
        fresh=$(mktemp -d "$top/build/fuzz/merge-$t.XXXXXX")
        tmp=$(mktemp -d "$(scratch_parent)/inkfuzz-$t.XXXXXX")
        mkdir -p "build/fuzz/corpus/$t"
        find "fuzz/corpus/$t" -maxdepth 1 -type f ! -regex '.*/[0-9a-f]\{40\}' \
            -exec cp {} "$fresh/" \;
        TMPDIR=$tmp ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz/"$t" -merge=1 -max_len=1024 \
            "$fresh" "fuzz/corpus/$t" "build/fuzz/corpus/$t" >"build/fuzz/logs/$t-merge.log" 2>&1
        rm -rf "$tmp"
        rm -rf "fuzz/corpus/$t"
        mv "$fresh" "fuzz/corpus/$t"
        chmod 755 "fuzz/corpus/$t"
        echo "$t: $(ls "fuzz/corpus/$t" | wc -l) inputs, $(cat "fuzz/corpus/$t"/* | wc -c) bytes"
    done
    exit 0
fi

if [ "$mode" = runs ]; then
    bound=(-runs="$limit")
else
    bound=(-max_total_time="$limit")
fi
status=0
passed=0
failed=0
printf '%-20s %10s %8s %8s %s\n' target execs cov ft result
for t in "${targets[@]}"; do
    work=build/fuzz/corpus/$t
    mkdir -p "$work"
    log=build/fuzz/logs/$t.log
    tmp=$(mktemp -d "$(scratch_parent)/inkfuzz-$t.XXXXXX")
    # The code under test prints on standard output at every input (the
    # core's console lines; the daemon's messages and, in device_reply_fuzz,
    # its perror lines on standard error too): closed, so that the log holds
    # libFuzzer's lines and any sanitizer report, which go elsewhere.
    mask=1
    [ "$t" = device_reply_fuzz ] && mask=3
    # A model build costs calrecord_fuzz ten times what the rest of an input
    # does, and its mutator changes the model in one mutation in eight: long
    # chains of mutations from each parent let most inputs reuse the model.
    extra=()
    [ "$t" = calrecord_fuzz ] && extra=(-mutate_depth=20)
    # -timeout: one input running longer than 10 s counts as a hang.
    # -rss_limit_mb: AddressSanitizer keeps about 190 bytes for every thread
    # that ever ran (a five-line target that starts and joins one thread per
    # input shows the same), and gui_answer_fuzz, device_reply_fuzz and
    # tray_cmd_fuzz start one per input: 10^7 inputs take them past 2 GB.
    if TMPDIR=$tmp ASAN_OPTIONS=detect_leaks=1 build/fuzz/fuzz/"$t" "$work" "fuzz/corpus/$t" \
        "${bound[@]}" "${extra[@]}" -timeout=10 -rss_limit_mb=3072 -print_final_stats=1 \
        -close_fd_mask=$mask -artifact_prefix="build/fuzz/artifacts/$t-" >"$log" 2>&1; then
        if [ -n "$(ls -A "$tmp")" ]; then
            result="FAILED (left files in its scratch directory: $(ls -A "$tmp" | head -3 | tr '\n' ' '))"
            status=1
            failed=$((failed + 1))
        else
            result=ok
            passed=$((passed + 1))
        fi
    else
        result="FAILED (see $log)"
        status=1
        failed=$((failed + 1))
    fi
    rm -rf "$tmp"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    printf '%-20s %10s %8s %8s %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
echo "fuzz: $passed passed, $failed failed"
exit $status
