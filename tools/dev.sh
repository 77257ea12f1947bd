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
    trap "print_summary; rm -rf '$work'" EXIT
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
    trap print_summary EXIT
    stage "Built $out/$deb"
}

# check_format: every tracked C and C++ file (and every new one git does not
# ignore) as .clang-format lays it out, checked by Debian's clang-format;
# fails on the first difference, naming the files and the lines.
check_format() {
    local tool=clang-format-14 files=() f
    command -v "$tool" >/dev/null || {
        echo "$tool is needed to check the formatting (tools/debian-packages.txt)" >&2; exit 1; }
    if git -C "$here" rev-parse --git-dir >/dev/null 2>&1; then
        mapfile -d '' -t files < <(git -C "$here" ls-files -z --cached --others --exclude-standard \
            -- '*.c' '*.h' '*.cpp' '*.cc' '*.hpp' ':!:build*/**' ':!:obj-*/**')
    else
        mapfile -d '' -t files < <(cd "$here" && find . \( -name 'build*' -o -name 'obj-*' \) -prune -o \
            -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.cc' -o -name '*.hpp' \) -print0)
    fi
    local present=()
    for f in "${files[@]}"; do
        [ -f "$here/$f" ] && present+=("$f")
    done
    stage "Checking the formatting of ${#present[@]} C and C++ files with $tool"
    if ! (cd "$here" && "$tool" --dry-run --Werror "${present[@]}"); then
        echo "These files differ from .clang-format; run: $tool -i <file>" >&2
        exit 1
    fi
    echo "All are formatted."
}

# The test command's stages, for the summary printed at its end: a line
# each, with what it counted and how long it took.
stages=()
passed_total=0
failed_total=0
stage_start=0

begin_stage() {
    stage_start=$SECONDS
}

# end_stage <name> <what it counted>
end_stage() {
    stages+=("$(printf '  %-38s %-40s %5d s' "$1" "$2" $((SECONDS - stage_start)))")
}

# run_ctest <name> <build folder> <ctest options...>: runs the tests,
# counts them for the summary, and fails the command when one fails.
run_ctest() {
    local name=$1 dir=$2 log rc=0 line total failed
    shift 2
    log="$dir.ctest.log"
    begin_stage
    # Twice as many tests as cores: most of a test's time is spent waiting
    # for its programs, windows and child processes.
    # The tests change nothing outside the folders they make: the shared
    # temporary folders, the home and the build keep their modes and owners
    # (the sticky bit of /tmp included).
    local untouched before after
    untouched=(/ /tmp /var/tmp "${TMPDIR:-/tmp}" "$HOME" "$dir")
    before=$(stat -c '%a %U:%G %n' "${untouched[@]}" 2>/dev/null)
    (cd "$dir" && ctest --output-on-failure -j "$(($(nproc) * 2))" "$@") 2>&1 | tee "$log" || rc=$?
    after=$(stat -c '%a %U:%G %n' "${untouched[@]}" 2>/dev/null)
    if [ "$before" != "$after" ]; then
        echo "The tests changed folders they must leave as they are:" >&2
        diff <(echo "$before") <(echo "$after") >&2 || true
        rc=1
    fi
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=${total:-0}
    failed=${failed:-0}
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
    passed_total=$((passed_total + total - failed))
    failed_total=$((failed_total + failed))
    if [ "$rc" -eq 0 ]; then
        end_stage "$name" "$total tests passed"
    else
        end_stage "$name" "FAILED: $failed of $total tests"
        exit 1
    fi
}

print_summary() {
    local rc=$?
    [ ${#stages[@]} -gt 0 ] || return 0
    printf '\n==> Summary (%d s in all)\n' "$SECONDS"
    printf '%s\n' "${stages[@]}"
    [ "$rc" -eq 0 ] || printf '  %s\n' "stopped by a failure: the stages after it did not run"
    printf 'Total: %d passed, %d failed\n' "$passed_total" "$failed_total"
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
    trap print_summary EXIT
    # First, as it takes seconds and a difference fails the command.
    begin_stage
    check_format
    end_stage "formatting (clang-format-14)" "every C and C++ file formatted"
    begin_stage
    configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    end_stage "build (normal)" "configured and built"
    # The converter's BMP reader against the fuzzer, for a bounded time,
    # beside the tests: they spend most of their time waiting, the fuzzer
    # none.
    stage "Fuzzing the converter's BMP reader for ${ORVANE_FUZZ_SECONDS:-30} s (log: $build-fuzz.log), beside the tests"
    fuzz_start=$SECONDS
    "$here/nconvert/fuzz/run-fuzz.sh" "${ORVANE_FUZZ_SECONDS:-30}" "$build-fuzz" >"$build-fuzz.log" 2>&1 &
    fuzz_pid=$!
    # A failed stage ends the command; the fuzzer ends with it.
    trap 'rc=$?; kill "$fuzz_pid" 2>/dev/null; (exit "$rc"); print_summary' EXIT
    stage "Running the tests in $build"
    run_ctest "tests (normal build)" "$build" --timeout 600
    stage_start=$fuzz_start
    fuzz_rc=0
    wait "$fuzz_pid" || fuzz_rc=$?
    trap print_summary EXIT
    if [ "$fuzz_rc" -ne 0 ]; then
        tail -n 80 "$build-fuzz.log"
        echo "The fuzzer found a fault in the converter's BMP reader; see $build-fuzz.log" >&2
        end_stage "fuzz (BMP reader, beside the tests)" "FAILED: a fault found"
        failed_total=$((failed_total + 1))
        exit 1
    fi
    runs=$(grep -E '^Done [0-9]+ runs' "$build-fuzz.log" | tail -n 1 || true)
    echo "$runs"
    end_stage "fuzz (BMP reader, beside the tests)" "$(sed -E 's/^Done ([0-9]+) runs.*/\1 runs, no fault/' <<<"${runs:-Done 0 runs}")"
    passed_total=$((passed_total + 1))
    # The real package, once: dpkg-buildpackage and lintian.
    begin_stage
    package "$build-deb"
    end_stage "package and lintian" "built, no lintian errors"
    # The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
    begin_stage
    configure_and_build "$build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=OFF
    end_stage "build (sanitizers)" "configured and built"
    stage "Running the tests in $build-asan"
    # LeakSanitizer is on: tools/lsan.supp names the leaks that are meant.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
    LSAN_OPTIONS="suppressions=$here/tools/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1 \
        run_ctest "tests (ASan, UBSan, LSan)" "$build-asan" --timeout 900
    # The scanner library and both encoders run threads: their tests again
    # under ThreadSanitizer.
    tsan_targets=(eztw32 eztw32_scan_helper test_eztw32 test_eztw32_core test_eztw32_settings test_eztw32_bmp
                        test_eztw32_search test_jpeg_export test_bmp_export
                        test_writer_failures nconvert test_nconvert_output test_nconvert_deflate)
    begin_stage
    configure "$build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON
    stage "Building the threaded parts in $build-tsan"
    cmake --build "$build-tsan" -j "$(nproc)" --target "${tsan_targets[@]}"
    end_stage "build (ThreadSanitizer)" "configured and built"
    stage "Running their tests in $build-tsan"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tools/tsan.supp" \
        run_ctest "tests (ThreadSanitizer)" "$build-tsan" --timeout 900 \
        -R '^(test_eztw32_[0-9]|test_eztw32_core|test_eztw32_settings|test_eztw32_bmp|test_eztw32_search|test_jpeg_export|test_bmp_export|test_writer_failures|test_nconvert_output|test_nconvert_deflate)$'
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
