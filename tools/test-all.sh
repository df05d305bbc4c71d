#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and runs each
# stage, a preset of CMakePresets.json with a build of its own in build/NAME:
#  - scaled:   sandbox root, pauses divided by 10 and budgets by 2; every unit
#              and process test
#  - asan:     AddressSanitizer (tools/sanitize.sh) on the tests chosen for it
#  - realtime: sandbox root, real timing; the tests labelled "realtime"
#  - tsan:     ThreadSanitizer on the tests chosen for it
#  (these three are built and run beside the scaled tests, and so are the
#  builds of the two stages below, "builds")
#  - fuzz:     every fuzz target for 20 s, one per core (tools/fuzz.sh)
#  - kernel:   the kernel lab (tools/kernel-lab.sh test): one QEMU machine
#              with Debian's stock kernel, the unit as a real USB device
# Every stage runs, whatever an earlier one gave, unless it needs a build that
# failed. The run ends with one line per stage (passed, failed or not run, and
# its time), then the tests' total; the exit status is 1 when any stage failed.
# Each stage's output is also kept in build/test-all-logs/<stage>.log, and
# ctest's JUnit report beside it as <stage>.xml.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
logs=$top/build/test-all-logs

jobs=$(nproc)
# Tests at twice the cores: process tests spend most of their time waiting
# in the programs' pauses, each in a sandbox root of its own (ink_own_root).
test_jobs=$((2 * jobs))

names=()
results=()
times=()
hosts=()
failed_any=0

# What the machine was like during a stage, sampled every 5 s: the least
# free space on the checkout's disk, the highest load, and the longest stall
# (how much later than asked a 0.2 s sleep returned: a host that takes the
# CPU away from this machine shows there, and not in the load). A full disk
# or a starved machine shows as the tests' failures; the summary says which
# it was rather than leaving it to guesswork.
sample_host() {
    local t0 t1
    while :; do
        t0=$(date +%s%N)
        sleep 0.2
        t1=$(date +%s%N)
        printf '%s %s %s\n' "$(df -Pm "$top" | awk 'NR == 2 { print $4 }')" \
            "$(cut -d' ' -f1 /proc/loadavg)" $(((t1 - t0) / 1000000 - 200))
        sleep 5
    done
}
host_summary() {
    awk 'NR == 1 || $1 < f { f = $1 } $2 > l { l = $2 } $3 > s { s = $3 }
        END { if (NR) printf "%d MiB free at least, load %.1f, stall %d ms at most", f, l, s }' "$1"
}

# stage NAME COMMAND...: runs the command, its output shown and logged.
stage() {
    local name=$1 start=$SECONDS rc
    shift
    echo "==== $name"
    sample_host >"$logs/$name.host" &
    local sampler=$!
    "$@" 2>&1 | tee "$logs/$name.log"
    rc=${PIPESTATUS[0]}
    kill "$sampler" 2>/dev/null
    wait "$sampler" 2>/dev/null
    record "$name" "$rc" $((SECONDS - start))
}

# record NAME STATUS SECONDS: a stage's line in the summary; returns STATUS.
record() {
    names+=("$1")
    times+=("$3")
    hosts+=("$(host_summary "$logs/$1.host")")
    if [ "$2" -eq 0 ]; then
        results+=(passed)
    else
        results+=("failed (exit $2)")
        failed_any=1
    fi
    return "$2"
}

# beside NAME COMMAND...: starts the stage in the background, its output
# logged only; join_beside NAME waits for it, then shows and counts it as stage does.
declare -A beside_pid
beside() {
    local name=$1
    shift
    (
        start=$SECONDS
        sample_host >"$logs/$name.host" &
        sampler=$!
        "$@" >"$logs/$name.log" 2>&1
        rc=$?
        kill "$sampler" 2>/dev/null
        wait "$sampler" 2>/dev/null
        echo "$rc $((SECONDS - start))" >"$logs/$name.rc"
    ) &
    beside_pid[$name]=$!
}
join_beside() {
    local name=$1 rc t
    wait "${beside_pid[$name]}"
    read -r rc t <"$logs/$name.rc" || { rc=1 t=0; }
    echo "==== $name (run beside the stages before it)"
    cat "$logs/$name.log"
    record "$name" "$rc" "$t"
}

# skip NAME WHY: a stage that cannot run.
skip() {
    names+=("$1")
    times+=(0)
    results+=("not run ($2)")
    hosts+=("")
    failed_any=1
}

