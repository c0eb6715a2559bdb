#!/usr/bin/env bash
# Builds zembrel for this machine and runs it on the bundled sample devices, in a scratch copy.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/setup.sh
if ! install_group posix "${POSIX_PACKAGES[@]}"; then
    echo "demo.sh: cannot build zembrel: ${INSTALL_WHY[posix]}" >&2
    exit 1
fi
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zembrel >/dev/null
zembrel=$PWD/build/release/zembrel

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -a samples/compatible samples/incompatible "$scratch/"

echo "== A compatible terminal (build 400), started with: -DHCP -NoUPGRADE"
status=0
ZEMBREL_ROOT=$scratch/compatible "$zembrel" -DHCP -NoUPGRADE || status=$?
sleep 0.5 # the upgrade program runs on its own; let it print
echo "exit code $status; Windows/ now holds: $(ls "$scratch/compatible/Windows")"
echo

echo "== An incompatible terminal (build 350), unattended, started with: -SNMP"
echo "   (the dialog counts down from ZembrelTimeOut = 5 and closes by itself; Esc cancels)"
status=0
ZEMBREL_ROOT=$scratch/incompatible "$zembrel" -SNMP || status=$?
echo "exit code $status; Windows/ now holds: $(ls "$scratch/incompatible/Windows")"
echo "the registry afterwards:"
sed 's/^/    /' "$scratch/incompatible/registry.reg"
