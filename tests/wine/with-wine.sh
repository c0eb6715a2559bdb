#!/usr/bin/env bash
# Runs one command inside one Xvfb display and one fresh Wine prefix, then tears both down.
#
#   tests/wine/with-wine.sh CMD [ARG...]
#
# Everything Wine-related that CMD starts shares the display, the prefix and one persistent
# wineserver, so a suite of many short runs pays Wine's cold start once. The exit status is
# CMD's. Nested calls (ZEMBREL_WINE_SESSION=1 with WINEPREFIX and DISPLAY set) just run CMD.
#
# The loader is chosen here, once, and exported as ZEMBREL_WINE for everything inside
# (tests/wine/wine.sh, the tests' emulator, runs it): ZEMBREL_WINE_ARCH=wow takes plain wine
# in a prefix that runs 32-bit and 64-bit programs; ZEMBREL_WINE_ARCH=win64 takes Wine's
# 64-bit loader in a 64-bit prefix, for kernels that run no 32-bit code. Unset, it is wow
# where an i386 program runs (natively or emulated, see scripts/i386.sh), else win64.
#
# Environment: ZEMBREL_WINE (the loader for wow, default wine), ZEMBREL_WINESERVER (default
# wineserver), ZEMBREL_WINE_LOGDIR (keep Xvfb's and wineboot's output there instead of
# discarding it), ZEMBREL_XVFB_SCREEN (default 1024x768x24).
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 CMD [ARG...]" >&2
    exit 2
fi

if [ "${ZEMBREL_WINE_SESSION:-}" = 1 ] && [ -n "${WINEPREFIX:-}" ] && [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi

WINESERVER=${ZEMBREL_WINESERVER:-wineserver}
SCREEN=${ZEMBREL_XVFB_SCREEN:-1024x768x24}
ARCH=${ZEMBREL_WINE_ARCH:-}
if [ -z "$ARCH" ]; then
    # shellcheck source=../../scripts/i386.sh
    . "$(dirname "$0")/../../scripts/i386.sh"
    if i386_available; then ARCH=wow; else ARCH=win64; fi
fi
case $ARCH in
wow)
    WINE=${ZEMBREL_WINE:-wine}
    unset WINEARCH WINELOADER
    ;;
win64)
    # Debian's wine script always takes the 32-bit loader once wine32 is installed.
    WINE=/usr/lib/wine/wine64
    export WINEARCH=win64 WINELOADER=$WINE
    ;;
*)
    echo "with-wine.sh: ZEMBREL_WINE_ARCH must be wow or win64, not $ARCH" >&2
    exit 2
    ;;
esac

for tool in Xvfb "$WINE" "$WINESERVER"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "with-wine.sh: $tool not found" >&2
        exit 127
    fi
done

session=$(mktemp -d "${TMPDIR:-/tmp}/zembrel-wine.XXXXXX") || exit 1
logdir=${ZEMBREL_WINE_LOGDIR:-$session/log}
mkdir -p "$logdir" "$session/prefix" || exit 1
xvfb_pid=
cmd_pid=
keepalive_pid=
server_dir=
server_started=

# shellcheck disable=SC2317 # run by the traps
cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # Xvfb and the server inherit the boot lock: a session that fails while it boots lets go.
    flock -u 8 2>/dev/null
    if [ -n "$cmd_pid" ] && kill -0 "$cmd_pid" 2>/dev/null; then
        kill -TERM "$cmd_pid" 2>/dev/null
        wait "$cmd_pid" 2>/dev/null
    fi
    exec 9>&-
    if [ -n "$server_started" ]; then
        # The server's folder is named after the prefix's device and inode; Debian's Wine puts
        # it in a fresh /tmp/wine-XXXXXX instead of /tmp/.wine-UID, and leaves that behind.
        server_name=server-$(printf '%x-%x' "$(stat -c %d "$session/prefix")" \
            "$(stat -c %i "$session/prefix")")
        for candidate in /tmp/wine-*/"$server_name" "/tmp/.wine-$(id -u)/$server_name"; do
            [ -d "$candidate" ] && server_dir=$candidate
        done
        # -k ends every Wine process of the prefix; -w then waits for the server to go.
        WINEPREFIX="$session/prefix" "$WINESERVER" -k >>"$logdir/wineserver.log" 2>&1
        WINEPREFIX="$session/prefix" timeout 20 "$WINESERVER" -w >>"$logdir/wineserver.log" 2>&1
        # -w can return while the server is still going down; its socket goes last.
        if [ -n "$server_dir" ]; then
            for _ in $(seq 100); do [ -e "$server_dir/socket" ] || break; sleep 0.1; done
            case $server_dir in
            /tmp/wine-*) rm -rf "$server_dir" && rmdir "$(dirname "$server_dir")" 2>/dev/null ;;
            esac
        fi
    fi
    [ -n "$keepalive_pid" ] && wait "$keepalive_pid" 2>/dev/null
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$session"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    echo "with-wine.sh: $1" >&2
    for log in "$logdir"/*.log; do
        [ -s "$log" ] || continue
        echo "--- $log (last lines)" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Sessions that start at the same time boot one after another: on a fresh /tmp, Wines starting
# side by side in different prefixes have failed to load kernel32.dll, or hung. The lock is
# held until the prefix is up and its keepalive runs; an exiting session lets go of it too.
exec 8>"${TMPDIR:-/tmp}/zembrel-wine-boot.lock" || fail "cannot open the boot lock"
flock 8 || fail "cannot take the boot lock"

# Xvfb picks a free display number itself and writes it to fd 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 "$SCREEN" -nolisten tcp -noreset \
    3>"$session/display" </dev/null >"$logdir/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$session/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb exited"
    sleep 0.1
done
[ -s "$session/display" ] || fail "Xvfb did not report a display"
DISPLAY=:$(tr -d '[:space:]' <"$session/display")

export DISPLAY
export WINEPREFIX="$session/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export ZEMBREL_WINE_SESSION=1
export ZEMBREL_WINE=$WINE ZEMBREL_WINE_ARCH=$ARCH

# Wine's own output goes to files: its helper processes outlive the commands that start
# them and would hold a pipe open.
# The server first, persistent, so it stays up between the many short runs.
server_started=1
"$WINESERVER" -p </dev/null >>"$logdir/wineserver.log" 2>&1 || fail "wineserver -p failed"
"$WINE" wineboot -i </dev/null >"$logdir/wineboot.log" 2>&1 || fail "wineboot -i failed"
# Without a window manager, hiding a managed window waits 2 s for X.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
    </dev/null >>"$logdir/wineboot.log" 2>&1 || fail "could not set X11 Driver\\Managed"
# A program that crashes ends with its exception code instead of waiting on a crash dialog.
"$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >>"$logdir/wineboot.log" 2>&1 || fail "could not set WineDbg\\ShowCrashDialog"

# While no program of the prefix runs, Wine ends its services; the next program that needs
# RpcSs (every window's IME context initialises COM) then waits 10 s for it. A cmd.exe that
# reads a pipe no one writes to keeps one program running for the whole session.
mkfifo "$session/keepalive" || fail "mkfifo failed"
exec 9<>"$session/keepalive"
"$WINE" cmd.exe /q /k <"$session/keepalive" >"$logdir/keepalive.log" 2>&1 &
keepalive_pid=$!
flock -u 8
exec 8>&-

# A command that is started with no standard input at all gets an empty one.
if ! { true <&0; } 2>/dev/null; then
    exec 0</dev/null
fi
"$@" &
cmd_pid=$!
wait "$cmd_pid"
status=$?
cmd_pid=
exit "$status"
