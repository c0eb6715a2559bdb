#!/usr/bin/env bash
# Runs a command as on a kernel that runs no 32-bit x86 code, to try the test run's other path.
#
#   scripts/without-i386.sh CMD [ARG...]      e.g. scripts/without-i386.sh scripts/test-all.sh
#
# The command runs in a user and mount namespace of its own with a private binfmt_misc (Linux
# 6.7 and later) in which every i386 program fails to start, as it does where the kernel lacks
# IA-32 emulation. Nothing outside the namespace is affected; an emulator that the command
# registers there (scripts/i386.sh) is registered later, so it takes precedence, as it would on
# such a machine. Run as root, every user and group id maps to itself, so files keep their
# owners; otherwise only the caller is mapped, as root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: $0 CMD [ARG...]" >&2; exit 2; }

inside='
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || {
        echo "without-i386.sh: this kernel has no private binfmt_misc for a namespace" >&2
        exit 2
    }
    # Every i386 program gets an interpreter that does not exist.
    . "'$here'/i386.sh"
    printf "%s" ":no-i386:M::$I386_ELF_MAGIC_MASK:/nonexistent/no-i386:" \
        >/proc/sys/fs/binfmt_misc/register
    exec "$@"'

if [ "$(id -u)" -ne 0 ]; then
    exec unshare --user --map-root-user --mount --propagation private bash -c "$inside" without-i386 "$@"
fi

# As root: the namespace's maps are written from here, once it exists, and the command waits
# for them on a pipe.
sync=$(mktemp -u "${TMPDIR:-/tmp}/zembrel-without-i386.XXXXXX")
mkfifo "$sync"
trap 'rm -f "$sync"' EXIT
unshare --user --mount --propagation private bash -c "read -r _ <'$sync'; $inside" without-i386 "$@" &
child=$!
while [ "$(readlink /proc/$child/ns/user)" = "$(readlink /proc/self/ns/user)" ]; do
    kill -0 "$child" 2>/dev/null || break
    sleep 0.01
done
echo "0 0 4294967295" >/proc/$child/uid_map
echo "0 0 4294967295" >/proc/$child/gid_map
echo go >"$sync"
status=0
wait "$child" || status=$?
exit "$status"
