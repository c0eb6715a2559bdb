# Which Wine runs which Windows build, decided from what is installed and what starts, and
# the Wine sessions that follow. Sourced by test-all.sh after setup.sh, i386.sh, i386-root.sh
# and test-steps.sh; bash only.
#
#   wine_plan X64 I686 INTEROP DEVICE
#                                fills wine_sessions ("ARCH PART..."; ARCH wow, win64 or chroot)
#                                and records as not run what no Wine here can run
#   wine_run                     runs the sessions side by side and records each part
#
# The x86-64 build runs under Wine's 64-bit loader in a win64 prefix wherever the 32-bit side
# is missing or cannot run. The i686 build, the device's own architecture, runs where Wine's
# 32-bit side is installed and starts (natively, or under qemu where the kernel runs no 32-bit
# code); where multiarch cannot install wine32:i386, in a private i386 root (i386-root.sh). The
# device build, a 32-bit image started through a 32-bit loader, runs wherever the i686 build does.
# The registry interop needs a build of the host and runs in the first plain or win64 session.

wine_sessions=()
WINE_ROUTE=

wine64_starts() { /usr/lib/wine/wine64 --version >/dev/null 2>&1; }
wine32_starts() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

wine_plan() { # X64 I686 INTEROP DEVICE (each a preset name or empty)
    local x64=$1 i686=$2 interop=$3 device=${4:-} i386= why= wine32= part
    if [ -z "$x64$i686$device" ]; then
        not_run Wine required "no Windows build to run"
        return
    fi
    if [ -n "$(missing_of "${WINE64_PACKAGES[@]}")" ]; then
        not_run Wine required "${INSTALL_WHY[wine64]:-missing $(missing_of "${WINE64_PACKAGES[@]}")}"
        return
    fi
    if ! wine64_starts; then
        not_run Wine required "Wine's 64-bit loader does not start: $(/usr/lib/wine/wine64 --version 2>&1 | tail -n 1)"
        return
    fi
    [ -z "$(missing_of "${WINE32_PACKAGES[@]}")" ] && wine32=1

    # Can 32-bit x86 programs run here, natively or emulated?
    i386_emulation_stop # a registration left by a run that was killed
    if [ -z "$i686$device" ]; then
        :
    elif kernel_runs_i386; then
        i386=native
    elif [ "${ZEMBREL_I386_EMULATION:-1}" = 0 ]; then
        why="this kernel runs no 32-bit x86 code, and emulation is turned off (ZEMBREL_I386_EMULATION=0)"
    elif i386_emulation_start; then
        i386=emulated
        trap 'i386_emulation_stop' EXIT
    else
        why="this kernel runs no 32-bit x86 code, and it cannot be emulated here ($I386_WHY)"
    fi

    # Which Wine runs the 32-bit builds.
    if [ -z "$i686$device" ] || [ -z "$i386" ]; then
        WINE_ROUTE=
    elif [ -n "$wine32" ]; then
        if wine32_starts; then
            WINE_ROUTE=wine32-$i386
        else
            why="wine32:i386 is installed but does not start: $(/usr/lib/wine/wine --version 2>&1 | tail -n 1)"
        fi
    elif i386_root_usable; then
        WINE_ROUTE=i386-root
    else
        why="wine32:i386 is not installed (${INSTALL_WHY[wine32]:-missing}), and a private i386 root cannot be had: $I386_ROOT_WHY"
    fi

    case $WINE_ROUTE in
    wine32-native)
        # The device build's suite and differential wait on countdowns as much as the two
        # desktop builds' suites: a session of its own, side by side, halves the wait.
        say "Wine: every build under plain wine (32-bit code runs natively), the device build in a session of its own"
        wine_sessions=("wow $interop $i686 $x64" "wow $device")
        ;;
    wine32-emulated)
        # Emulated, the 32-bit builds' tests take longest: the i686 suite, its typed keys (with
        # the interop) and the device build's tests run in sessions of their own, side by side;
        # the x86-64 build pays nothing for emulation under the 64-bit loader.
        # A differential scenario takes ten to twenty seconds emulated: six of them keep the
        # device build's session as long as the i686 suite's.
        export ZEMBREL_DIFFERENTIAL_COUNT=${ZEMBREL_DIFFERENTIAL_COUNT:-6}
        say "Wine: the i686 and device builds under plain wine, its 32-bit side under qemu-i386 ($ZEMBREL_DIFFERENTIAL_COUNT differential scenarios, not 60); the x86-64 build under Wine's 64-bit loader"
        wine_sessions=("wow ${i686:+$i686:suite}" "wow $interop ${i686:+$i686:keys}" "wow $device" "win64 $x64")
        ;;
    i386-root)
        say "Wine: the i686 and device builds in a private i386 root (wine32:i386 is not installed here); the x86-64 build under Wine's 64-bit loader"
        wine_sessions=("chroot $i686 $device" "win64 $interop $x64")
        ;;
    *)
        say "Wine: the x86-64 build under Wine's 64-bit loader${i686:+; no Wine here runs the i686 build}${device:+ or the device build}"
        for part in $i686 $device; do not_run "wine-$part" optional "$why"; done
        if [ -z "$x64" ]; then
            not_run Wine required "no Windows build can run under Wine here: $why"
            return
        fi
        wine_sessions=("win64 $interop $x64")
        ;;
    esac
}

