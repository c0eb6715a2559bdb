#!/usr/bin/env bash
# Measures zembrel's release build against the least a hand-off and a status write can cost, on
# a small registry and on files of 1,000 to 1,000,000 values; prints tables and fails nothing.
# Arguments go to bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."

# Instructions are counted under valgrind; where it is missing and can be installed, it is.
if ! command -v valgrind >/dev/null && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends valgrind >/dev/null ||
        echo "could not install valgrind: the instruction counts are left out"
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
mkdir -p build/bench
cc -O2 -Wall -Wextra -o build/bench/minimal bench/minimal.c
cc -O2 -Wall -Wextra -o build/bench/stub bench/stub.c
cc -O2 -Wall -Wextra -o build/bench/least_writer bench/least_writer.c
# The measuring helper forks the programs: built static, it holds little memory of its own then.
if ! cc -O2 -Wall -Wextra -static -o build/bench/measure bench/measure.c 2>/dev/null; then
    echo "no static C library: the measuring helper is dynamic, and both programs' peak RSS counts its own too"
    cc -O2 -Wall -Wextra -o build/bench/measure bench/measure.c
fi
exec python3 bench/bench.py --zembrel build/release/zembrel --minimal build/bench/minimal \
    --least-writer build/bench/least_writer --stub build/bench/stub --measure build/bench/measure "$@"
