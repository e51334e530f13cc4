#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root, or
# through sudo). Packages already present are left alone.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 libssl-dev openssl libsqlite3-dev sqlite3 libcjson-dev libpugixml-dev
  g++-mingw-w64-x86-64-posix wine64
  dpkg-dev nlohmann-json3-dev lintian wixl osslsigncode
  libp11-kit-dev p11-kit opensc libnss3-tools
  perl make tcl
  clang-14 libclang-rt-14-dev
  chromium firefox-esr fonts-dejavu-core
)
# Node.js and npm for the browser tests and the demo: Debian's packages only
# where no node/npm is on the PATH (a machine may have them from elsewhere,
# and Debian's npm must not replace a node that brings its own).
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# playwright-core (end-to-end browser test) and web-ext (Firefox's lint of the
# extension), from the lock file.
browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
if command -v npm >/dev/null 2>&1 && { [ ! -f "$browser_tests/node_modules/playwright-core/package.json" ] \
    || [ ! -x "$browser_tests/node_modules/.bin/web-ext" ]; }; then
  echo "Installing the browser test's npm packages"
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error) \
    || echo "warning: npm ci failed in tests/browser; the end-to-end browser test will try again" >&2
fi
