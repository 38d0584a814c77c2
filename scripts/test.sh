#!/usr/bin/env bash
# The test command. Installs what is missing, then for each suite configures
# and builds its CMake preset (warnings are errors) and runs its tests with
# CTest; the Windows suite runs under Wine with one persistent wineserver.
# Ends with the line "N passed, N failed" over all suites, and exits non-zero
# when anything failed or could not be built.
#
# Suites are the presets of CMakePresets.json plus "fuzz" (bounded libFuzzer
# runs); MV_TEST_SUITES="windows linux asan tsan fuzz" chooses them (default
# below). Windows comes first so that the bundle test finds the DLL.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

default_suites="windows linux asan tsan fuzz"
read -r -a suites <<<"${MV_TEST_SUITES:-$default_suites}"

passed=0
failed=0
summary() { echo "${passed} passed, ${failed} failed"; }

if ! bash scripts/install-deps.sh; then
    echo "test: installing the dependencies failed"
    failed=1
    summary
    exit 1
fi

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
# as one failure.
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
    # CTest can fail beyond the tests themselves (a discovery that crashed).
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
}

run_suite() {
    local preset=$1 dir="build/$1" log status
    echo "== ${preset}: configure and build"
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        echo "== ${preset}: build failed"
        failed=$((failed + 1))
        return
    fi
    echo "== ${preset}: test"
    # Every test directory's settings and logs are kept here, so the api_key
    # can be looked for in every log afterwards.
    local archive
    archive="$(cd "$dir" && pwd)/log-archive"
    rm -rf "$archive"
    mkdir -p "$archive"
    log=$(mktemp)
    local runner=()
    # TSan of clang 14 can fail on kernels with wide address randomisation;
    # run it without randomisation where the machine allows that.
    if [ "$preset" = tsan ] && setarch "$(uname -m)" -R true 2>/dev/null; then
        runner=(setarch "$(uname -m)" -R)
    fi
    MV_TEST_LOG_ARCHIVE="$archive" "${runner[@]}" ctest --preset "$preset" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    count_ctest "$log" "$status"
    rm -f "$log"
    [ "$preset" = windows ] && stop_wine "$dir"
    if bash scripts/test-reliability.sh scan-logs "$archive"; then
        passed=$((passed + 1))
    else
        echo "== ${preset}: the api_key appears in a log"
        failed=$((failed + 1))
    fi
}

# Bounded libFuzzer runs of each target; adds its closing counts.
run_fuzz() {
    local log status line
    echo "== fuzz"
    log=$(mktemp)
    bash scripts/test-reliability.sh fuzz 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + $(cut -d' ' -f1 <<<"$line")))
    failed=$((failed + $(cut -d' ' -f3 <<<"$line")))
    if [ "$status" -ne 0 ] && [ "$(cut -d' ' -f3 <<<"$line")" -eq 0 ]; then failed=$((failed + 1)); fi
}

for suite in "${suites[@]}"; do
    case "$suite" in
    fuzz) run_fuzz ;;
    *) run_suite "$suite" ;;
    esac
done

summary
[ "$failed" -eq 0 ]
