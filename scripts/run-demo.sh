#!/usr/bin/env bash
# The browser demo: builds tessera-host, registers it for a demo Chromium
# profile, starts the demo enrollment page and CA on loopback and opens the
# page in Chromium with the Tessera extension loaded.
#
#   bash scripts/run-demo.sh [--port N] [--real-store] [--no-browser] [--no-deps]
#
#   --port N       port of the demo page (default 8443)
#   --real-store   keys and certificates go to your own Tessera store
#                  (~/.local/share/tessera) instead of build/demo-store
#   --no-browser   only start the page and CA (open the URL yourself in a
#                  Chromium started with the flags printed)
#   --no-deps      do not run scripts/install-deps.sh
#
# Ctrl-C stops the page, the CA and the browser. Everything the demo keeps
# (profile, CA, store) is under build/, so "rm -rf build/demo-*" resets it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
port=8443
real_store=0
browser=1
deps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=${2:?}; shift ;;
    --real-store) real_store=1 ;;
    --no-browser) browser=0 ;;
    --no-deps) deps=0 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-demo.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

[ "$deps" -eq 0 ] || bash scripts/install-deps.sh

host=$root/build/linux/host/tessera-host
echo "==> building tessera-host"
if [ ! -f build/linux/CMakeCache.txt ]; then
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >build/linux.configure.log 2>&1 \
    || { cat build/linux.configure.log; exit 1; }
fi
cmake --build build/linux --target tessera-host >build/linux.demo-build.log 2>&1 \
  || { tail -n 40 build/linux.demo-build.log; exit 1; }
[ -x "$host" ] || { echo "tessera-host was not built" >&2; exit 1; }

profile=$root/build/demo-profile
mkdir -p "$profile"
echo "==> registering the host for the demo profile"
bash browser/native/install-linux.sh --browsers none --profile-dir "$profile" --host "$host" >/dev/null

env_vars=()
if [ "$real_store" -eq 0 ]; then
  env_vars=(TESSERA_STORE_DIR="$root/build/demo-store/user" TESSERA_MACHINE_STORE_DIR="$root/build/demo-store/machine")
  mkdir -p "$root/build/demo-store"
fi

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "==> starting the demo page and CA"
node browser/demo/server.mjs --port "$port" --state "$root/build/demo-ca" &
pids+=($!)
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.2
done
url="http://127.0.0.1:$port/"

chromium=${CHROMIUM:-$(command -v chromium || command -v chromium-browser || true)}
flags=(--user-data-dir="$profile" --load-extension="$root/browser/extension" --no-first-run
       --disable-sync --no-default-browser-check)
[ "$(id -u)" -ne 0 ] || flags+=(--no-sandbox)

if [ "$browser" -eq 1 ] && [ -n "$chromium" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  echo "==> opening $url in Chromium (close the window or press Ctrl-C to stop)"
  env "${env_vars[@]}" "$chromium" "${flags[@]}" "$url" >build/demo-chromium.log 2>&1 &
  pids+=($!)
  wait "${pids[-1]}" || true
else
  [ -n "$chromium" ] || echo "Chromium is not installed (Debian package chromium)."
  [ "$browser" -eq 0 ] || echo "No display: start Chromium yourself on this machine's desktop."
  echo
  echo "The demo page is at $url"
  echo "Start Chromium with:"
  printf '  env'; printf ' %q' "${env_vars[@]}"; printf ' %q' "${chromium:-chromium}" "${flags[@]}" "$url"; echo
  echo
  echo "To watch an enrollment without a display, run the end-to-end test:"
  echo "  bash tests/browser/run.sh e2e --host $host --artifacts build/browser-artifacts"
  echo "(it leaves screenshots in build/browser-artifacts)."
  echo
  echo "Press Ctrl-C to stop."
  wait
fi
