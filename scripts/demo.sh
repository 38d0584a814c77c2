#!/usr/bin/env bash
# The demo, run after scripts/build.sh has built both libraries: packs and
# checks the install bundle, starts the reference falloff server with its
# built-in demo scenario, and runs the host simulator against it for about
# 15 seconds. Leaves in out/: the bundle, and in out/demo/ the mix the
# listener hears (mix.wav), a picture of each speaker's gain and pan over time
# (speakers.svg), the simulator's report and the server's session log.
#
# MV_DEMO_SECONDS changes the length of the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

seconds="${MV_DEMO_SECONDS:-15}"
linux_so=build/linux/libmarlpike_voice.so
windows_dll=build/windows/marlpike_voice.dll
tools=build/linux/tools
demo=out/demo

echo "== demo: build the tools"
cmake --preset linux -DMV_BUILD_TOOLS=ON >/dev/null
cmake --build --preset linux --target marlpike_voice marlpike-falloff-server marlpike-host-sim \
    marlpike-bundle-check marlpike-plugin-probe >/dev/null
windows_probe=()
if [ -x /usr/lib/wine/wine64 ] && cmake --build --preset linux --target marlpike-plugin-probe-windows >/dev/null 2>&1; then
    windows_probe=(--windows-probe "$tools/plugin_probe.exe" --wine /usr/lib/wine/wine64)
fi

echo "== demo: the install bundle"
bash scripts/bundle.sh "$linux_so" "$windows_dll" out/marlpike_voice.mumble_plugin
"$tools/marlpike-bundle-check" out/marlpike_voice.mumble_plugin --probe "$tools/marlpike-plugin-probe" \
    "${windows_probe[@]}"

echo "== demo: reference falloff server with the demo scenario"
rm -rf "$demo"
mkdir -p "$demo"
"$tools/marlpike-falloff-server" --roster tools/demo/roster.txt --demo --port 0 \
    --port-file "$demo/server.port" --log "$demo/server.log" >/dev/null 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$demo/server.port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$demo/server.log" >&2; exit 1; }
    sleep 0.1
done
port=$(cat "$demo/server.port")
echo "listening on 127.0.0.1:$port; session log: $demo/server.log"

echo "== demo: host simulator, ${seconds} s"
status=0
"$tools/marlpike-host-sim" --plugin "$linux_so" --server "127.0.0.1:$port" \
    --roster tools/demo/roster.txt --local VC-Listener --seconds "$seconds" \
    --wav "$demo/mix.wav" --svg "$demo/speakers.svg" --report "$demo/report.txt" \
    --workdir "$demo/plugin" || status=$?

echo
echo "demo outputs:"
echo "  bundle   out/marlpike_voice.mumble_plugin"
echo "  sound    $demo/mix.wav"
echo "  picture  $demo/speakers.svg"
echo "  reports  $demo/report.txt  $demo/server.log  $demo/plugin/marlpike_voice.log"
exit "$status"
