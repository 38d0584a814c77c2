#!/usr/bin/env bash
# Builds the plugin for Linux (libmarlpike_voice.so) and Windows
# (marlpike_voice.dll), Release, in build/linux and build/windows.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh

for preset in linux windows; do
    echo "== build ${preset}"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target marlpike_voice
done

echo "built: build/linux/libmarlpike_voice.so build/windows/marlpike_voice.dll"

# The falloff server a studio runs beside its game.
echo "== build the falloff server"
cmake --build --preset linux --target marlpike-falloff-server
mkdir -p out
cp build/linux/server/marlpike-falloff-server out/marlpike-falloff-server
echo "built: out/marlpike-falloff-server"

# The demo: the bundle, the falloff server with its demo scenario and the
# host simulator against it (live table, WAV, picture in out/demo/).
bash scripts/demo.sh
