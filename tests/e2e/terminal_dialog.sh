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
tmux -L "$socket" send-keys -t e2e \
    "ZEMBREL_ROOT=$work/root $zembrel; echo EXIT=\$?; stty -a | tr ' ' '\\n' | grep -x -e echo -e -echo -e icanon -e -icanon | tr '\\n' ' '; echo" Enter

wait_for "Firmware Add-on Error" || fail "the title never showed"
wait_for "Cannot add this firmware" || fail "the message never showed"
wait_for "\[ Cancel \]" || fail "the Cancel button never showed"
tmux -L "$socket" capture-pane -p -t e2e | grep -q "Time out" && fail "attended run shows a countdown"

tmux -L "$socket" send-keys -t e2e Escape
# Anchored: the restored screen shows the typed command, which holds "EXIT=$?" (and may wrap).
wait_for "^EXIT=[0-9]" || fail "zembrel did not end after Esc"
pane=$(tmux -L "$socket" capture-pane -p -t e2e)
echo "$pane" | grep -q "^EXIT=1" || fail "exit code is not 1"
modes=$(echo "$pane" | grep -x -E "((-?echo|-?icanon) ?)+" | tail -1)
[[ " $modes " == *" echo "* && " $modes " == *" icanon "* ]] ||
    fail "the terminal was not restored (echo, icanon): $modes"
echo "$pane" | grep -q "Firmware Add-on Error" && fail "the dialog is still on the screen"
echo "PASS"
