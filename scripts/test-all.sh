#!/usr/bin/env bash
# Sets up a Debian machine for zembrel, builds every target and runs every test.
# With --install-only it only installs what the machine lacks.
#
# Installs what the machine lacks (as root, through apt-get); without root or apt it names the
# missing packages and skips only the builds and tests that need them. Exits non-zero when a
# build or a test fails.
set -uo pipefail
cd "$(dirname "$0")/.."

JOBS=$(nproc 2>/dev/null || echo 2)
HOST_PACKAGES=(cmake make g++ googletest libncurses-dev llvm clang python3 tmux)
MINGW_PACKAGES=(mingw-w64)
WINE_PACKAGES=(wine wine64 wine32:i386 xvfb xauth)

say() { printf '== %s\n' "$*"; }

missing_of() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$package")
    done
    echo "${missing[@]:-}"
}

install_missing() {
    local wanted=("${HOST_PACKAGES[@]}" "${MINGW_PACKAGES[@]}" "${WINE_PACKAGES[@]}")
    if ! command -v dpkg-query >/dev/null; then
        say "no dpkg here: install by hand what this list names: ${wanted[*]}"
        return
    fi
    local missing
    missing=$(missing_of "${wanted[@]}")
    [ -n "$missing" ] || return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        say "not root or no apt-get: these packages are missing: $missing"
        return
    fi
    say "installing: $missing"
    export DEBIAN_FRONTEND=noninteractive
    case " $missing " in *":i386 "*) dpkg --add-architecture i386 ;; esac
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
}

install_missing
[ "${1:-}" = "--install-only" ] && exit 0

failures=0
run() {
    say "$*"
    if ! "$@"; then
        say "FAILED: $*"
        failures=$((failures + 1))
        return 1
    fi
}

if [ -n "$(missing_of "${HOST_PACKAGES[@]}")" ]; then
    say "skipping the POSIX builds and tests: missing $(missing_of "${HOST_PACKAGES[@]}")"
    failures=$((failures + 1))
else
    for preset in host asan; do
        run cmake --preset "$preset"
        run cmake --build --preset "$preset" -j "$JOBS"
        run ctest --preset "$preset" -j "$JOBS"
    done
fi

windows_built=()
if [ -n "$(missing_of "${MINGW_PACKAGES[@]}")" ]; then
    say "skipping the Windows builds: missing ${MINGW_PACKAGES[*]}"
else
    for preset in mingw-i686 mingw-x64; do
        run cmake --preset "$preset"
        run cmake --build --preset "$preset" -j "$JOBS" && windows_built+=("$preset")
    done
fi

if [ ${#windows_built[@]} -eq 0 ]; then
    say "skipping the Wine tests: no Windows build"
elif [ -n "$(missing_of "${WINE_PACKAGES[@]}")" ]; then
    say "skipping the Wine tests: missing $(missing_of "${WINE_PACKAGES[@]}")"
else
    # One Xvfb and one Wine prefix for both builds' tests.
    # The POSIX store's interop with Wine's regedit runs in the same session.
    run tests/wine/with-wine.sh bash -c \
        'status=0
         ctest --preset host -L wine || status=1
         for preset; do ctest --preset "$preset" || status=1; done
         exit $status' \
        wine-tests "${windows_built[@]}"
fi

if [ "$failures" -ne 0 ]; then
    say "$failures step(s) failed"
    exit 1
fi
say "all builds and tests passed"
