#!/usr/bin/env bash
# The resources compile the same wherever the tree lies, even where an absolute path looks like
# one of llvm-rc's "/x" switches: /dev/... reads as /D, /check/... as /C.
# usage: rc_switch_like_path.sh <cmake> <built zembrel.res> <compile_rc.cmake> -D... (its settings)
set -u
cmake=$1 built=$2 script=$3
shift 3

if [ ! -d /dev/shm ] || [ ! -w /dev/shm ]; then
    echo "SKIPPED: no writable /dev/shm for a switch-like path"
    exit 77
fi
work=$(mktemp -d /dev/shm/zembrel-rc-XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT

if ! "$cmake" "$@" -DOUTPUT="$work/zembrel.res" -P "$script"; then
    echo "FAIL: compiling the resources into $work failed"
    exit 1
fi
if ! cmp "$built" "$work/zembrel.res"; then
    echo "FAIL: the .res compiled into $work differs from the build's"
    exit 1
fi
echo "PASS: the resources compile the same under $work"