wine_session() { # ARCH PART...
    local arch=$1
    shift
    say "Wine ($arch): $*"
    if [ "$arch" != chroot ]; then
        scripts/wine-session.sh "$results" "$arch" "$@"
        return
    fi
    if ! i386_root_ensure; then
        local part
        for part; do echo "$I386_ROOT_WHY" >"$results/wine-$part.why"; done
        return 1
    fi
    # The tests name the Python that CMake found on the host by its path: the root's own
    # stands in for it there.
    local python
    python=$(sed -n 's/^_\?Python3_EXECUTABLE:[A-Z]*=//p' "build/${1%:*}/CMakeCache.txt")
    if [ -n "$python" ] && [ ! -e "$(i386_root_dir)$python" ]; then
        mkdir -p "$(i386_root_dir)$(dirname "$python")" &&
            ln -sfn /usr/bin/python3 "$(i386_root_dir)$python"
    fi
    i386_root_run "$PWD" scripts/wine-session.sh "$results" wow "$@"
}

wine_record() { # STATUS ARCH PART...
    local session=$1 arch=$2 part
    shift 2
    [ "$arch" = chroot ] && arch="wow, in the private i386 root"
    for part; do
        if [ -e "$results/wine-$part.why" ]; then
            not_run "wine-$part" optional "the private i386 root could not be made: $(cat "$results/wine-$part.why")"
        elif [ ! -e "$results/wine-$part.status" ]; then
            step "wine-$part" FAILED "the Wine session failed before it ran (status $session)"
        elif [ "$(cat "$results/wine-$part.status")" = 0 ]; then
            step "wine-$part" passed "under Wine ($arch)"
        else
            step "wine-$part" FAILED "under Wine ($arch)"
        fi
    done
}

# The sessions run side by side: much of a Wine suite's time is spent waiting on countdowns.
# They boot one after another (with-wine.sh), in the order they are started, so the longest
# goes first. The first session's output comes as it runs, each other's when it has ended.
wine_run() {
    local session started=() pid log status
    for session in "${wine_sessions[@]}"; do
        # shellcheck disable=SC2086 # the words of a session are its arch and parts
        set -- $session
        [ $# -gt 1 ] || continue # a session whose builds all failed
        if [ ${#started[@]} -eq 0 ]; then
            log=
            wine_session "$@" &
        else
            sleep 1 # lets the one started before take the boot lock first
            log=$results/wine-session-${#started[@]}.log
            say "Wine ($1): ${*:2} runs alongside; its output follows when it ends"
            wine_session "$@" >"$log" 2>&1 &
        fi
        started+=("$!|$log|$session")
    done
    for session in "${started[@]}"; do
        IFS='|' read -r pid log session <<<"$session"
        wait "$pid"
        status=$?
        [ -n "$log" ] && cat "$log"
        # shellcheck disable=SC2086
        wine_record $status $session
    done
}
