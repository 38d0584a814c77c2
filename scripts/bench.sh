#!/usr/bin/env bash
# Builds and runs every benchmark (bench/) and prints each figure with its
# target. The whole output, with the commit and the machine's load, goes to
# build-bench/bench-results.md as well.
#
#   scripts/bench.sh             the documented run (about 7 minutes): the Linux
#                                benches, then the portable harness on the Linux
#                                library and on the Windows DLL under Wine
#   scripts/bench.sh --quick     shorter runs, for development
#   scripts/bench.sh --windows   only the portable harness on the Windows DLL
#                                (combines with --quick)
#   scripts/bench.sh --load      only the falloff server under a crowd (bench/load):
#                                1 000 to 10 000 players, the grid with the tick on 1
#                                and 2 threads, the naive loop on 1: 12 runs, about 10
#                                minutes on the 2-core VM of docs/performance.md;
#                                with --quick, 1 000 and 2 000 players for 15 s each
#                                (about 2 minutes). Figures in build-load/load-results.md
#
# Anything after the options is passed to both Google Benchmark programs,
# e.g. --benchmark_filter=LockHold.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

quick=0
linux=1
load=0
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --windows) linux=0 ;;
    --load) load=1 ;;
    *) break ;;
    esac
    shift
done

# Only what the benches need, and only if missing.
packages=(cmake ninja-build g++ libbenchmark-dev libssl-dev libasio-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    wine64)
[ "$load" -eq 1 ] && packages=(cmake ninja-build g++ libbenchmark-dev libssl-dev libasio-dev)
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

machine_lines() {
    echo "- commit: $1"
    echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
    echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# The server under a crowd: built as the presets ship it (-O2), in a tree of
# its own; the generator starts the server itself for each size and index.
if [ "$load" -eq 1 ]; then
    lbuild=build-load
    cmake -S . -B "$lbuild" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
        -DMV_WERROR=ON -DMV_BUILD_BENCH=ON -DMV_BUILD_TESTS=OFF -DMV_BUILD_TOOLS=ON >/dev/null
    cmake --build "$lbuild" --target mv_load marlpike-falloff-server
    load_flags=(--players 1000,2000,5000,10000 --index grid,naive --threads 1,2 --seconds 60 --short-seconds 30)
    [ "$quick" -eq 1 ] &&
        load_flags=(--players 1000,2000 --index grid,naive --threads 1,2 --seconds 15 --short-seconds 15)
    results="$lbuild/load-results.md"
    commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
    [ -z "$(git status --porcelain -- server bench 2>/dev/null)" ] ||
        commit="$commit (with uncommitted changes in server/ or bench/)"
    {
        echo "# Load run"
        echo
        machine_lines "$commit"
        echo "- command: $lbuild/bench/mv_load --server $lbuild/server/marlpike-falloff-server ${load_flags[*]} $*"
        echo
    } | tee "$results"
    status=0
    "$lbuild/bench/mv_load" --server "$lbuild/server/marlpike-falloff-server" --work "$lbuild/load-work" \
        "${load_flags[@]}" "$@" | tee -a "$results" || status=$?
    echo | tee -a "$results"
    echo "- load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results"
    echo
    echo "figures: $results"
    exit "$status"
fi

# Both builds take CMake's Release flags (-O3), so that the two libraries and
# the floors they are set against are compiled alike.
build=build-bench
wbuild=build-bench-windows
bench_flags=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DMV_WERROR=ON -DMV_BUILD_BENCH=ON -DMV_BUILD_TESTS=OFF
    -DMV_BUILD_TOOLS=ON)
mkdir -p "$build"
if [ "$linux" -eq 1 ]; then
    cmake -S . -B "$build" "${bench_flags[@]}" >/dev/null
    cmake --build "$build" --target marlpike_voice mv_bench_core mv_bench_plugin mv_bench_portable
fi
cmake -S . -B "$wbuild" --toolchain cmake/mingw-w64-x86_64.cmake "${bench_flags[@]}" >/dev/null
cmake --build "$wbuild" --target marlpike_voice mv_bench_portable

if [ "$quick" -eq 1 ]; then
    export MV_BENCH_QUICK=1
    core_flags=(--benchmark_min_time=0.1)
    portable_flags=(--quick)
else
    unset MV_BENCH_QUICK
    core_flags=(--benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
    portable_flags=()
fi

results="$build/bench-results.md"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
[ -z "$(git status --porcelain -- src bench tools CMakeLists.txt 2>/dev/null)" ] ||
    commit="$commit (with uncommitted changes in src/, bench/ or tools/)"
{
    echo "# Benchmark run"
    echo
    machine_lines "$commit"
    echo "- mode: $([ "$quick" -eq 1 ] && echo quick || echo full)$([ "$linux" -eq 0 ] && echo ', Windows only')"
} | tee "$results"

# Google Benchmark's own tables go to the terminal; the figure tables to both.
if [ "$linux" -eq 1 ]; then
    for program in mv_bench_core mv_bench_plugin; do
        flags=()
        [ "$program" = mv_bench_core ] && flags=("${core_flags[@]}")
        "$build/bench/$program" "${flags[@]}" --benchmark_color=false "$@" | tee "$build/$program.txt"
        sed -n '/^## /,$p' "$build/$program.txt" >>"$results"
    done
    "$build/bench/mv_bench_portable" "${portable_flags[@]}" | tee -a "$results"
fi

# The DLL under Wine, in a prefix of its own, with one wineserver for the run.
wine_loader=$(dpkg -L wine64 | grep -m1 '/wine64$')
wine_server="$(dirname "$wine_loader")/wineserver"
[ -x "${wine_server}64" ] && wine_server="${wine_server}64"
export WINEPREFIX="$PWD/$wbuild/wineprefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
"$wine_server" -p >/dev/null 2>&1 || true
trap '"$wine_server" -k >/dev/null 2>&1 || true' EXIT
"$wine_loader" wineboot --init >"$wbuild/wineboot.log" 2>&1
"$wine_loader" "$wbuild/bench/mv_bench_portable.exe" "${portable_flags[@]}" | tr -d '\r' | tee -a "$results"

echo "- load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results"
echo
echo "figures: $results"
