#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test: the Windows cross build with its unit tests under Wine, unit tests and
# end-to-end scenarios (network namespaces need root; they skip with a reason
# otherwise; one runs the Windows build under Wine), then the unit tests again
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer,
# and 60 s of fuzzing. The last line sums it up: "velmora: N passed, N failed, N skipped".
#
#   scripts/run-tests.sh            everything (what CI runs)
#   scripts/run-tests.sh --quick    only the Debug build's unit and end-to-end tests
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/deps.sh"
velmora_install_deps

all=1
[ "${1:-}" = "--quick" ] && all=0
jobs=$(nproc)
passed=0 failed=0 skipped=0

# One count attribute of the junit file's <testsuite> element (0 when absent).
junit_count() {
    local n
    n=$(head -n 20 "$2" | sed -n "s/.*[[:space:]]$1=\"\([0-9]*\)\".*/\1/p" | head -n 1) || true
    echo "${n:-0}"
}

# Runs ctest in a build dir with the given filters and adds up its junit counts.
run_ctest() {
    local build=$1; shift
    local rc=0
    (cd "$build" && ctest --output-on-failure --output-junit "$build/ctest-junit.xml" "$@") || rc=$?
    add_junit "$build/ctest-junit.xml" "$rc"
}

# Adds up the counts of a junit file that ctest wrote; a failed run counts.
add_junit() {
    local junit=$1 rc=$2
    if [ -f "$junit" ]; then
        local t f s
        t=$(junit_count tests "$junit")
        f=$(junit_count failures "$junit")
        s=$(junit_count skipped "$junit")
        passed=$((passed + ${t:-0} - ${f:-0} - ${s:-0}))
        failed=$((failed + ${f:-0}))
        skipped=$((skipped + ${s:-0}))
    fi
    [ "$rc" -eq 0 ] || failed=$((failed > 0 ? failed : 1))
    return 0
}

configure_build() {
    local build=$1; shift
    cmake -S "$top" -B "$build" -DVELMORA_WERROR=ON "$@" >/dev/null
    cmake --build "$build" -j"$jobs"
}

if [ "$all" = 1 ]; then
    # The Windows build: cross-built from this tree, its unit tests run under
    # Wine by the script; its end-to-end scenario runs with the Linux ones below.
    echo "== Windows cross build, unit tests under Wine"
    rm -f "$top/build-windows/ctest-junit.xml"
    rc=0
    bash "$top/scripts/build-windows.sh" --test || rc=$?
    add_junit "$top/build-windows/ctest-junit.xml" "$rc"
    export VELMORA_WIN_BUILD=$top/build-windows
fi

echo "== build (Debug, -Werror)"
configure_build "$top/build" -DCMAKE_BUILD_TYPE=Debug
echo "== unit and end-to-end tests"
run_ctest "$top/build" -LE bench -j"$jobs"

if [ "$all" = 1 ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer unit tests"
    configure_build "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug \
        -DVELMORA_SANITIZE=address,undefined
    run_ctest "$top/build-asan" -L unit -j"$jobs"

    echo "== ThreadSanitizer unit tests"
    configure_build "$top/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest "$top/build-tsan" -L unit -j"$jobs"

    echo "== fuzzing (60 s, ASan+UBSan)"
    CC=clang-14 CXX=clang++-14 configure_build "$top/build-fuzz" -DCMAKE_BUILD_TYPE=Debug \
        -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=address,undefined -DBUILD_TESTING=OFF
    mkdir -p "$top/build-fuzz/corpus"
    if "$top/build-fuzz/fuzz/velmora_fuzz" -max_total_time=60 -max_len=65507 -timeout=10 \
            "$top/build-fuzz/corpus" "$top/fuzz/corpus" > "$top/build-fuzz/fuzz.log" 2>&1; then
        passed=$((passed + 1))
        tail -n 3 "$top/build-fuzz/fuzz.log"
    else
        failed=$((failed + 1))
        tail -n 60 "$top/build-fuzz/fuzz.log"
    fi
fi

echo "velmora: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
