#!/usr/bin/env bash
# Sets up a Debian 12 machine for Orvane Capture Desk and builds it, then
#   tools/dev.sh run    starts the program, with the virtual test scanner
#   tools/dev.sh test   runs every test
#   tools/dev.sh bench  runs the benchmarks (an optimised build of its own)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
action=${1:-run}
build=${ORVANE_BUILD_DIR:-$here/build}

install_missing() {
    local wanted missing=()
    mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/tools/debian-packages.txt")
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local line="apt-get install -y ${missing[*]}"
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $line -qq
    elif command -v sudo >/dev/null && [ -t 0 ]; then
        echo "Installing with sudo: ${missing[*]}"
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive $line -qq
    else
        echo "These Debian packages are missing. Install them as root, then run this again:" >&2
        echo "  sudo $line" >&2
        exit 1
    fi
}

configure_and_build() {
    local dir=$1; shift
    cmake -S "$here" -B "$dir" -G Ninja -DORVANE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# The virtual scanner of SANE's test backend, beside any real scanners.
export SANE_CONFIG_DIR="$here/eztw32/sane.d:"

install_missing
case "$action" in
run)
    configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    exec "$build/app/orvane-capture-desk"
    ;;
test)
    configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    (cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
    # The converter's BMP reader against the fuzzer, for a bounded time.
    if ! "$here/nconvert/fuzz/run-fuzz.sh" "${ORVANE_FUZZ_SECONDS:-60}" "$build-fuzz" >"$build-fuzz.log" 2>&1; then
        tail -n 80 "$build-fuzz.log"
        echo "The fuzzer found a fault in the converter's BMP reader; see $build-fuzz.log" >&2
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$build-fuzz.log" || true
    # The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
    configure_and_build "$build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON
    (cd "$build-asan" && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$(nproc)" --timeout 900)
    ;;
bench)
    exec "$here/bench/run.sh" "${@:2}"
    ;;
*)
    echo "usage: tools/dev.sh run|test|bench" >&2
    exit 2
    ;;
esac
