#!/bin/sh
# Fuzzes the converter's BMP reader for a bounded time.
#   nconvert/fuzz/run-fuzz.sh [SECONDS] [BUILD_DIR]
# Configures a clang build with ORVANE_FUZZ=ON in BUILD_DIR (default
# build-fuzz beside the sources), builds the fuzzer, seeds it with the BMP
# test suite and runs it for SECONDS (default 60). Exits non-zero when the
# fuzzer finds a crash, a leak, undefined behaviour, a hang or runaway memory;
# the input that caused it is left in BUILD_DIR/fuzz-artifacts/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz}
suite=${ORVANE_BMP_SUITE:-$root/../shared/testdata/bmpsuite}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DORVANE_FUZZ=ON -DORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_bmp

# The fuzzer adds what it finds to the corpus: keep it in the build folder,
# seeded afresh from the suite.
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
if [ -d "$suite" ]; then
  for dir in g q b; do
    for f in "$suite/$dir"/*.bmp; do
      [ -f "$f" ] && cp "$f" "$corpus/$dir-$(basename "$f")"
    done
  done
else
  echo "run-fuzz.sh: no BMP suite at $suite; starting from an empty corpus" >&2
fi

exec "$build/nconvert/fuzz/fuzz_bmp" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1024 -max_len=70000 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus"
