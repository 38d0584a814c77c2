#!/usr/bin/env bash
# The demo, run after scripts/build.sh has built both libraries: packs and
# checks the install bundle, then plays the falloff server's demo
# scenario to the host simulator twice, about 15 seconds each: once with the
# plugin's smoothing_ms=0 (changes as steps) and once with smoothing_ms=20
# (the recommended value). Leaves in out/: the bundle, and in out/demo/ the
# mix the listener hears (mix.wav with smoothing, mix-no-smoothing.wav
# without), a picture of each speaker's gain, pan and muffle over time with
# both runs' envelopes round one change (speakers.svg), the report comparing
# the runs' clicks (report.txt, each run's report after it) and the logs.
#
# MV_DEMO_SECONDS changes the length of each run; MV_DEMO_BUILD the Linux
# build directory (default build/linux, configured with the linux preset);
# MV_DEMO_WINDOWS_DLL the DLL that goes into the bundle.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

seconds="${MV_DEMO_SECONDS:-15}"
build="${MV_DEMO_BUILD:-build/linux}"
linux_so="$build/libmarlpike_voice.so"
windows_dll="${MV_DEMO_WINDOWS_DLL:-build/windows/marlpike_voice.dll}"
tools="$build/tools"
demo=out/demo
smoothing=20 # the recommended smoothing_ms
ping_sec=4   # so that each run sees the server's PING and the plugin's OK

echo "== demo: build the tools"
cmake --preset linux -B "$build" -DMV_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --target marlpike_voice marlpike-falloff-server marlpike-host-sim \
    marlpike-bundle-check marlpike-plugin-probe >/dev/null
windows_probe=()
if [ -x /usr/lib/wine/wine64 ] && cmake --build "$build" --target marlpike-plugin-probe-windows >/dev/null 2>&1; then
    windows_probe=(--windows-probe "$tools/plugin_probe.exe" --wine /usr/lib/wine/wine64)
fi

echo "== demo: the install bundle"
bash scripts/bundle.sh "$linux_so" "$windows_dll" out/marlpike_voice.mumble_plugin
"$tools/marlpike-bundle-check" out/marlpike_voice.mumble_plugin --probe "$tools/marlpike-plugin-probe" \
    "${windows_probe[@]}"

rm -rf "$demo"
mkdir -p "$demo"
server_pid=
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
trap stop_server EXIT

# One run: a fresh server, so that its scenario clock starts with this run's
# link and both runs hear the same stretch of the scenario.
run() { # run SMOOTHING_MS NAME WAV
    local smoothing_ms=$1 name=$2 wav=$3
    echo "== demo: falloff server with the demo scenario (PING every ${ping_sec} s)"
    rm -f "$demo/server.port"
    "$build/server/marlpike-falloff-server" --roster tools/demo/roster.txt --demo --port 0 --ping-sec "$ping_sec" \
        --port-file "$demo/server.port" --log "$demo/server.log" >/dev/null 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        [ -s "$demo/server.port" ] && break
        kill -0 "$server_pid" 2>/dev/null || { cat "$demo/server.log" >&2; exit 1; }
        sleep 0.1
    done
    local port
    port=$(cat "$demo/server.port")
    echo "listening on 127.0.0.1:$port; session log: $demo/server.log"

    echo "== demo: host simulator, ${seconds} s, smoothing_ms=${smoothing_ms}"
    local status=0
    "$tools/marlpike-host-sim" --plugin "$linux_so" --server "127.0.0.1:$port" \
        --roster tools/demo/roster.txt --local VC-Listener --seconds "$seconds" \
        --smoothing-ms "$smoothing_ms" --wav "$demo/$wav" --report "$demo/report-$name.txt" \
        --save-run "$demo/run-$name.txt" --workdir "$demo/plugin-$name" || status=$?
    stop_server
    return "$status"
}

status=0
run 0 no-smoothing mix-no-smoothing.wav || status=1
run "$smoothing" "smoothing-${smoothing}ms" mix.wav || status=1

echo
echo "== demo: the two runs side by side"
"$tools/marlpike-host-sim" --compare "$demo/run-no-smoothing.txt" --compare "$demo/run-smoothing-${smoothing}ms.txt" \
    --svg "$demo/speakers.svg" --report "$demo/report.txt" | sed -n '1,/^---- run/p' | sed '$d' || status=1

echo
echo "demo outputs:"
echo "  bundle   out/marlpike_voice.mumble_plugin"
echo "  sound    $demo/mix.wav (smoothing_ms=${smoothing})  $demo/mix-no-smoothing.wav (smoothing_ms=0)"
echo "  picture  $demo/speakers.svg"
echo "  reports  $demo/report.txt  $demo/server.log  $demo/plugin-*/marlpike_voice.log"
exit "$status"
