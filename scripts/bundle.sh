#!/usr/bin/env bash
# Packs the install bundle: a zip named marlpike_voice.mumble_plugin holding
# manifest.xml at its top and both plugin libraries.
#
#   scripts/bundle.sh [LINUX_SO] [WINDOWS_DLL] [OUT]
#
# Defaults: build/linux/libmarlpike_voice.so, build/windows/marlpike_voice.dll,
# out/marlpike_voice.mumble_plugin. The version comes from CMakeLists.txt.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

linux_so="${1:-$root/build/linux/libmarlpike_voice.so}"
windows_dll="${2:-$root/build/windows/marlpike_voice.dll}"
out="${3:-$root/out/marlpike_voice.mumble_plugin}"

for f in "$linux_so" "$windows_dll"; do
    [ -f "$f" ] || { echo "bundle: missing $f (build both libraries first)" >&2; exit 1; }
done
case "$out" in *.mumble_plugin) ;; *) echo "bundle: the name must end in .mumble_plugin" >&2; exit 1 ;; esac
command -v zip >/dev/null || { echo "bundle: needs zip (apt-get install zip)" >&2; exit 1; }

version=$(sed -n 's/^project([a-z_]* VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "bundle: no version in CMakeLists.txt" >&2; exit 1; }

# Players get stripped libraries; the debug data stays beside the built ones
# (<library>.debug, linked by name) for crash analysis.
strip_into() { # strip_into TOOL_PREFIX LIBRARY STAGED_COPY
    local prefix=$1 library=$2 staged=$3
    command -v "${prefix}strip" >/dev/null || { echo "bundle: needs ${prefix}strip" >&2; exit 1; }
    "${prefix}objcopy" --only-keep-debug "$library" "$library.debug"
    "${prefix}strip" --strip-all -o "$staged" "$library"
    (cd "$(dirname "$library")" && "${prefix}objcopy" --add-gnu-debuglink="$(basename "$library").debug" "$staged")
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
strip_into x86_64-w64-mingw32- "$windows_dll" "$stage/marlpike_voice.dll"
strip_into "" "$linux_so" "$stage/libmarlpike_voice.so"
cat >"$stage/manifest.xml" <<XML
<bundle version="1.0.0">
  <assets>
    <plugin os="windows" arch="x64">marlpike_voice.dll</plugin>
    <plugin os="linux" arch="x64">libmarlpike_voice.so</plugin>
  </assets>
  <name>Marlpike Voice</name>
  <version>${version}</version>
</bundle>
XML

mkdir -p "$(dirname "$out")"
out_abs="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
rm -f "$out_abs"
# -X: leave out Unix owner ids and extra time stamps, which the host has no use for.
(cd "$stage" && zip -q -X "$out_abs" manifest.xml marlpike_voice.dll libmarlpike_voice.so)
echo "bundle: $out_abs (version $version)"
