#!/usr/bin/env bash
# Builds the packages into build/packages/:
#   tessera_VERSION_ARCH.deb   Debian 12 (host, plug-in, tessera-certutil,
#                              browser registrations, set-up on installation)
# The version is the one in project(VERSION ...) of CMakeLists.txt. The
# builds live in build/package/*; the debug information of the shipped
# binaries stays there (build/package/linux/packaging/debug).
#
#   scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=$root/build/packages
mkdir -p "$out"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_WERROR=ON \
    -DTESSERA_PACKAGE_DIR="$out" "${launcher[@]}" "$@" >/dev/null
}

configure build/package/linux
cmake --build build/package/linux -j2 --target deb
ls -l "$out"
