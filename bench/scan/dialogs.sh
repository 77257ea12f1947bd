#!/usr/bin/env bash
# The scanner library's dialogs timed against the library of an earlier
# revision, both with the test backend beside a network host slow to answer
# (see bench_scan.cpp): this tree's bench_scan is built in build-bench/, the
# earlier library from an exported copy of REV in a temporary folder. With
# --scan, the A4 scan is timed against it too.
#   bench/scan/dialogs.sh [--scan] [REV]
# REV defaults to the revision before the device search moved into its
# helper process (with --scan: before scans moved into a driver host).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${ORVANE_BENCH_BUILD_DIR:-$here/build-bench}
what=(--dialogs-only)
moved=eztw32/devices/main.cpp
if [ "${1:-}" = --scan ]; then
    what=(--runs 9)
    moved=eztw32/driver/main.cpp
    shift
fi
rev=${1:-$(git -C "$here" log --format=%H -1 --diff-filter=A -- "$moved")^}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/eztw32-baseline-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git -C "$here" archive "$rev" | tar -x -C "$work/src"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF \
    -DORVANE_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$work/build" --target eztw32 >/dev/null
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --target bench_scan >/dev/null
echo "baseline: $(git -C "$here" log --format='%h %s' -1 "$rev")"
"$build/bench/scan/bench_scan" "${what[@]}" --baseline "$work/build/app/EZTW32.dll"
