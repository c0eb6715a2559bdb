# What zembrel's builds need from Debian, and installing what the machine lacks.
# Sourced by demo.sh and test-all.sh; bash only.

# The POSIX build: what the demo needs, and all the release build needs.
POSIX_PACKAGES=(cmake make g++ libncurses-dev llvm)
# Its tests, on top of that (libclang-rt-dev holds libFuzzer).
TEST_PACKAGES=(googletest clang libclang-rt-dev python3 tmux)
# The Windows builds, and the check of what they are (pefile reads the exe without running it).
MINGW_PACKAGES=(mingw-w64 python3-pefile)
# wine32 is installed on every kernel: where the kernel runs no 32-bit code, it runs emulated.
# Wine's own fonts draw the dialog as Windows does; xdotool types keys through the X server;
# imagemagick and x11-utils take the pictures of the dialog.
WINE_PACKAGES=(wine wine64 wine32:i386 xvfb xauth fonts-wine xdotool imagemagick x11-utils)

say() { printf '== %s\n' "$*"; }

missing_of() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$package")
    done
    echo "${missing[@]:-}"
}

# Installs the named packages that are missing (as root, through apt-get); elsewhere names them.
install_missing() {
    local missing
    if ! command -v dpkg-query >/dev/null; then
        say "no dpkg here: install by hand what this list names: $*"
        return
    fi
    missing=$(missing_of "$@")
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
