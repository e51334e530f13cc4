#!/bin/sh
# Registers (or with -u removes) the Tessera CSP DLL in the test prefix with
# the system's regsvr32, as an installer does, so that advapi32 finds both
# Tessera providers there. The path is given in its Unix form.
#   cmake/wine-register-csp.sh [-u] DLL
set -eu
unregister=""
if [ "$1" = "-u" ]; then unregister="/u"; shift; fi
dll=$1
# Wine's drive Z: is the Unix root.
windows_path="Z:$(printf '%s' "$dll" | tr / '\\')"
exec "$(dirname "$0")/wine-run.sh" regsvr32 /s $unregister "$windows_path"
