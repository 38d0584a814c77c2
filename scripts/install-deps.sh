#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, and only
# those that are missing; quiet and safe to run again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build g++ python3 zip unzip
    libgtest-dev googletest libbenchmark-dev libssl-dev libasio-dev
    clang-14 libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
    locales # the tests run the plugin in a decimal-comma locale too
)

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$pkg")
    fi
done

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)

make_locale() {
    locale -a 2>/dev/null | grep -qix 'de_DE.utf8' && return 0
    echo "install-deps: generating the de_DE.UTF-8 locale"
    "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
}

if [ "${#missing[@]}" -eq 0 ]; then
    make_locale
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"

apt_install() { "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null; }
# A fresh machine has no package index; a stale one may name versions that are gone.
if ! compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null || ! apt_install; then
    "${sudo[@]}" apt-get update -qq >/dev/null
    apt_install
fi
make_locale
