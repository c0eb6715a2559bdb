#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seeds.
#
#   tests/fuzz/run.sh [SECONDS] [TARGET...]   default: 60 seconds each, every *_fuzz target
#
# Seeds are tests/fuzz/seeds/TARGET/; what a run finds is kept in build/fuzz/corpus/TARGET/.
# Exits 77, saying why, where clang or its libFuzzer is missing; non-zero when a target fails.
set -uo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
build=build/fuzz

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
    echo "SKIPPED: fuzzing needs clang, which is not installed"
    exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <stddef.h>\n#include <stdint.h>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' \
    >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    echo "SKIPPED: clang's libFuzzer runtime is missing (-fsanitize=fuzzer does not link)"
    exit 77
fi

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMBREL_FUZZ=ON -DZEMBREL_TESTS=OFF >/dev/null || exit 1
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in tests/fuzz/*_fuzz.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || exit 1

failed=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    seeds=()
    [ -d "tests/fuzz/seeds/$target" ] && seeds=("tests/fuzz/seeds/$target")
    echo "== $target: $seconds s"
    # Standard error closed for the code under test (its diagnostics are not findings);
    # libFuzzer keeps its own copy for reports. Lines longer than 4 KiB must be reachable.
    log="$build/$target.log"
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -close_fd_mask=2 -max_len=20000 \
        -timeout=10 -artifact_prefix="$build/$target-" "$corpus" "${seeds[@]}" >"$log" 2>&1
    status=$?
    grep -E '^(#[0-9]+.*DONE|==[0-9]+==|SUMMARY)' "$log"
    if [ $status -ne 0 ]; then
        tail -40 "$log"
        echo "FAILED: $target (the whole log is $log)"
        failed=1
    fi
done
exit $failed
