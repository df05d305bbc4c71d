#!/usr/bin/env bash
# The test suite under the sanitizers:
#  - build/asan: AddressSanitizer, UndefinedBehaviorSanitizer and
#    LeakSanitizer on every program and test; the whole suite runs (time
#    divided by 10, as in build/test).
#  - build/tsan: ThreadSanitizer on every program and test; the coordinate
#    core takes its portable loops (INK_PORTABLE_CORE: its function-version
#    resolvers would run before the runtime is ready). The tests of the
#    threaded code run: the relay and the tray (inkrelay, inktray), the core
#    (the model build's two threads, checked bit for bit against the plain
#    transcription), and the daemon's process tests that build models (pen
#    and calibration sessions, the handshake).
# Every report of every process, test programs and the programs they start
# alike, goes to a log directory; any report fails the run.
# The two fault matrices (bring-up and calibration, about 50 end-to-end runs)
# are left out of the ASan run to keep the whole test command near 20
# minutes; "full" runs them too.
#   tools/sanitize.sh                 both builds
#   tools/sanitize.sh asan|tsan       one of them
#   tools/sanitize.sh asan full       ASan on every test, the matrices included
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
tag=$(printf '%s' "$top" | md5sum | cut -c1-8)
jobs=$(nproc)
which=${1:-all}
scope=${2:-}
asan_skip='^Matrix/(BringUpFault|CalibFault)\.'
[[ $scope == full ]] && asan_skip='^$'

# Fails when a sanitizer wrote a report into dir.
check_logs() {
    local dir=$1 name=$2
    if compgen -G "$dir/*" >/dev/null; then
        echo "$name: sanitizer reports:" >&2
        for f in "$dir"/*; do
            echo "== $f" >&2
            head -60 "$f" >&2
        done
        return 1
    fi
    echo "$name: no sanitizer reports"
}

run_asan() {
    local logs=$top/build/asan/sanitizer-logs
    cmake -S . -B build/asan -DINK_ROOT="/tmp/inkroot-$tag-a" -DINK_TIME_SCALE=10 \
        -DINK_BUILD_BENCH=OFF -DINK_SANITIZE=ON
    cmake --build build/asan -j"$jobs"
    rm -rf "$logs" && mkdir -p "$logs"
    (
        cd build/asan
        export ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
        export UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1"
        export LSAN_OPTIONS="suppressions=$top/tools/sanitizers/lsan.supp:print_suppressions=0"
        ctest -j"$jobs" --output-on-failure --timeout 900 -E "$asan_skip"
    )
    check_logs "$logs" asan
}

# The ThreadSanitizer set: relay and tray; the core's test suites (core_test);
# the pen and calibration sessions; the daemon's handshake. Not in it:
# DaemonSandbox.TrayProgramThatCannotStartEndsTheDaemon, whose daemon is
# blocked in accept() when its SIGCHLD comes, and ThreadSanitizer holds a
# signal back until the thread leaves such a call (the daemon never ends).
tsan_tests='^(RelayReader|RelayWriter|RelayWithUnit|InksimProgram|TrayTest)\.'
tsan_tests+='|^(BackgroundBlock|CalibModel|CalibrationRecord|CurveFitting|Features|ModelBuild)\.'
tsan_tests+='|^(Robustness|SpotDecoding|TableFile)\.'
tsan_tests+='|^(PenSession|CalibSession)\.|^DaemonSandbox\.HandshakeThenStatesFollowTheDeviceNode$'

run_tsan() {
    local logs=$top/build/tsan/sanitizer-logs
    cmake -S . -B build/tsan -DINK_ROOT="/tmp/inkroot-$tag-s" -DINK_TIME_SCALE=10 \
        -DINK_BUILD_BENCH=OFF -DINK_SANITIZE_THREAD=ON
    cmake --build build/tsan -j"$jobs" --target inkrelay inktray inksim inkd inkfaketray inkwake \
        hidcore_test relay_fuse_test inksim_program_test tray_test core_test pen_e2e_test \
        calib_e2e_test daemon_process_test
    rm -rf "$logs" && mkdir -p "$logs"
    (
        cd build/tsan
        # atexit_sleep_ms=0: a program that ends must end at once, as the tests time it.
        export TSAN_OPTIONS="log_path=$logs/tsan:suppressions=$top/tools/sanitizers/tsan.supp:halt_on_error=0:atexit_sleep_ms=0"
        ctest -j"$jobs" --output-on-failure --timeout 900 -R "$tsan_tests"
    )
    check_logs "$logs" tsan
}

case $which in
    asan) run_asan ;;
    tsan) run_tsan ;;
    all) run_asan && run_tsan ;;
    *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
