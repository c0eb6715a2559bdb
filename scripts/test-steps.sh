# The steps of test-all.sh and how each is recorded for the summary. Sourced; bash only.
#
#   step NAME STATE WHAT          records a step: passed, FAILED, or skipped (WHAT is the reason)
#   not_run NAME REQUIRED WHY     a step that cannot run: FAILED when required, else skipped
#   build PRESET                  configures and builds a preset, as one step
#   run_tests NAME PRESET ARGS    a preset's ctest run, its JUnit report kept for the summary
#   fuzz_start / fuzz_finish      the fuzz targets, in the background at nice 19
#   summarise                     the table, the totals and the verdict (the last line)

JOBS=$(nproc 2>/dev/null || echo 2)
results=$PWD/build/results
steps=() # "name|state|what"

step() { # NAME STATE WHAT
    steps+=("$1|$2|$3")
    case $2 in
    FAILED) say "FAILED $1: $3" ;;
    skipped) say "NOT RUN $1: $3" ;;
    esac
    return 0
}

not_run() { # NAME required|optional WHY
    if [ "$2" = required ]; then
        step "$1" FAILED "could not run: $3"
    else
        step "$1" skipped "$3"
    fi
}

build() { # PRESET
    say "cmake --preset $1 && cmake --build --preset $1"
    if cmake --preset "$1" && cmake --build --preset "$1" -j "$JOBS"; then
        step "$1 build" passed "configured and built"
    else
        step "$1 build" FAILED "configure or build failed"
        return 1
    fi
}

run_tests() { # NAME PRESET [CTEST ARGS...]
    local name=$1 preset=$2
    shift 2
    say "ctest --preset $preset $*"
    if ctest --preset "$preset" -j "$JOBS" --no-tests=error --output-junit "$results/$name.xml" "$@"; then
        step "$name" passed "ctest"
    else
        step "$name" FAILED "ctest --preset $preset $*"
    fi
}

# The fuzz targets run for a bounded time each, from the start: they yield the processor to
# the builds and to Wine (nice 19), and end on time either way, with fewer runs when busy.
fuzz_pid=
fuzz_start() {
    fuzz_seconds=${ZEMBREL_FUZZ_SECONDS:-60}
    say "fuzzing in the background: nice -n 19 tests/fuzz/run.sh $fuzz_seconds (output at the end)"
    nice -n 19 tests/fuzz/run.sh "$fuzz_seconds" >"$results/fuzz.log" 2>&1 &
    fuzz_pid=$!
}

fuzz_finish() {
    [ -n "$fuzz_pid" ] || return 0
    local status targets
    wait "$fuzz_pid"
    status=$?
    say "tests/fuzz/run.sh $fuzz_seconds"
    cat "$results/fuzz.log"
    targets=$(grep -c 'runs, clean$' "$results/fuzz.log")
    case $status in
    0) step fuzz passed "$targets targets, $fuzz_seconds s each, nothing found" ;;
    77) not_run fuzz optional "$(grep -m1 '^== skipping' "$results/fuzz.log" | sed 's/^== //')" ;;
    *) step fuzz FAILED "see above and build/fuzz/*.log" ;;
    esac
}

summarise() {
    say "summary"
    if command -v python3 >/dev/null; then
        python3 scripts/summary.py "$results" "${steps[@]}"
        return
    fi
    printf '  %s\n' "${steps[@]}"
    echo "FAILED: python3 is missing, so the tests' reports cannot be read (as root: apt-get install python3)"
    return 1
}
