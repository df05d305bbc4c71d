#!/usr/bin/env bash
# The test suite under the sanitizers, each a preset of CMakePresets.json:
#  - build/asan: AddressSanitizer, UndefinedBehaviorSanitizer and
#    LeakSanitizer on every program and test. It runs the unit tests and one
#    run of each process path (the tests marked SANITIZE asan); the scaled
#    stage already runs every timing and fault of those paths, which would
#    only repeat the same code under ASan.
#  - build/tsan: ThreadSanitizer on every program and test; the coordinate
#    core takes its portable loops (INK_PORTABLE_CORE: its function-version
#    resolvers would run before the runtime is ready). The tests of the
#    threaded code run (marked SANITIZE tsan): the relay and the tray
#    (inkrelay, inktray), the core (the model build's two threads, checked bit
#    for bit against the plain transcription), and the daemon's process tests
#    that build models (pen and calibration sessions, the handshake).
# Every report of every process, test programs and the programs they start
# alike, goes to a log directory; any report fails the run.
#   tools/sanitize.sh                 both builds
#   tools/sanitize.sh asan|tsan       one of them
#   tools/sanitize.sh asan full       ASan on every test, the fault matrices included
# JUNIT=FILE writes ctest's JUnit report there; INK_BUILD_NICE=N builds at
# that niceness (the tests run at the caller's).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
jobs=$(nproc)
# Tests at twice the cores: the process tests mostly wait, each in a sandbox
# root of its own.
test_jobs=$((2 * jobs))
which=${1:-all}
scope=${2:-}

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

# run NAME [CMAKE ARGS...]: configures, builds and runs the preset NAME.
run() {
    local name=$1 logs=$top/build/$1/sanitizer-logs
    shift
    cmake --preset "$name" "$@" >/dev/null
    nice -n "${INK_BUILD_NICE:-0}" cmake --build --preset "$name" -j"$jobs"
    rm -rf "$logs" && mkdir -p "$logs"
    ctest --preset "$name" -j"$test_jobs" ${JUNIT:+--output-junit "$JUNIT"}
    check_logs "$logs" "$name"
}

run_asan() {
    if [[ $scope == full ]]; then
        run asan -DINK_TEST_SET=all
    else
        run asan -DINK_TEST_SET=asan
    fi
}
run_tsan() { run tsan; }

case $which in
    asan) run_asan ;;
    tsan) run_tsan ;;
    all) run_asan && run_tsan ;;
    *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
