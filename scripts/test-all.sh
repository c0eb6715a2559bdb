#!/usr/bin/env bash
# Sets up a Debian machine for zembrel, builds every target and runs every test.
# With --install-only it only installs what the machine lacks.
#
# Installs what the machine lacks (as root, through apt-get); without root or apt it names the
# missing packages and skips only the builds and tests that need them. Where the kernel runs no
# 32-bit x86 code, the i686 build's Wine tests run under user-mode emulation (scripts/i386.sh;
# ZEMBREL_I386_EMULATION=0 leaves the machine's binfmt_misc alone), else they are skipped and
# the x86-64 build's run under Wine's 64-bit loader. Every step that could not run says why in
# one line and is counted as skipped in the summary at the end. Exits non-zero when a build or
# a test fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit
. scripts/setup.sh
. scripts/i386.sh

JOBS=$(nproc 2>/dev/null || echo 2)
HOST_PACKAGES=("${POSIX_PACKAGES[@]}" "${TEST_PACKAGES[@]}")

install_missing "${HOST_PACKAGES[@]}" "${MINGW_PACKAGES[@]}" "${WINE_PACKAGES[@]}"
[ "${1:-}" = "--install-only" ] && exit 0

results=$PWD/build/results
rm -rf "$results"
mkdir -p "$results"
steps=() # "name|state|what": state is passed, FAILED or skipped
failures=0

step() { # step NAME STATE WHAT
    steps+=("$1|$2|$3")
    [ "$2" = FAILED ] && failures=$((failures + 1))
    [ "$2" = skipped ] && say "SKIPPED $1: $3"
    return 0
}

# Runs a command as the named step.
run() {
    local name=$1
    shift
    say "$*"
    if "$@"; then
        step "$name" passed "$*"
    else
        say "FAILED: $*"
        step "$name" FAILED "$*"
        return 1
    fi
}

# Configures and builds a preset, as one step.
build() {
    say "cmake --preset $1 && cmake --build --preset $1"
    if cmake --preset "$1" && cmake --build --preset "$1" -j "$JOBS"; then
        step "$1 build" passed "configured and built"
    else
        say "FAILED: building $1"
        step "$1 build" FAILED "configure or build failed"
        return 1
    fi
}

# Runs a preset's tests, with their results kept for the summary (in NAME.xml).
run_tests() { # run_tests NAME PRESET [CTEST ARGS...]
    local name=$1 preset=$2
    shift 2
    run "$name" ctest --preset "$preset" -j "$JOBS" --output-junit "$results/$name.xml" "$@"
}

# The fuzz targets build and run for a bounded time each, in the background, from the start:
# they yield the processor to the builds and to Wine (nice 19), and end on time either way,
# with fewer runs when the rest is busy.
host_missing=$(missing_of "${HOST_PACKAGES[@]}")
fuzz_pid=
if [ -z "$host_missing" ]; then
    fuzz_seconds=${ZEMBREL_FUZZ_SECONDS:-60}
    say "fuzzing in the background: nice -n 19 tests/fuzz/run.sh $fuzz_seconds (output at the end)"
    nice -n 19 tests/fuzz/run.sh "$fuzz_seconds" >"$results/fuzz.log" 2>&1 &
    fuzz_pid=$!
fi

host_built=
if [ -n "$host_missing" ]; then
    step "host, asan" skipped "missing $host_missing"
else
    for preset in host asan; do
        build "$preset" || continue
        [ "$preset" = host ] && host_built=1
        # The Wine-labelled ones run later, inside the Wine session.
        run_tests "$preset" "$preset" -LE wine
    done
fi

windows_built=()
if [ -n "$(missing_of "${MINGW_PACKAGES[@]}")" ]; then
    step "mingw-i686, mingw-x64" skipped "missing ${MINGW_PACKAGES[*]}"
else
    for preset in mingw-i686 mingw-x64; do
        build "$preset" || continue
        windows_built+=("$preset")
        # What can be checked without running the exe (its PE header, imports, resources).
        run_tests "$preset" "$preset" -LE wine
    done
fi

