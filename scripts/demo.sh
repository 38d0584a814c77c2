#!/usr/bin/env bash
# The demo, run after scripts/build.sh has built both libraries: packs and
# checks the install bundle, then runs the whole system as a studio would:
# the falloff server in live mode, fed through its control port by the Python
# example game (examples/python/game.py: players walking, walls, a whisper,
# and a radio call between the listener and a partner far away), and the real
# plugin in the host simulator as VC-Listener. Twice, about 15 seconds each,
# with a fresh server and game: once with the plugin's smoothing_ms=0 (changes
# as steps) and once with smoothing_ms=20 (the recommended value). Leaves in
# out/: the bundle, and in out/demo/ the mix the listener hears (mix.wav with
# smoothing, mix-no-smoothing.wav without), a picture of each speaker's gain,
# pan and muffle over time with both runs' envelopes round one change, beside
# a map of the world from above (speakers.svg), the report comparing the runs'
# clicks (report.txt, each run's report after it), the game's transcripts and
# the logs.
#
# MV_DEMO_SECONDS changes the length of each run; MV_DEMO_BUILD the Linux
# build directory (default build/linux, configured with the linux preset);
# MV_DEMO_WINDOWS_DLL the DLL that goes into the bundle.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
roster=tools/demo/roster.txt

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
sed -n 's/^key //p' "$roster" >"$demo/key"
server_pid=
game_pid=
stop() { # stop PID: SIGTERM, then its exit
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
stop_all() {
    stop "$game_pid"
    stop "$server_pid"
    game_pid= server_pid=
}
trap stop_all EXIT

# Waits up to 10 s for a line in FILE matching PATTERN while PID lives.
wait_for() { # wait_for FILE PATTERN PID LOG
    for _ in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        kill -0 "$3" 2>/dev/null || break
        sleep 0.1
    done
    echo "demo: nothing matched '$2' in $1" >&2
    cat "$4" >&2
    exit 1
}

# One run: a fresh server and game, so that both runs hear the same stretch
# of the game (its players walk from where they start).
run() { # run SMOOTHING_MS NAME WAV
    local smoothing_ms=$1 name=$2 wav=$3
    echo "== demo: falloff server in live mode (PING every ${ping_sec} s)"
    rm -f "$demo/server.port" "$demo/control.port"
    "$build/server/marlpike-falloff-server" --key-file "$demo/key" --control 0 \
        --control-port-file "$demo/control.port" --port 0 --port-file "$demo/server.port" \
        --ping-sec "$ping_sec" --log "$demo/server.log" >/dev/null 2>&1 &
    server_pid=$!
    wait_for "$demo/control.port" . "$server_pid" "$demo/server.log"
    wait_for "$demo/server.port" . "$server_pid" "$demo/server.log"
    local port control
    port=$(cat "$demo/server.port")
    control=$(cat "$demo/control.port")
    echo "plugins on 127.0.0.1:$port, the game's control port 127.0.0.1:$control; log: $demo/server.log"

    echo "== demo: the example game feeds it (examples/python/game.py)"
    python3 examples/python/game.py --control "127.0.0.1:$control" --seconds "$((seconds + 60))" \
        --transcript "$demo/world-$name.txt" >"$demo/game-$name.log" 2>&1 &
    game_pid=$!
    wait_for "$demo/world-$name.txt" ' pos ' "$game_pid" "$demo/game-$name.log"
    # The listener joins at the same moment of the game in both runs (1 s in), so
    # that both hear the same stretch of it.
    sleep "$(awk -v first="$(head -n 1 "$demo/world-$name.txt" | cut -d' ' -f1)" -v now="$(date +%s.%N)" \
        'BEGIN { d = first + 1 - now; print (d > 0 ? d : 0) }')"

    echo "== demo: host simulator, ${seconds} s, smoothing_ms=${smoothing_ms}"
    local status=0
    "$tools/marlpike-host-sim" --plugin "$linux_so" --server "127.0.0.1:$port" \
        --roster "$roster" --local VC-Listener --seconds "$seconds" \
        --smoothing-ms "$smoothing_ms" --wav "$demo/$wav" --report "$demo/report-$name.txt" \
        --save-run "$demo/run-$name.txt" --workdir "$demo/plugin-$name" || status=$?
    # The game's players leave (their links close), then the server stops.
    stop "$game_pid"
    cat "$demo/game-$name.log"
    grep -q '^done' "$demo/game-$name.log" || status=1
    stop_all
    return "$status"
}

status=0
run 0 no-smoothing mix-no-smoothing.wav || status=1
run "$smoothing" "smoothing-${smoothing}ms" mix.wav || status=1

echo
echo "== demo: the two runs side by side"
"$tools/marlpike-host-sim" --compare "$demo/run-no-smoothing.txt" --compare "$demo/run-smoothing-${smoothing}ms.txt" \
    --svg "$demo/speakers.svg" --report "$demo/report.txt" --world "$demo/world-smoothing-${smoothing}ms.txt" \
    --local VC-Listener | sed -n '1,/^---- run/p' | sed '$d' || status=1

echo
echo "demo outputs:"
echo "  bundle   out/marlpike_voice.mumble_plugin"
echo "  sound    $demo/mix.wav (smoothing_ms=${smoothing})  $demo/mix-no-smoothing.wav (smoothing_ms=0)"
echo "  picture  $demo/speakers.svg (with the map of the world)"
echo "  game     $demo/world-*.txt (every control line, timed)  $demo/game-*.log"
echo "  reports  $demo/report.txt  $demo/server.log  $demo/plugin-*/marlpike_voice.log"
echo
# Both runs' verdicts (each report above ends in its own), and the game's.
if [ "$status" -eq 0 ]; then echo "RESULT: pass"; else echo "RESULT: FAIL"; fi
exit "$status"
