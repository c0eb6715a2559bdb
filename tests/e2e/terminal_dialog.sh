#!/usr/bin/env bash
# The dialog drawn in a real terminal (tmux): it shows, Esc cancels it, the terminal comes back.
set -u
zembrel=${1:?usage: terminal_dialog.sh path/to/zembrel}
zembrel=$(cd "$(dirname "$zembrel")" && pwd)/$(basename "$zembrel")

if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIPPED: tmux is not installed"
    exit 77
fi

work=$(mktemp -d /tmp/zembrel-terminal-XXXXXX)
socket="zembrel-e2e-$$"
cleanup() {
    tmux -L "$socket" kill-server >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root/Windows"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Platform]\n"Build"="100"\n' \
    >"$work/root/registry.reg"

fail() {
    echo "FAIL: $1"
    echo "---- pane ----"
    tmux -L "$socket" capture-pane -p -t e2e 2>/dev/null
    exit 1
}

# Polls the pane until it shows the pattern, for up to ten seconds.
wait_for() {
    for _ in $(seq 100); do
        if tmux -L "$socket" capture-pane -p -t e2e | grep -q -- "$1"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

tmux -L "$socket" -f /dev/null new-session -d -s e2e -x 100 -y 30 \
    "env -i PATH=/usr/bin:/bin TERM=xterm HOME=$work PS1='$ ' bash --norc --noprofile" ||
    fail "tmux did not start"
# The shell writes the exit code and then the terminal's modes to files once zembrel is done;
# the modes file appears (by rename) only when complete, so the test waits for what it asserts.
tmux -L "$socket" send-keys -t e2e \
    "ZEMBREL_ROOT=$work/root $zembrel; echo \$? >$work/exit; stty -a >$work/modes.part; mv $work/modes.part $work/modes; echo DONE" Enter

wait_for "Firmware Add-on Error" || fail "the title never showed"
wait_for "Cannot add this firmware" || fail "the message never showed"
wait_for "\[ Cancel \]" || fail "the Cancel button never showed"
tmux -L "$socket" capture-pane -p -t e2e | grep -q "Time out" && fail "attended run shows a countdown"

tmux -L "$socket" send-keys -t e2e Escape
for _ in $(seq 100); do
    [ -e "$work/modes" ] && break
    sleep 0.1
done
[ -e "$work/modes" ] || fail "zembrel did not end after Esc"
[ "$(cat "$work/exit")" = 1 ] || fail "exit code is not 1 but $(cat "$work/exit")"
modes=$(tr ' ;' '\n\n' <"$work/modes" | grep -x -E -e '-?echo' -e '-?icanon' | tr '\n' ' ')
[[ " $modes " == *" echo "* && " $modes " == *" icanon "* ]] ||
    fail "the terminal was not restored (echo, icanon): $modes"
# Anchored: the restored screen shows the typed command line, which ends in "echo DONE".
wait_for "^DONE" || fail "the shell did not come back"
tmux -L "$socket" capture-pane -p -t e2e | grep -q "Firmware Add-on Error" &&
    fail "the dialog is still on the screen"
echo "PASS"
