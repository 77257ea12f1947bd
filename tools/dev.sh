#!/usr/bin/env bash
# Sets up a Debian 12 machine for Orvane Capture Desk and builds it, then
#   tools/dev.sh run      starts the program, with the virtual test scanner
#                         (only the program, the scanner library and the
#                         converter, built in build-run/)
#   tools/dev.sh test     runs every test, and builds and checks the package
#   tools/dev.sh package  builds the Debian package into build-deb/
#   tools/dev.sh bench    runs the benchmarks (an optimised build of its own)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
action=${1:-run}
build=${ORVANE_BUILD_DIR:-$here/build}

# One line for each stage, so that a long step is never silent.
stage() {
    printf '\n==> %s\n' "$*"
}

install_missing() {
    local wanted missing=()
    mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/tools/debian-packages.txt")
    stage "Checking the ${#wanted[@]} Debian packages of tools/debian-packages.txt"
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        echo "All are installed."
        return 0
    fi
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

# configure <build folder> <cmake options...>: quiet unless it fails.
configure() {
    local dir=$1; shift
    stage "Configuring $dir"
    if ! cmake -S "$here" -B "$dir" -G Ninja -DORVANE_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log" >&2
        exit 1
    fi
}

configure_and_build() {
    local dir=$1; shift
    configure "$dir" "$@"
    stage "Building everything in $dir"
    cmake --build "$dir" -j "$(nproc)"
}

# A copy of the checkout as it is now (tracked and new files, no build
# folders), since dpkg-buildpackage builds inside its source tree.
copy_tree() {
    local to=$1 f
    mkdir -p "$to"
    if git -C "$here" rev-parse --git-dir >/dev/null 2>&1; then
        git -C "$here" ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do
                if [ -e "$here/$f" ] || [ -L "$here/$f" ]; then printf '%s\0' "$f"; fi
            done |
            tar -C "$here" --null -T - -cf - | tar -C "$to" -xf -
    else
        tar -C "$here" --exclude='./build*' --exclude='./obj-*' --exclude='./bench-images' -cf - . |
            tar -C "$to" -xf -
    fi
}

# package <output folder>: builds the .deb with dpkg-buildpackage in a
# temporary copy of the tree and checks it with lintian, failing on errors.
package() {
    local out=$1 work deb
    command -v dpkg-buildpackage >/dev/null && command -v lintian >/dev/null || {
        echo "dpkg-buildpackage and lintian are needed to build the package" >&2; exit 1; }
    work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-deb.XXXXXX")
    # shellcheck disable=SC2064
    trap "rm -rf '$work'" EXIT
    stage "Copying the tree to $work/src"
    copy_tree "$work/src"
    stage "Building the Debian package (dpkg-buildpackage -b -us -uc; log: $out/dpkg-buildpackage.log)"
    mkdir -p "$out"
    if ! (cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -us -uc) \
            >"$out/dpkg-buildpackage.log" 2>&1; then
        tail -n 60 "$out/dpkg-buildpackage.log" >&2
        echo "dpkg-buildpackage failed; see $out/dpkg-buildpackage.log" >&2
        exit 1
    fi
    deb=$(cd "$work" && ls orvane-capture-desk_*_*.deb)
    cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
    stage "Checking $deb with lintian"
    local report rc=0
    report=$(lintian --fail-on error --display-info "$out/$deb" 2>&1) || rc=$?
    printf '%s\n' "$report" | grep -v -e '^running with root privileges' -e '^$' || true
    if [ "$rc" -ne 0 ]; then
        echo "lintian reports errors on $out/$deb" >&2
        exit 1
    fi
    rm -rf "$work"
    trap - EXIT
    stage "Built $out/$deb"
}

# The virtual scanner of SANE's test backend, beside any real scanners.
export SANE_CONFIG_DIR="$here/eztw32/sane.d:"

install_missing
case "$action" in
run)
    # Only what the program needs, in a folder of its own, so that it does
    # not fight the test build.
    run_build=${ORVANE_RUN_BUILD_DIR:-$here/build-run}
    configure "$run_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF
    stage "Building the program, the scanner library EZTW32.dll and the converter in $run_build"
    cmake --build "$run_build" -j "$(nproc)" --target orvane-capture-desk eztw32 orvane_hand_cursor
    stage "Starting $run_build/app/orvane-capture-desk with the virtual scanner"
    exec "$run_build/app/orvane-capture-desk"
    ;;
test)
    configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    stage "Running the tests in $build"
    (cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
    # The real package, once: dpkg-buildpackage and lintian.
    package "$build-deb"
    stage "Fuzzing the converter's BMP reader for ${ORVANE_FUZZ_SECONDS:-60} s"
    # The converter's BMP reader against the fuzzer, for a bounded time.
    if ! "$here/nconvert/fuzz/run-fuzz.sh" "${ORVANE_FUZZ_SECONDS:-60}" "$build-fuzz" >"$build-fuzz.log" 2>&1; then
        tail -n 80 "$build-fuzz.log"
        echo "The fuzzer found a fault in the converter's BMP reader; see $build-fuzz.log" >&2
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$build-fuzz.log" || true
    # The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
    configure_and_build "$build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON
    stage "Running the tests in $build-asan"
    # LeakSanitizer is on: tools/lsan.supp names the leaks that are meant.
    (cd "$build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
        LSAN_OPTIONS="suppressions=$here/tools/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$(nproc)" --timeout 900)
    # The scanner library and both encoders run threads: their tests again
    # under ThreadSanitizer.
    tsan_targets=(eztw32 eztw32_scan_helper test_eztw32 test_eztw32_core test_eztw32_settings test_eztw32_bmp
                        test_jpeg_export test_bmp_export
                        test_writer_failures nconvert test_nconvert_output test_nconvert_deflate)
    configure "$build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON
    stage "Building the threaded parts in $build-tsan"
    cmake --build "$build-tsan" -j "$(nproc)" --target "${tsan_targets[@]}"
    stage "Running their tests in $build-tsan"
    (cd "$build-tsan" && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$here/tools/tsan.supp" \
        ctest --output-on-failure -j "$(nproc)" --timeout 900 \
        -R '^(test_eztw32|test_eztw32_core|test_eztw32_settings|test_eztw32_bmp|test_jpeg_export|test_bmp_export|test_writer_failures|test_nconvert_output|test_nconvert_deflate)$')
    ;;
package)
    package "${ORVANE_DEB_DIR:-$here/build-deb}"
    ;;
bench)
    exec "$here/bench/run.sh" "${@:2}"
    ;;
*)
    echo "usage: tools/dev.sh run|test|package|bench" >&2
    exit 2
    ;;
esac
