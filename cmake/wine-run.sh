#!/bin/sh
# Runs a Windows program under Wine 64-bit without a display and without
# Wine's diagnostic chatter. The prefix is created on first use.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/tessera-wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=wine64
# First use of a prefix: create it. (A persistent wine server may keep the
# registry in memory for a while, so a marker file tells a booted prefix.)
if [ ! -f "$WINEPREFIX/.tessera-booted" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$loader" wineboot -i </dev/null >/dev/null 2>&1
  touch "$WINEPREFIX/.tessera-booted"
fi
exec "$loader" "$@"