# build_preset NAME: configures and builds the preset NAME, at the niceness
# INK_BUILD_NICE (default 0).
build_preset() {
    nice -n "${INK_BUILD_NICE:-0}" cmake --preset "$1" >/dev/null &&
        nice -n "${INK_BUILD_NICE:-0}" cmake --build --preset "$1" -j"$jobs"
}
# test_preset NAME: runs its tests, the JUnit report beside the stage's log.
test_preset() { ctest --preset "$1" -j"$test_jobs" --output-junit "$logs/$1.xml"; }
realtime() { build_preset realtime && test_preset realtime; }
# The fuzz targets are ctest's tests in the fuzz build, one per core: each
# fuzzes for a time, not a count, and gets a core of its own.
fuzz_all() {
    build_preset fuzz && ctest --preset fuzz -j"$jobs" --output-junit "$logs/fuzz.xml"
}

# The tests of the scaled, ASan, real-timing and TSan stages spend most of
# their time waiting in the programs' pauses, each in a sandbox root of its
# own: once the scaled build is done, the other three stages are built and
# run beside the scaled tests, and so are the builds of the fuzz targets and
# the lab ("builds"). The builds run at a low priority, taking the CPU the
# tests leave, ASan's first (nice 10, then 15, then 19); a build that fails
# in "builds" is built again, and reported, by its own stage. The fuzz
# targets and the lab's machine take all the CPU they get: they run alone.
builds() {
    local p
    for p in fuzz lab; do
        INK_BUILD_NICE=19 build_preset "$p"
    done
}
realtime_beside() { INK_BUILD_NICE=15 realtime; }

mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/*.host "$logs"/*.xml "$logs"/*.rc
if stage deps tools/deps.sh test; then
    if stage build build_preset scaled; then
        beside asan env JUNIT="$logs/asan.xml" INK_BUILD_NICE=10 tools/sanitize.sh asan
        beside realtime realtime_beside
        beside tsan env JUNIT="$logs/tsan.xml" INK_BUILD_NICE=15 tools/sanitize.sh tsan
        beside builds builds
        stage scaled test_preset scaled
        for s in asan realtime tsan builds; do
            join_beside "$s"
        done
    else
        skip scaled "the build failed"
        stage asan env JUNIT="$logs/asan.xml" tools/sanitize.sh asan
        stage realtime realtime
        stage tsan env JUNIT="$logs/tsan.xml" tools/sanitize.sh tsan
    fi
    stage fuzz fuzz_all
    # Bounded: the lab gives its guest 15 min at most, then fails.
    stage kernel env INK_LAB_TIMEOUT=900 tools/kernel-lab.sh test
    cp build/lab/lab-logs/junit.xml "$logs/kernel.xml" 2>/dev/null
else
    for s in build scaled asan realtime tsan builds fuzz kernel; do
        skip "$s" "the packages could not be installed"
    done
fi

# The tests' count, from every ctest closing line of the stages.
passed=0
failed=0
while read -r nfail total; do
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
done < <(cat "$logs"/*.log 2>/dev/null |
    sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p')
# The kernel lab's closing line.
if [ -f "$logs/kernel.log" ]; then
    read -r kp kf < <(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$logs/kernel.log" |
        tail -n 1) || true
    passed=$((passed + ${kp:-0}))
    failed=$((failed + ${kf:-0}))
fi

# What failed, again at the end, where a reader of a long run's tail finds
# it: ctest's list of failed tests, and each failed test's line with at most
# 25 lines of what followed it (its output, the lab's evidence among it),
# long lines cut short.
recap() {
    awk '/^The following tests FAILED:/ { list = 1; print; next }
        list && /^[ \t]/ { print; next }
        { list = 0 }
        /^(PASS|FAIL|====)|Test +#[0-9]+: / { detail = 0 }
        /^FAIL|\*\*\*(Failed|Timeout|Exception)/ { detail = 26 }
        detail > 0 { print; detail-- }' "$1" | cut -c1-160 | head -n 80
}
for i in "${!names[@]}"; do
    case ${results[$i]} in
    failed*)
        echo
        echo "==== what failed in ${names[$i]}"
        recap "$logs/${names[$i]}.log"
        ;;
    esac
done

echo
echo "==== test-all summary"
for i in "${!names[@]}"; do
    printf '  %-16s %-36s %5d s  %s\n' "${names[$i]}" "${results[$i]}" "${times[$i]}" \
        "${hosts[$i]}"
done
echo "tests: $passed passed, $failed failed"
exit "$failed_any"
