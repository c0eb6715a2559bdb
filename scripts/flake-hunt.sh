#!/usr/bin/env bash
# Runs the host and asan suites N times in a row (default 20) while a build loads every core,
# and counts the runs that failed: a test that needs an idle machine shows up here.
#
#   scripts/flake-hunt.sh [N]       (after scripts/test-all.sh has built the presets)
set -uo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-20}
jobs=$(nproc 2>/dev/null || echo 2)
log=build/flake-hunt
rm -rf "$log" build/flake-load
mkdir -p "$log"

# The load: the x86-64 Windows build, from clean, over and over.
cmake --preset mingw-x64 -B build/flake-load >/dev/null || exit 1
(while :; do cmake --build build/flake-load --clean-first -j "$jobs" >/dev/null 2>&1; done) &
load=$!
trap 'kill $load 2>/dev/null; pkill -P $load 2>/dev/null; wait $load 2>/dev/null; rm -rf build/flake-load' EXIT

failed=0
for round in $(seq "$rounds"); do
    for preset in host asan; do
        if ctest --preset "$preset" -j "$jobs" -LE wine >"$log/$preset-$round.log" 2>&1; then
            state=passed
        else
            state=FAILED
            failed=$((failed + 1))
        fi
        echo "round $round $preset: $state ($(grep -o '[0-9]* tests failed out of [0-9]*' "$log/$preset-$round.log"))"
    done
done
echo "flake-hunt: $((2 * rounds - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
