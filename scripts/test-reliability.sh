#!/usr/bin/env bash
# The reliability suites (docs/reliability.md):
#   asan   the whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan   the whole test suite under ThreadSanitizer
#   fuzz   each libFuzzer target for a bounded time (MV_FUZZ_SECONDS, default 60; the
#          test command runs them for 20 s each, this script for the long runs)
# After each sanitizer suite, every log file its tests wrote is checked for
# the api_key of its settings file. Ends with the line "N passed, N failed"
# and exits non-zero when anything failed.
#
#   bash scripts/test-reliability.sh                 all three suites
#   bash scripts/test-reliability.sh fuzz            only the named suites
#   bash scripts/test-reliability.sh scan-logs DIR   only the api_key check, over an archive
#                                                    that MV_TEST_LOG_ARCHIVE=DIR made
# Build trees go to $MV_RELIABILITY_BUILD_ROOT/{asan,tsan,fuzz} (default build/).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

passed=0
failed=0
summary() { echo "${passed} passed, ${failed} failed"; }
fail_one() { echo "reliability: $*"; failed=$((failed + 1)); }

# ---- the api_key must never reach a log ---------------------------------------
# DIR holds one folder per test directory, with its settings file (if it had
# one) and its log files. The key is the last api_key line's value, cut to the
# 255 characters the plugin keeps, or the built-in default.
scan_logs() {
    local archive=$1 dirs=0 files=0 keys=0 short=0 leaks=0 d key log
    for d in "$archive"/*/; do
        [ -d "$d" ] || continue
        dirs=$((dirs + 1))
        key=SET_THIS_PRIVATE_KEY
        if [ -f "$d/marlpike_voice.ini" ]; then
            local line
            line=$(grep -aiE '^[[:space:]]*api_key[[:space:]]*=' "$d/marlpike_voice.ini" | tail -n 1 | tr -d '\r')
            if [ -n "$line" ]; then
                key=${line#*=}
                key=$(sed -E 's/^[[:space:]]+//; s/[[:space:]]+$//' <<<"$key")
                key=${key:0:255}
            fi
        fi
        # A key this short could match by chance; the suites use long ones.
        if [ "${#key}" -lt 8 ]; then
            short=$((short + 1))
            continue
        fi
        keys=$((keys + 1))
        for log in "$d"/marlpike_voice.log*; do
            [ -f "$log" ] || continue
            files=$((files + 1))
            if grep -aqF -e "$key" "$log"; then
                echo "scan-logs: the api_key of $(basename "$d") appears in $(basename "$log")"
                leaks=$((leaks + 1))
            fi
        done
    done
    echo "scan-logs: ${dirs} test directories, ${files} log files, ${keys} keys checked, ${short} short keys skipped"
    [ "$files" -gt 0 ] || { echo "scan-logs: no log file to check in ${archive}"; return 1; }
    [ "$leaks" -eq 0 ]
}

# Adds a ctest log's counts to the totals; a run without a summary line counts
# as one failure.
count_ctest() {
    local log=$1 status=$2 line total bad
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        fail_one "no test summary in ${log}"
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
}

root=${MV_RELIABILITY_BUILD_ROOT:-build}

# What the sanitizers do on a finding: stop the test at once, with a stack.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_sanitizer_suite() {
    local preset=$1 dir="${root}/$1" log status archive
    echo "== ${preset}: configure and build"
    if ! cmake --preset "$preset" -B "$dir" >/dev/null || ! cmake --build "$dir"; then
        fail_one "${preset}: build failed"
        return
    fi
    echo "== ${preset}: test"
    archive="$(cd "$dir" && pwd)/log-archive"
    rm -rf "$archive" && mkdir -p "$archive"
    local runner=()
    # ThreadSanitizer needs the classic address layout on current kernels.
    [ "$preset" = tsan ] && runner=(setarch "$(uname -m)" -R)
    log="${dir}/reliability-ctest.log"
    MV_TEST_LOG_ARCHIVE="$archive" "${runner[@]}" ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" 2>&1 |
        tee "$log"
    status=${PIPESTATUS[0]}
    count_ctest "$log" "$status"
    echo "== ${preset}: api_key in the logs"
    if scan_logs "$archive"; then passed=$((passed + 1)); else fail_one "${preset}: api_key check failed"; fi
}

run_fuzz() {
    # MV_FUZZ_BUILD: an asan tree already configured with MV_BUILD_FUZZ=ON (the
    # test command's), instead of a tree of our own.
    local dir="${MV_FUZZ_BUILD:-${root}/fuzz}" seconds=${MV_FUZZ_SECONDS:-60} target work art out execs rc
    echo "== fuzz: configure and build"
    if [ -z "${MV_FUZZ_BUILD:-}" ] && ! cmake --preset asan -B "$dir" -DMV_BUILD_FUZZ=ON >/dev/null; then
        fail_one "fuzz: configure failed"
        return
    fi
    if ! cmake --build "$dir" --target fuzz_targets; then
        fail_one "fuzz: build failed"
        return
    fi
    : >"$dir/fuzz-summary.txt"
    for target in line_framing update_lines settings_file; do
        work="$dir/corpus/$target"
        art="$dir/artifacts/$target"
        out="$dir/fuzz-$target.log"
        mkdir -p "$work" "$art"
        echo "== fuzz: ${target} for ${seconds} s"
        # New inputs go to the work corpus; the seeds in the tree stay as they are.
        ASAN_OPTIONS=detect_leaks=1 "$dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$art/" \
            "$work" "tests/fuzz/corpus/$target" >"$out" 2>&1
        rc=$?
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out" | tail -n 1)
        echo "${target} executions=${execs:-0} exit=${rc}" | tee -a "$dir/fuzz-summary.txt"
        if [ "$rc" -eq 0 ]; then
            passed=$((passed + 1))
        else
            tail -n 40 "$out"
            fail_one "fuzz: ${target} found a problem; the input is in ${art}/ (add it to tests/fuzz/corpus/${target}/ and name a regression test after it)"
        fi
    done
}

if [ "${1:-}" = scan-logs ]; then
    [ $# -eq 2 ] || { echo "usage: $0 scan-logs DIR"; exit 2; }
    if scan_logs "$2"; then passed=1; else failed=1; fi
    summary
    [ "$failed" -eq 0 ]
    exit
fi

suites=("$@")
[ ${#suites[@]} -eq 0 ] && suites=(asan tsan fuzz)

if ! bash scripts/install-deps.sh; then
    fail_one "installing the dependencies failed"
    summary
    exit 1
fi

for suite in "${suites[@]}"; do
    case "$suite" in
    asan | tsan) run_sanitizer_suite "$suite" ;;
    fuzz) run_fuzz ;;
    *) fail_one "unknown suite ${suite}" ;;
    esac
done

summary
[ "$failed" -eq 0 ]
