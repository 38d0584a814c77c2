#!/usr/bin/env bash
# Builds and runs every benchmark (bench/) and prints each figure with its
# target. The whole output, with the commit and the machine's load, goes to
# build-bench/bench-results.md as well.
#
#   scripts/bench.sh           the documented run (about 5 minutes)
#   scripts/bench.sh --quick   shorter runs, for development
#
# Anything after the options is passed to both bench programs, e.g.
# --benchmark_filter=LockHold.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi

# Only what the benches need, and only if missing.
packages=(cmake ninja-build g++ libbenchmark-dev libssl-dev)
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq >/dev/null
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMV_WERROR=ON -DMV_BUILD_BENCH=ON \
    -DMV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target marlpike_voice mv_bench_core mv_bench_plugin

if [ "$quick" -eq 1 ]; then
    export MV_BENCH_QUICK=1
    core_flags=(--benchmark_min_time=0.1)
else
    unset MV_BENCH_QUICK
    core_flags=(--benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
fi

results="$build/bench-results.md"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
[ -z "$(git status --porcelain -- src bench CMakeLists.txt 2>/dev/null)" ] || commit="$commit (with uncommitted changes in src/ or bench/)"
{
    echo "# Benchmark run"
    echo
    echo "- commit: $commit"
    echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
    echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "- mode: $([ "$quick" -eq 1 ] && echo quick || echo full)"
} | tee "$results"

# Google Benchmark's own tables go to the terminal; the figure tables to both.
for program in mv_bench_core mv_bench_plugin; do
    flags=()
    [ "$program" = mv_bench_core ] && flags=("${core_flags[@]}")
    "$build/bench/$program" "${flags[@]}" --benchmark_color=false "$@" | tee "$build/$program.txt"
    sed -n '/^## /,$p' "$build/$program.txt" >>"$results"
done
echo "- load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results"
echo
echo "figures: $results"
