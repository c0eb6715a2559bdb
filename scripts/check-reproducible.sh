#!/usr/bin/env bash
# Builds zembrel.exe twice from clean copies of the sources at two different paths and compares.
#
#   scripts/check-reproducible.sh [PRESET...]     (default: mingw-i686 mingw-x64 wince-x86)
#
# Each copy holds the files git tracks (with the working tree's changes), under a folder of
# another name and depth, so a path or a time that found its way into the exe would show.
# Prints each build's size and SHA-256; exits 1 when two builds of a preset differ, 77 when
# the cross compilers are missing (nothing could be built).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(mingw-i686 mingw-x64 wince-x86)
JOBS=${JOBS:-2}

for compiler in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
    if ! command -v "$compiler" >/dev/null; then
        echo "SKIP: reproducibility not checked: $compiler not found (Debian package mingw-w64)"
        exit 77
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zembrel-repro.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

copy_sources() {
    mkdir -p "$1" &&
        git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
            tar --null -T - -cf - | tar -xf - -C "$1"
}

status=0
for preset in "${presets[@]}"; do
    sums=()
    for tree in "$scratch/a/src" "$scratch/b/elsewhere/zembrel-source"; do
        rm -rf "$tree"
        if ! copy_sources "$tree"; then
            echo "FAIL $preset: could not copy the sources"
            exit 1
        fi
        if ! (cd "$tree" && cmake --preset "$preset" -DZEMBREL_TESTS=OFF >"$tree.log" 2>&1 &&
            cmake --build --preset "$preset" -j "$JOBS" --target zembrel >>"$tree.log" 2>&1); then
            echo "FAIL $preset: the build in $tree failed; its last lines:"
            tail -n 20 "$tree.log"
            exit 1
        fi
        exe="$tree/build/$preset/zembrel.exe"
        sum=$(sha256sum "$exe" | cut -d' ' -f1)
        printf '%s: %s bytes, sha256 %s (built in %s)\n' "$preset" "$(stat -c %s "$exe")" "$sum" "$tree"
        sums+=("$sum")
    done
    if [ "${sums[0]}" = "${sums[1]}" ]; then
        echo "ok   $preset: both builds are byte for byte the same"
    else
        echo "FAIL $preset: the two builds differ"
        cmp -l "$scratch/a/src/build/$preset/zembrel.exe" \
            "$scratch/b/elsewhere/zembrel-source/build/$preset/zembrel.exe" | head -n 10
        status=1
    fi
done
exit "$status"
