#!/bin/sh
# Runs a Windows program with the loader that tests/wine/with-wine.sh chose for the session.
exec "${ZEMBREL_WINE:-wine}" "$@"
