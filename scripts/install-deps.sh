#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root, or
# through sudo). Packages already present are left alone.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libsqlite3-dev sqlite3 libcjson-dev libpugixml-dev
  g++-mingw-w64-x86-64-posix wine64
  dpkg-dev nlohmann-json3-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
