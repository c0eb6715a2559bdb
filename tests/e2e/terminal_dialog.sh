#!/usr/bin/env bash
# The dialog drawn in a real terminal (tmux): it shows; Esc, Ctrl+C or Ctrl+\ close it; the run
# ends as always (exit 1, its executable deleted); the terminal is back.
set -u
zembrel=${1:?usage: terminal_dialog.sh path/to/zembrel}
zembrel=$(cd "$(dirname "$zembrel")" && pwd)/$(basename "$zembrel")

if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIPPED: tmux is not installed"
    exit 77
fi

work=$(mktemp -d /tmp/zembrel-terminal-XXXXXX)
socket=
cleanup() {
    [ -n "$socket" ] && tmux -L "$socket" kill-server >/dev/null 2>&1
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

# The run, under a plain sh: an interactive shell would put the terminal's modes back itself
# after a job killed by a signal and hide a dialog that did not. The shell outlives Ctrl+C and
# Ctrl+\ (zembrel still gets them), and the pane stays for reading.
cat >"$work/run.sh" <<EOF
trap : INT QUIT
ulimit -c 0
cd /
printf MZ >'$work/root/Windows/zembrel.exe'
ZEMBREL_ROOT='$work/root' '$zembrel'
echo "EXIT=\$?"
[ -e '$work/root/Windows/zembrel.exe' ] && echo "NOT DELETED"
stty -a | tr ' ;' '\n\n' | grep -x -e echo -e -echo -e icanon -e -icanon | tr '\n' ' '
echo
sleep 600
EOF

# One run per way out, each in a tmux server of its own: the key that ends the dialog and the
# exit status it leaves. Ctrl+C and Ctrl+\ close the dialog as Cancel does: the run goes on to
# its end, with the terminal back in echo and line mode.
run_case() {
    local key=$1 status=$2
    [ -n "$socket" ] && tmux -L "$socket" kill-server >/dev/null 2>&1
    cases=$((${cases:-0} + 1))
    socket="zembrel-e2e-$$-$cases"
    tmux -L "$socket" -f /dev/null new-session -d -s e2e -x 100 -y 30 \
        "env -i PATH=/usr/bin:/bin TERM=xterm sh $work/run.sh" || fail "tmux did not start"

    wait_for "Firmware Add-on Error" || fail "$key: the title never showed"
    wait_for "Cannot add this firmware" || fail "$key: the message never showed"
    wait_for "\[ Cancel \]" || fail "$key: the Cancel button never showed"
    tmux -L "$socket" capture-pane -p -t e2e | grep -q "Time out" &&
        fail "$key: attended run shows a countdown"

    tmux -L "$socket" send-keys -t e2e "$key"
    wait_for "EXIT=[0-9]" || fail "$key: zembrel did not end"
    wait_for "icanon" || fail "$key: the terminal's modes never showed"
    pane=$(tmux -L "$socket" capture-pane -p -t e2e)
    echo "$pane" | grep -q "^EXIT=$status\$" || fail "$key: exit status is not $status"
    modes=$(echo "$pane" | grep -x -E "((-?echo|-?icanon) ?)+" | tail -1)
    [[ " $modes " == *" echo "* && " $modes " == *" icanon "* ]] ||
        fail "$key: the terminal was not restored (echo, icanon): $modes"
    echo "$pane" | grep -q "Firmware Add-on Error" && fail "$key: the dialog is still on the screen"
    echo "$pane" | grep -q "NOT DELETED" && fail "$key: zembrel.exe was not deleted"
    echo "PASS: $key"
}

run_case Escape 1
run_case 'C-c' 1
run_case 'C-\' 1
