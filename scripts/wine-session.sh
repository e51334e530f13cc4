#!/usr/bin/env bash
# Prepares a Wine prefix and keeps a wine server running for the test run,
# so that test processes do not each wait for Wine's services to start.
#   scripts/wine-session.sh start PREFIX | stop PREFIX
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.tessera-booted"
    # One program run brings up the services a first test process would wait for.
    timeout 120 /usr/lib/wine/wine64 cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
