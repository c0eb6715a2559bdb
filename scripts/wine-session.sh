#!/usr/bin/env bash
# Runs Wine tests in one Wine session (one Xvfb, one prefix): a part at a time, each part's
# ctest report and exit status kept in RESULTS for test-all.sh's summary.
#
#   scripts/wine-session.sh RESULTS ARCH PART...
#
# ARCH is wow (plain wine) or win64 (Wine's 64-bit loader). A part is
#   interop        the POSIX store against Wine's regedit and reg (the host build's test)
#   PRESET         a Windows preset's whole Wine suite
#   PRESET:keys    only its typed keys;  PRESET:suite  all but those
# Writes RESULTS/wine-PART.xml and RESULTS/wine-PART.status (ctest's exit status).
set -u
cd "$(dirname "$0")/.." || exit
results=$1 arch=$2
shift 2
export RESULTS=$results
ZEMBREL_WINE_ARCH=$arch exec tests/wine/with-wine.sh bash -c '
    for part; do
        case $part in
        interop) tests=(--preset host -L wine) ;;
        *:keys) tests=(--preset "${part%:*}" -L wine -R "^wine_typed_keys\$") ;;
        *:suite) tests=(--preset "${part%:*}" -L wine -E "^wine_typed_keys\$") ;;
        *) tests=(--preset "$part" -L wine) ;;
        esac
        ctest "${tests[@]}" --no-tests=error --output-junit "$RESULTS/wine-$part.xml"
        echo $? >"$RESULTS/wine-$part.status"
    done' wine-tests "$@"
