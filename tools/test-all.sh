#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the sandbox builds below and
# runs every test.
#  - build/test:     sandbox root, time divided by 10; all unit and process tests
#  - build/realtime: sandbox root, real timing; the tests labelled "realtime"
#  - build/asan, build/tsan: the suite under the sanitizers (tools/sanitize.sh;
#    the fault matrices run in build/test only)
#  - build/fuzz: every fuzz target for 20 s (tools/fuzz.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

tools/deps.sh

# A short sandbox root per checkout (UNIX socket paths are limited in length).
tag=$(printf '%s' "$top" | md5sum | cut -c1-8)
jobs=$(nproc)

cmake -S . -B build/test -DINK_ROOT="/tmp/inkroot-$tag-t" -DINK_TIME_SCALE=10 -DINK_BUILD_BENCH=OFF
cmake --build build/test -j"$jobs"
(cd build/test && ctest -j"$jobs" --output-on-failure --timeout 600)

cmake -S . -B build/realtime -DINK_ROOT="/tmp/inkroot-$tag-r" -DINK_TIME_SCALE=1 -DINK_BUILD_BENCH=OFF
cmake --build build/realtime -j"$jobs" --target realtime_tests
(cd build/realtime && ctest -L realtime --output-on-failure --timeout 600)

tools/sanitize.sh
tools/fuzz.sh 20
