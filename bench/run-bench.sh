#!/bin/sh
# Builds the benchmark in Release and measures a generated zstd and gzip trace
# of the given uncompressed size (default 1G); the traces are deleted afterwards.
#   bench/run-bench.sh [SIZE] [--repeat N] [--no-window]
# Needs about a third of SIZE free in $TMPDIR (or /tmp) for the two traces.
set -eu
cd "$(dirname "$0")/.."

SIZE=${1:-1G}
[ $# -gt 0 ] && shift

BUILD_DIR=${MEMLOUPE_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMEMLOUPE_WERROR=ON
cmake --build "$BUILD_DIR" -j2 --target memloupe-bench memloupe-tracegen

echo "load before the run: $(cat /proc/loadavg)" >&2
# the window probe needs no display
QT_QPA_PLATFORM=offscreen "$BUILD_DIR/bin/memloupe-bench" --generate "$SIZE" "$@"
echo "load after the run: $(cat /proc/loadavg)" >&2
