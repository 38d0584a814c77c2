#!/usr/bin/env bash
# Packs a bundle from this build's Linux library and the Windows build's DLL
# with scripts/bundle.sh, then opens and checks it with marlpike-bundle-check.
# Skipped (77) when there is no Windows build to take the DLL from.
#
#   bundle_test.sh SOURCE_DIR LINUX_SO WINDOWS_DLL WORK_DIR CHECK PROBE [WINDOWS_PROBE WINE]
set -euo pipefail
source_dir=$1 linux_so=$2 windows_dll=$3 work=$4 check=$5 probe=$6
if [ ! -f "$windows_dll" ]; then
    echo "no Windows build at $windows_dll: build the windows preset first"
    exit 77
fi
extra=()
if [ $# -ge 8 ] && [ -f "$7" ] && [ -x "$8" ]; then extra=(--windows-probe "$7" --wine "$8"); fi
version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
mkdir -p "$work"
bash "$source_dir/scripts/bundle.sh" "$linux_so" "$windows_dll" "$work/marlpike_voice.mumble_plugin"
"$check" "$work/marlpike_voice.mumble_plugin" --probe "$probe" --version "$version" "${extra[@]}"
