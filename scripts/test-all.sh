#!/usr/bin/env bash
# Sets up a Debian machine for zembrel, builds every target and runs every test.
#
#   scripts/test-all.sh                  install what is missing, build, test, summarise
#   scripts/test-all.sh --install-only   only install
#
# Required: the POSIX port's host and asan suites, the three Windows builds (both desktop ones
# and the device's) with their PE checks, and the whole Wine suite of at least one Windows build
# with the registry interop. A required
# step that cannot run is a failure, with its reason. Optional, and named as not run with the
# reason: the Wine suites of the i686 and device builds where no Wine here can run them, the fuzzers where
# libFuzzer is missing, and single tests that cannot run on this machine.
#
# The last line is the verdict: "all builds and tests passed" only when every step and every
# test in one ran and passed; "passed; not run: ..." when nothing failed but something did not
# run (exit 0); "FAILED: ..." otherwise (exit 1).
set -uo pipefail
cd "$(dirname "$0")/.." || exit
. scripts/setup.sh
. scripts/i386.sh
. scripts/i386-root.sh
. scripts/test-steps.sh
. scripts/wine-routes.sh

# 1. Packages, a group at a time, so that one that cannot be had costs only what needs it.
install_group posix "${POSIX_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_group mingw "${MINGW_PACKAGES[@]}"
install_group wine64 "${WINE64_PACKAGES[@]}"
install_group wine32 "${WINE32_PACKAGES[@]}"
[ "${1:-}" = --install-only ] && exit 0
rm -rf "$results"
mkdir -p "$results"

# 2. The fuzz targets, in the background from the start.
if [ -z "$(missing_of "${POSIX_PACKAGES[@]}" "${TEST_PACKAGES[@]}")" ]; then
    fuzz_start
else
    not_run fuzz optional "${INSTALL_WHY[posix]:-missing packages}"
fi

# 3. The POSIX port, plain and under the sanitizers; its Wine-labelled tests run under Wine.
host_built=
if [ -n "$(missing_of "${POSIX_PACKAGES[@]}" "${TEST_PACKAGES[@]}")" ]; then
    not_run "host, asan" required "${INSTALL_WHY[posix]:-missing packages}"
else
    build host && host_built=1 && run_tests host host -LE wine
    build asan && run_tests asan asan -LE wine
fi

# 4. The three zembrel.exe (both desktop builds and the device's), and what can be checked
#    without running them.
x64= i686= device=
if [ -n "$(missing_of "${MINGW_PACKAGES[@]}")" ]; then
    not_run "mingw-i686, mingw-x64, wince-x86" required "${INSTALL_WHY[mingw]:-missing packages}"
else
    build mingw-i686 && i686=mingw-i686 && run_tests mingw-i686 mingw-i686 -LE wine
    build mingw-x64 && x64=mingw-x64 && run_tests mingw-x64 mingw-x64 -LE wine
    build wince-x86 && device=wince-x86 && run_tests wince-x86 wince-x86 -LE wine
fi

# 5. Under Wine: which Wine runs which build, then the sessions side by side.
wine_plan "$x64" "$i686" "${host_built:+interop}" "$device"
wine_run

# 6. The fuzzers' outcome, and the verdict.
fuzz_finish
summarise
