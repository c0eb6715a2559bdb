# What zembrel's builds need from Debian, and installing what the machine lacks, in groups.
# Sourced by demo.sh, test-all.sh and scripts/i386-root.sh; bash only.
#
# Each group is installed by its own apt-get call, so that one package that cannot be had
# costs only the steps that need it: on some machines the archive's i386 side lags its amd64
# side and wine32:i386 cannot be installed at all, while everything else can.
#
#   install_group NAME PACKAGE...   installs what of the group is missing (as root, through
#                                   apt-get, retrying a flaky mirror); 0 when all of it is
#                                   installed afterwards, else 1 with the reason, apt's own
#                                   last error lines included, in INSTALL_WHY[NAME]
#   missing_of PACKAGE...           the packages of the list that are not installed
#
# ZEMBREL_APT_TRIES (default 3) and ZEMBREL_APT_RETRY_SECONDS (default 5) set the retries.

# The POSIX build: what the demo needs, and all the release build needs.
POSIX_PACKAGES=(cmake make g++ libncurses-dev llvm)
# Its tests, on top of that (libclang-rt-dev holds libFuzzer).
TEST_PACKAGES=(googletest clang libclang-rt-dev python3 tmux)
# The Windows builds, and the check of what they are (pefile reads the exe without running it).
MINGW_PACKAGES=(mingw-w64 python3-pefile)
# Wine's 64-bit side, which runs the x86-64 build on every machine. Wine's own fonts draw the
# dialog as Windows does; xdotool types keys through the X server; imagemagick and x11-utils
# take the pictures of the dialog.
WINE64_PACKAGES=(wine wine64 xvfb xauth fonts-wine xdotool imagemagick x11-utils)
# Wine's 32-bit side, for the i686 build (the device's own architecture); last and alone.
WINE32_PACKAGES=(wine32:i386)

declare -A INSTALL_WHY=()
apt_updated=

say() { printf '== %s\n' "$*"; }

missing_of() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$package")
    done
    echo "${missing[@]:-}"
}

# apt's own reason for a failure: its last error lines from LOG, on one line.
apt_reason() { # LOG
    local lines
    lines=$(grep -E '^(E|Err|W):' "$1" | tail -n 3)
    [ -n "$lines" ] || lines=$(grep -v '^[[:space:]]*$' "$1" | tail -n 2)
    printf '%s' "$lines" | tr '\n' ' ' | sed 's/[[:space:]]*$//'
}

# A download that failed is worth another try; a resolver that gave up is not.
apt_transient() { # LOG
    grep -qE 'Failed to fetch|unexpected size|Hash Sum mismatch|Temporary failure|Could not connect|Connection (failed|timed out)|Mirror sync' "$1"
}

apt_run() { # LOG APT-GET-ARGS...: apt-get, tried again while it fails on a download
    local log=$1 try tries=${ZEMBREL_APT_TRIES:-3}
    shift
    for ((try = 1; try <= tries; try++)); do
        apt-get "$@" >"$log" 2>&1 && return 0
        apt_transient "$log" || return 1
        [ "$try" -lt "$tries" ] && sleep "${ZEMBREL_APT_RETRY_SECONDS:-5}"
    done
    return 1
}

# apt-get update, once a run. When it still fails, the groups are tried with the lists that
# did download, and the reason is kept for the groups that then fail.
apt_update() {
    [ -n "$apt_updated" ] && return 0
    apt_updated=1
    APT_UPDATE_WHY=
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/zembrel-apt.XXXXXX")
    if ! apt_run "$log" update -q; then
        APT_UPDATE_WHY="apt-get update failed: $(apt_reason "$log")"
        say "$APT_UPDATE_WHY (going on with the package lists that did download)"
    fi
    rm -f "$log"
}

install_group() { # NAME PACKAGE...
    local group=$1 missing log
    shift
    missing=$(missing_of "$@")
    [ -n "$missing" ] || return 0
    if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
        INSTALL_WHY[$group]="missing $missing, and no apt here to install it"
        return 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        INSTALL_WHY[$group]="missing $missing (as root: apt-get install $missing)"
        return 1
    fi
    say "installing ($group): $missing"
    export DEBIAN_FRONTEND=noninteractive
    case " $missing " in
    *":i386 "*)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
            apt_updated=
        fi
        ;;
    esac
    apt_update
    log=$(mktemp "${TMPDIR:-/tmp}/zembrel-apt.XXXXXX")
    # shellcheck disable=SC2086 # one word a package
    apt_run "$log" install -y -q --no-install-recommends $missing
    missing=$(missing_of "$@")
    if [ -n "$missing" ]; then
        INSTALL_WHY[$group]="$missing cannot be installed: $(apt_reason "$log")${APT_UPDATE_WHY:+ ($APT_UPDATE_WHY)}"
        say "not installed ($group): ${INSTALL_WHY[$group]}"
    fi
    rm -f "$log"
    [ -z "$missing" ]
}
