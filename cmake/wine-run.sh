#!/usr/bin/env bash
# CTest's launcher of the Windows test programs (and of their discovery).
#   wine-run.sh LOADER PREFIX LAUNCH_LOG PROGRAM [ARGUMENTS...]
#
# Now and then, in a busy parallel run, the Wine loader ends at once with a
# failure status before the program's main has run (about once in 600
# launches, within 10 ms, printing nothing). That is Wine failing to start,
# not the test failing, so such a launch is made again, at most twice, and
# each one is written to LAUNCH_LOG, which scripts/test.sh prints. A program
# whose main ran is never started again: a test that fails, fails. GoogleTest's
# main prints "Running main() from" before anything else, and it is flushed
# before the first test starts, so that line tells (even after a crash).
set -u
loader=$1 prefix=$2 launch_log=$3
shift 3
export WINEDEBUG=-all WINEPREFIX="$prefix"

output=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$output" "$errors"' EXIT
for attempt in 1 2 3; do
    started=$(date +%s%N)
    # Standard output goes to CTest as it comes (a timed-out test still shows
    # how far it got); the error stream follows it, kept apart since discovery
    # reads the list from standard output alone.
    "$loader" "$@" 2>"$errors" | tee "$output"
    status=${PIPESTATUS[0]}
    cat "$errors" >&2
    if [ "$status" -eq 0 ] || grep -q "Running main() from" "$output" || [ "$attempt" -eq 3 ]; then
        exit "$status"
    fi
    {
        printf '%s: %s %s: Wine ended with status %d after %d ms before main ran (attempt %d); output: ' \
            "$(date -u +%FT%TZ)" "${1##*/}" "${*:2}" "$status" $((($(date +%s%N) - started) / 1000000)) "$attempt"
        cat "$output" "$errors" | head -c 400 | tr '\r\n' '  '
        echo
    } >>"$launch_log"
done
