#!/usr/bin/env bash
# Builds an optimised program in build-bench/, makes the A4 test pages when
# they are missing, and prints one table of timings and memory, then the
# converter's table of PNG and TIFF sizes and times on every kind of page
# against ImageMagick and Pillow.
#   bench/run.sh [--runs N] [--quick]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANE_BENCH_BUILD_DIR:-$here/build-bench}
images=${ORVANE_BENCH_IMAGES:-$here/bench-images}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
if [ ! -f "$images/photo-600.bmp" ] || [ ! -f "$images/doc-300.bmp" ]; then
    sh "$here/../shared/bench/make-bench-images.sh" "$images"
fi
if [ ! -f "$images/pattern-600.bmp" ] || [ ! -f "$images/two-colour-300.bmp" ]; then
    sh "$here/bench/make-page-images.sh" "$images"
fi
page_runs=3
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
    case ${args[i]} in
    --quick) page_runs=1 ;;
    --runs) page_runs=${args[i + 1]} ;;
    esac
done
status=0
/usr/bin/python3 "$here/bench/run.py" --build "$build" --images "$images" "$@" || status=$?
echo
/usr/bin/python3 "$here/bench/nconvert-pages.py" --converter "$build/nconvert/nconvert.exe" \
    --images "$images" --runs "$page_runs" || status=$?
exit $status
