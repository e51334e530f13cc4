#!/usr/bin/env bash
# Builds the packages into build/packages/:
#   tessera_VERSION_ARCH.deb   Debian 12 (host, plug-in, tessera-certutil,
#                              browser registrations, set-up on installation)
#   tessera-VERSION-x64.msi    Windows (per machine into Program Files\Tessera),
#                              built with wixl from the mingw-w64 cross build
# The version is the one in project(VERSION ...) of CMakeLists.txt. The
# builds live in build/package/*; the debug information of the shipped
# binaries stays there (build/package/*/packaging/debug).
#
#   scripts/package.sh [--sign-cert CERT.pem --sign-key KEY.pem]
#
# With a code-signing certificate, the Windows binaries and the installer
# are signed with osslsigncode.
set -euo pipefail
while [ $# -gt 0 ]; do
  case "$1" in
    --sign-cert) export TESSERA_SIGN_CERT=$(realpath "${2:?}"); shift ;;
    --sign-key) export TESSERA_SIGN_KEY=$(realpath "${2:?}"); shift ;;
    *) echo "package.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "${TESSERA_SIGN_CERT:-}" ] && [ -z "${TESSERA_SIGN_KEY:-}" ]; then
  echo "package.sh: --sign-cert needs --sign-key" >&2; exit 2
fi
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
configure build/package/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Toolchain-mingw64.cmake"
cmake --build build/package/windows -j2 --target msi
ls -l "$out"
