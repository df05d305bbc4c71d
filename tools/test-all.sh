#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the sandbox builds below and
# runs every test.
#  - build/test:     sandbox root, time divided by 10; all unit and process tests
#  - build/realtime: sandbox root, real timing; the tests labelled "realtime"
#  - build/asan, build/tsan: the suite under the sanitizers (tools/sanitize.sh;
#    the fault matrices run in build/test only)
#  - build/fuzz: every fuzz target for 20 s (tools/fuzz.sh)
#  - build/lab: the kernel lab (tools/kernel-lab.sh test): one QEMU machine
#    with Debian's stock kernel, the unit as a real USB device
# Every stage runs, whatever an earlier one gave, unless it needs a build that
# failed. The run ends with one line per stage (passed, failed or not run, and
# its time), then the tests' total; the exit status is 1 when any stage failed.
# Each stage's output is also kept in build/test-all-logs/<stage>.log.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
logs=$top/build/test-all-logs

# A short sandbox root per checkout (UNIX socket paths are limited in length).
tag=$(printf '%s' "$top" | md5sum | cut -c1-8)
jobs=$(nproc)

names=()
results=()
times=()
hosts=()
failed_any=0

# What the machine was like during a stage, sampled every 5 s: the least
# free space on the checkout's disk, the highest load, and the longest stall
# (how much later than asked a 0.2 s sleep returned: a host that takes the
# CPU away from this machine shows there, and not in the load). The scaled
# tests give the daemon a tenth of its budgets (0.5 s for an answer of the
# unit), so a full disk or a starved machine shows as their failures; the
# summary says which it was rather than leaving it to guesswork.
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
    names+=("$name")
    times+=($((SECONDS - start)))
    hosts+=("$(host_summary "$logs/$name.host")")
    if [ "$rc" -eq 0 ]; then
        results+=(passed)
    else
        results+=("failed (exit $rc)")
        failed_any=1
    fi
    return "$rc"
}

# skip NAME WHY: a stage that cannot run.
skip() {
    names+=("$1")
    times+=(0)
    results+=("not run ($2)")
    hosts+=("")
    failed_any=1
}

build_test() {
    cmake -S . -B build/test -DINK_ROOT="/tmp/inkroot-$tag-t" -DINK_TIME_SCALE=10 \
        -DINK_BUILD_BENCH=OFF &&
        cmake --build build/test -j"$jobs"
}
tests_scaled() { (cd build/test && ctest -j"$jobs" --output-on-failure --timeout 600); }
build_realtime() {
    cmake -S . -B build/realtime -DINK_ROOT="/tmp/inkroot-$tag-r" -DINK_TIME_SCALE=1 \
        -DINK_BUILD_BENCH=OFF &&
        cmake --build build/realtime -j"$jobs" --target realtime_tests
}
tests_realtime() { (cd build/realtime && ctest -L realtime --output-on-failure --timeout 600); }

mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/*.host
if stage deps tools/deps.sh test; then
    if stage build build_test; then
        stage tests tests_scaled
    else
        skip tests "the build failed"
    fi
    if stage build-realtime build_realtime; then
        stage tests-realtime tests_realtime
    else
        skip tests-realtime "the build failed"
    fi
    stage asan tools/sanitize.sh asan
    stage tsan tools/sanitize.sh tsan
    stage fuzz tools/fuzz.sh 20
    # Bounded: the lab gives its guest 15 min at most, then fails.
    stage kernel env INK_LAB_TIMEOUT=900 tools/kernel-lab.sh test
else
    for s in build tests build-realtime tests-realtime asan tsan fuzz kernel; do
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
# it: ctest's list of failed tests, and each FAIL line with at most 25 lines
# of what followed it (the lab's cases print their evidence there), long
# lines cut short.
recap() {
    awk '/^The following tests FAILED:/ { list = 1; print; next }
        list && /^[ \t]/ { print; next }
        { list = 0 }
        /^(PASS|FAIL|====)/ { detail = 0 }
        /^FAIL/ { detail = 26 }
        detail > 0 { print; detail-- }' "$1" | cut -c1-160 | head -n 60
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
