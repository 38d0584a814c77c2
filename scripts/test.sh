#!/usr/bin/env bash
# The test command. Installs what is missing, builds every suite's CMake
# preset (warnings are errors), then runs the suites side by side, since their
# tests mostly wait on sockets and timers: the Windows DLL's under Wine with
# one persistent wineserver, the native ones, the whole suite under
# ASan+UBSan and under ThreadSanitizer, and CI-length libFuzzer runs of each
# target (the long runs are in scripts/test-reliability.sh). After each suite
# every log its tests wrote is searched for the api_key.
#
# Ends with the test size and the line "N passed, N failed" over all suites,
# and exits non-zero when anything failed or could not be built.
#
# MV_TEST_SUITES="windows linux asan tsan fuzz" chooses the suites (default
# below; fuzz runs in the asan tree). Windows is built first so that the
# bundle test of the linux suite finds the DLL. MV_FUZZ_SECONDS sets the
# length of each fuzz run (default 20).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

default_suites="windows linux asan tsan fuzz"
read -r -a suites <<<"${MV_TEST_SUITES:-$default_suites}"
fuzz_seconds=${MV_FUZZ_SECONDS:-20}
started=$(date +%s)

passed=0
failed=0
summary() {
    bash scripts/test-size.sh
    echo "${passed} passed, ${failed} failed"
}

if ! bash scripts/install-deps.sh; then
    echo "test: installing the dependencies failed"
    failed=1
    summary
    exit 1
fi

has_suite() { [[ " ${suites[*]} " == *" $1 "* ]]; }

cache_value() { # cache_value BUILD_DIR NAME
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null
}

# Stops the wineserver of a Windows build tree, if one runs.
stop_wine() {
    local dir=$1 server prefix
    server=$(cache_value "$dir" MV_WINESERVER)
    prefix=$(cache_value "$dir" MV_WINE_PREFIX)
    [ -n "$server" ] && [ -d "$prefix" ] && WINEPREFIX="$prefix" "$server" -k >/dev/null 2>&1
    return 0
}
trap 'stop_wine build/windows' EXIT

# Adds a ctest log's counts to the totals; a run without a summary line counts
# as one failure, and so does a run that failed beyond its tests.
count_ctest() {
    local log=$1 status=$2 line total bad
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
}

# ---- build, one tree after another (each takes every core) --------------------
built=()
for preset in windows linux asan tsan; do
    has_suite "$preset" || { [ "$preset" = asan ] && has_suite fuzz; } || continue
    echo "== ${preset}: configure and build"
    extra=()
    [ "$preset" = asan ] && has_suite fuzz && extra=(-DMV_BUILD_FUZZ=ON)
    if cmake --preset "$preset" "${extra[@]}" >/dev/null && cmake --build --preset "$preset"; then
        built+=("$preset")
    else
        echo "== ${preset}: build failed"
        failed=$((failed + 1))
    fi
done
is_built() { [[ " ${built[*]} " == *" $1 "* ]]; }

# ---- run, side by side ---------------------------------------------------------
# One suite: ctest with its log in the build tree, then the api_key scan of
# every test directory's logs; its counts go to a file read afterwards.
run_suite() {
    local preset=$1 dir="build/$1" archive runner=() status
    archive="$(cd "$dir" && pwd)/log-archive"
    rm -rf "$archive" && mkdir -p "$archive"
    # TSan of clang 14 can fail on kernels with wide address randomisation;
    # run it without randomisation where the machine allows that.
    if [ "$preset" = tsan ] && setarch "$(uname -m)" -R true 2>/dev/null; then
        runner=(setarch "$(uname -m)" -R)
    fi
    MV_TEST_LOG_ARCHIVE="$archive" "${runner[@]}" ctest --preset "$preset" -j "$((2 * $(nproc)))" \
        >"$dir/test.log" 2>&1
    status=$?
    echo "$status" >"$dir/test.status"
    [ "$preset" = windows ] && stop_wine "$dir"
    if bash scripts/test-reliability.sh scan-logs "$archive" >"$dir/scan.log" 2>&1; then
        echo ok >"$dir/scan.status"
    else
        echo leak >"$dir/scan.status"
    fi
}

run_fuzz() {
    MV_FUZZ_SECONDS=$fuzz_seconds MV_FUZZ_BUILD=build/asan bash scripts/test-reliability.sh fuzz \
        >build/fuzz.log 2>&1
}

pids=()
for preset in windows linux asan tsan; do
    has_suite "$preset" && is_built "$preset" || continue
    echo "== ${preset}: test"
    run_suite "$preset" &
    pids+=($!)
done
if has_suite fuzz && is_built asan; then
    echo "== fuzz: ${fuzz_seconds} s per target"
    run_fuzz &
    pids+=($!)
elif has_suite fuzz; then
    failed=$((failed + 1))
fi
for pid in "${pids[@]}"; do wait "$pid"; done

# ---- report -------------------------------------------------------------------
for preset in windows linux asan tsan; do
    has_suite "$preset" && is_built "$preset" || continue
    dir="build/$preset"
    echo "== ${preset}: results"
    # The failures in full, the rest as one line each.
    grep -vE '^ *(Start|[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed)' "$dir/test.log" | grep -vE '^\s*$' | tail -n 200
    count_ctest "$dir/test.log" "$(cat "$dir/test.status")"
    launches=$(cache_value "$dir" MV_WINE_LAUNCH_LOG)
    if [ -s "$launches" ]; then
        echo "== ${preset}: test programs that Wine failed to start, started again"
        cat "$launches"
    fi
    if [ "$(cat "$dir/scan.status")" = ok ]; then
        passed=$((passed + 1))
    else
        cat "$dir/scan.log"
        echo "== ${preset}: the api_key appears in a log"
        failed=$((failed + 1))
    fi
done
if has_suite fuzz && is_built asan; then
    echo "== fuzz: results"
    cat build/fuzz.log
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' build/fuzz.log | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
    else
        passed=$((passed + $(cut -d' ' -f1 <<<"$line")))
        failed=$((failed + $(cut -d' ' -f3 <<<"$line")))
    fi
fi

echo "test command: $(($(date +%s) - started)) s"
summary
[ "$failed" -eq 0 ]
