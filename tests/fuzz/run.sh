#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (the fuzz preset) and runs each one for
# a bounded time, from its seeds in tests/fuzz/seeds/<target>/ and what earlier runs found.
#
#   tests/fuzz/run.sh [SECONDS] [TARGET...]   default: ZEMBREL_FUZZ_SECONDS or 60 seconds each,
#                                             every *_fuzz target
#   ZEMBREL_FUZZ_JOBS                         build jobs (default 2)
#
# Exits 0 when every target ran clean; 1 when one found a fault (the input that shows it is kept
# in build/fuzz/findings/<target>/, the report in build/fuzz/<target>.log) or nothing could be
# built; 77, after one line saying why, when this machine cannot build libFuzzer programs.
set -uo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-${ZEMBREL_FUZZ_SECONDS:-60}}
shift $(($# > 0 ? 1 : 0))
jobs=${ZEMBREL_FUZZ_JOBS:-2}
say() { printf '== %s\n' "$*"; }

for tool in cmake clang clang++; do
    if ! command -v "$tool" >/dev/null; then
        say "skipping the fuzz targets: $tool is not installed"
        exit 77
    fi
done
# libFuzzer ships with clang's runtime libraries, which some installations lack.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    2>"$probe/log"; then
    say "skipping the fuzz targets: clang cannot link a libFuzzer program here: $(head -n 1 "$probe/log")"
    exit 77
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in tests/fuzz/*_fuzz.cpp; do
        [ -e "$source" ] && targets+=("$(basename "$source" .cpp)")
    done
fi
if [ ${#targets[@]} -eq 0 ]; then
    say "FAILED: no fuzz target in tests/fuzz"
    exit 1
fi
if ! cmake --preset fuzz >"$probe/configure.log" 2>&1; then
    cat "$probe/configure.log"
    say "FAILED: configuring the fuzz preset"
    exit 1
fi
if ! cmake --build --preset fuzz -j "$jobs" --target "${targets[@]}"; then
    say "FAILED: building the fuzz targets"
    exit 1
fi

failures=0
for name in "${targets[@]}"; do
    corpora=("build/fuzz/corpus/$name")
    [ -d "tests/fuzz/seeds/$name" ] && corpora+=("tests/fuzz/seeds/$name")
    findings="build/fuzz/findings/$name"
    log="build/fuzz/$name.log"
    mkdir -p "${corpora[0]}" "$findings"
    say "fuzzing $name for ${seconds} s"
    # Standard error closed for the code under test: its own lines are no findings, and
    # libFuzzer keeps a copy for its reports. Long lines must be reachable.
    if "build/fuzz/tests/fuzz/$name" -max_total_time="$seconds" -timeout=30 -max_len=20000 \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$findings/" "${corpora[@]}" \
        >"$log" 2>&1; then
        say "$name: $(awk '/stat::number_of_executed_units/ {print $2}' "$log") runs, clean"
    else
        tail -n 40 "$log"
        say "FAILED: $name found a fault: its input is in $findings/, its report in $log"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ]
