#!/usr/bin/env bash
# The scanner library's dialogs timed against the library of an earlier
# revision, both with the test backend beside a network host slow to answer
# (see bench_scan.cpp): this tree's bench_scan is built in build-bench/, the
# earlier library from an exported copy of REV in a temporary folder.
#   bench/scan/dialogs.sh [REV]
# REV defaults to the revision before the device search moved into its
# helper process.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${ORVANE_BENCH_BUILD_DIR:-$here/build-bench}
rev=${1:-$(git -C "$here" log --format=%H -1 --diff-filter=A -- eztw32/devices/main.cpp)^}
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
"$build/bench/scan/bench_scan" --dialogs-only --baseline "$work/build/app/EZTW32.dll"
