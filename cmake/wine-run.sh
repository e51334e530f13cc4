#!/bin/sh
# Runs a Windows program under Wine 64-bit without a display and without
# Wine's diagnostic chatter. The prefix is created on first use.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/tessera-wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$loader" wineboot -i </dev/null >/dev/null 2>&1
  /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