# Which Wine runs which build: where the kernel runs 32-bit code, plain wine runs both in one
# session. Where it does not, the i686 build runs under emulation in a session of its own, and
# the x86-64 build under Wine's 64-bit loader in another, which starts no 32-bit program (and
# so pays nothing for emulation); without emulation only that second session runs.
sessions=() # "ARCH PART...": a part is the registry interop or a Windows preset
if [ ${#windows_built[@]} -eq 0 ]; then
    step "Wine" skipped "no Windows build to run"
elif [ -n "$(missing_of "${WINE_PACKAGES[@]}")" ]; then
    step "Wine" skipped "missing $(missing_of "${WINE_PACKAGES[@]}")"
else
    i386_emulation_stop # a registration left by a run that was killed
    interop=${host_built:+interop}
    x64=
    i686=
    for preset in "${windows_built[@]}"; do
        [ "$preset" = mingw-x64 ] && x64=$preset
        [ "$preset" = mingw-i686 ] && i686=$preset
    done
    if kernel_runs_i386; then
        say "this kernel runs 32-bit x86 programs: both builds run under Wine"
        sessions=("wow $interop $i686 $x64")
    else
        if [ "${ZEMBREL_I386_EMULATION:-1}" = 0 ]; then
            I386_WHY="ZEMBREL_I386_EMULATION=0"
            say "this kernel runs no 32-bit x86 code, and emulation is turned off ($I386_WHY)"
        elif i386_emulation_start; then
            trap 'i386_emulation_stop' EXIT
            say "this kernel runs no 32-bit x86 code: Wine's 32-bit side runs under qemu-i386"
            # Emulated, the i686 build's Wine tests take longest: its suite and its typed keys
            # run in two sessions side by side. The interop stays where it has always passed,
            # in a session that plain wine runs.
            if [ -n "$i686" ]; then
                sessions=("wow $i686:suite" "wow $interop $i686:keys")
                interop=
            fi
        else
            say "this kernel runs no 32-bit x86 code, and emulation could not be had: $I386_WHY"
        fi
        if [ -n "$i686" ] && [ ${#sessions[@]} -eq 0 ]; then
            step "wine-mingw-i686" skipped "this kernel runs no 32-bit x86 code and it cannot be emulated here ($I386_WHY)"
        fi
        sessions+=("win64 $interop $x64")
    fi
fi

# One Xvfb and one Wine prefix for each session; each part's outcome is written to a file, for
# the summary. A part is the registry interop, a Windows preset's Wine tests, or only its typed
# keys (PRESET:keys) or all but those (PRESET:suite).
run_wine_session() { # ARCH PART...
    local arch=$1
    shift
    say "Wine ($arch): $*"
    ZEMBREL_WINE_ARCH=$arch RESULTS=$results tests/wine/with-wine.sh bash -c '
        for part; do
            case $part in
            interop) tests=(--preset host -L wine) ;;
            *:keys) tests=(--preset "${part%:*}" -L wine -R "^wine_typed_keys\$") ;;
            *:suite) tests=(--preset "${part%:*}" -L wine -E "^wine_typed_keys\$") ;;
            *) tests=(--preset "$part" -L wine) ;;
            esac
            ctest "${tests[@]}" --output-junit "$RESULTS/wine-$part.xml"
            echo $? >"$RESULTS/wine-$part.status"
        done' wine-tests "$@"
}

record_wine_session() { # STATUS ARCH PART...
    local session=$1 arch=$2 part
    shift 2
    for part; do
        if [ ! -e "$results/wine-$part.status" ]; then
            step "wine-$part" FAILED "the Wine session failed before it ran (status $session)"
        elif [ "$(cat "$results/wine-$part.status")" = 0 ]; then
            step "wine-$part" passed "under Wine ($arch)"
        else
            step "wine-$part" FAILED "under Wine ($arch)"
        fi
    done
}

# The sessions run side by side: much of a Wine suite's time is spent waiting on countdowns,
# and under emulation the i686 build's are the long ones. They boot one after another
# (with-wine.sh), in the order they are started, so the longest goes first. The first
# session's output comes as it runs, each other's when it has ended.
started=()
for session in "${sessions[@]}"; do
    # shellcheck disable=SC2086 # the words of a session are its arch and parts
    set -- $session
    [ $# -gt 1 ] || continue # a session whose builds all failed
    if [ ${#started[@]} -eq 0 ]; then
        log=
        run_wine_session "$@" &
    else
        sleep 1 # lets the one started before take the boot lock first
        log=$results/wine-session-${#started[@]}.log
        say "Wine ($1): ${*:2} runs alongside; its output follows when it ends"
        run_wine_session "$@" >"$log" 2>&1 &
    fi
    started+=("$!|$log|$session")
done
for session in "${started[@]}"; do
    IFS='|' read -r pid log session <<<"$session"
    wait "$pid"
    status=$?
    [ -n "$log" ] && cat "$log"
    # shellcheck disable=SC2086
    record_wine_session $status $session
done

if [ -n "$fuzz_pid" ]; then
    wait "$fuzz_pid"
    fuzz_status=$?
    say "tests/fuzz/run.sh $fuzz_seconds"
    cat "$results/fuzz.log"
    targets=$(grep -c 'runs, clean$' "$results/fuzz.log")
    case $fuzz_status in
    0) step fuzz passed "$targets targets, $fuzz_seconds s each, nothing found" ;;
    77) step fuzz skipped "$(grep -m1 '^== skipping' "$results/fuzz.log" | sed 's/^== //')" ;;
    *) step fuzz FAILED "see above and build/fuzz/*.log" ;;
    esac
fi

say "summary"
python3 scripts/summary.py "$results" "${steps[@]}"
if [ "$failures" -ne 0 ]; then
    say "$failures step(s) failed"
    exit 1
fi
say "all builds and tests passed"
