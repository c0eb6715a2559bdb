#!/bin/sh
# Runs a Windows program with the loader that tests/wine/with-wine.sh chose for the session.
#
# Its output passes through files: a Wine process it starts on the way (the desktop, the
# services) outlives it and would hold a pipe open, so that a reader of the pipe, such as
# ctest, would wait for the whole session to end.
out=$(mktemp "${TMPDIR:-/tmp}/zembrel-wine-out.XXXXXX") || exit 1
err=$(mktemp "${TMPDIR:-/tmp}/zembrel-wine-err.XXXXXX") || exit 1
"${ZEMBREL_WINE:-wine}" "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit "$status"
