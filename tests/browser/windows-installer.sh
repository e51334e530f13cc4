#!/usr/bin/env bash
# Runs browser/native/install-windows.cmd under Wine, as an installer would:
# the registry keys of Chrome, Chromium, Edge and Firefox must name manifests
# that carry the program's absolute path, the allowlist policy must be
# written, "tessera-host.exe -i" must run, and /uninstall must remove it all.
#   windows-installer.sh [PATH-OF-tessera-host.exe]
# Without a program a stand-in file is registered and the setup run skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
wine=${TESSERA_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "SKIPPED: Wine is not installed"
  exit 77
fi
export WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Tessera Host (x64)"
exe="$work/Tessera Host (x64)/tessera-host.exe"
setup=/nosetup
if [ -n "${1:-}" ]; then
  cp "$1" "$exe"
  setup=""
else
  printf 'stand-in' > "$exe"
fi
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
script=$(winpath "$repo/browser/native/install-windows.cmd")
host=$(winpath "$exe")
failures=0
check() {
  if eval "$2"; then echo "ok - $1"; else echo "not ok - $1"; failures=$((failures + 1)); fi
}
query() { "$wine" reg query "$1" /ve 2>/dev/null | tr -d '\r'; }
query_all() { "$wine" reg query "$1" 2>/dev/null | tr -d '\r'; }
NAME=com.tessera.host
ID=bdbjfcmjppjjdididholhjcipmciockm

set +e
"$wine" cmd /c "$script" /user /host "$host" $setup /origin https://bank.example /origin https://pki.bank.example:8443 \
  >"$work/out.txt" 2>&1
rc=$?
set -e
tr -d '\r' < "$work/out.txt"
check "install exits 0" '[ $rc -eq 0 ]'
if [ -z "$setup" ]; then
  check "tessera-host.exe -i ran" 'grep -q "running: .*tessera-host.exe\" -i" "$work/out.txt"'
fi
chrome_manifest="$work/Tessera Host (x64)/$NAME.chrome.json"
firefox_manifest="$work/Tessera Host (x64)/$NAME.firefox.json"
check "Chrome manifest names the program beside it" 'grep -qF "\"path\": \"tessera-host.exe\"," "$chrome_manifest"'
check "Chrome manifest allows only the extension" 'grep -qF "\"allowed_origins\": [\"chrome-extension://$ID/\"]" "$chrome_manifest"'
check "Firefox manifest allows only the add-on" 'grep -qF "\"allowed_extensions\": [\"tessera@tessera.example\"]" "$firefox_manifest"'
if command -v node >/dev/null 2>&1; then
  check "manifests are valid JSON" 'node -e "for (const f of process.argv.slice(1)) JSON.parse(require(\"fs\").readFileSync(f, \"utf8\"))" "$chrome_manifest" "$firefox_manifest" "$work/Tessera Host (x64)/$NAME.firefox-storage.json"'
fi
for key in 'Software\Google\Chrome' 'Software\Chromium' 'Software\Microsoft\Edge'; do
  check "HKCU\\$key names the Chrome manifest" 'query "HKCU\\$key\\NativeMessagingHosts\\$NAME" | grep -qF "$(winpath "$chrome_manifest")"'
done
check "HKCU Firefox key names the Firefox manifest" 'query "HKCU\\Software\\Mozilla\\NativeMessagingHosts\\$NAME" | grep -qF "$(winpath "$firefox_manifest")"'
check "Chrome allowlist policy" 'query_all "HKCU\\Software\\Policies\\Google\\Chrome\\3rdparty\\extensions\\$ID\\policy\\allowedOrigins" | grep -qE "^ +2 +REG_SZ +https://pki.bank.example:8443$"'
check "Edge allowlist policy" 'query_all "HKCU\\Software\\Policies\\Microsoft\\Edge\\3rdparty\\extensions\\$ID\\policy\\allowedOrigins" | grep -qE "^ +1 +REG_SZ +https://bank.example$"'
check "Firefox managed storage" 'grep -qF "\"allowedOrigins\": [\"https://bank.example\", \"https://pki.bank.example:8443\"]" "$work/Tessera Host (x64)/$NAME.firefox-storage.json"'

"$wine" cmd /c "$script" /user /host "$host" /uninstall >/dev/null 2>&1
check "uninstall removes the keys" '! query "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\$NAME" | grep -q REG_SZ'
check "uninstall removes the policy" '! query "HKCU\\Software\\Mozilla\\ManagedStorage\\tessera@tessera.example" | grep -q REG_SZ'
check "uninstall removes the manifests" '[ ! -e "$chrome_manifest" ] && [ ! -e "$firefox_manifest" ]'

"$wine" cmd /c "$script" /machine /host "$host" /nosetup >/dev/null 2>&1
check "/machine writes HKLM" 'query "HKLM\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\$NAME" | grep -qF "$(winpath "$chrome_manifest")"'
"$wine" cmd /c "$script" /machine /host "$host" /uninstall >/dev/null 2>&1
check "/machine uninstall" '! query "HKLM\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\$NAME" | grep -q REG_SZ'

# A folder with a Chinese name: the manifests must still be UTF-8 JSON and
# name a program that is there; uninstalling leaves no key it made.
key_exists() { "$wine" reg query "$1" >/dev/null 2>&1; }
had_chromium=0; key_exists 'HKCU\Software\Chromium' && had_chromium=1
had_policy=0; key_exists 'HKCU\Software\Policies\Google' && had_policy=1
wide="$work/张三/Tessera"
mkdir -p "$wide"
cp "$exe" "$wide/tessera-host.exe"
"$wine" cmd /c "$script" /user /host "$(winpath "$wide/tessera-host.exe")" /nosetup /origin https://bank.example >/dev/null 2>&1
for m in "$wide/$NAME.chrome.json" "$wide/$NAME.firefox.json"; do
  check "$(basename "$m") in a Chinese-named folder is UTF-8 JSON naming the program" \
    'python3 -c "import json,os,sys; p=sys.argv[1]; m=json.loads(open(p,\"rb\").read().decode(\"utf-8\")); sys.exit(not os.path.isfile(os.path.join(os.path.dirname(p), m[\"path\"])))" "$m"'
done
check "the Chromium key names the manifest in that folder" 'query "HKCU\\Software\\Chromium\\NativeMessagingHosts\\$NAME" | grep -q "Tessera.$NAME.chrome.json"'
"$wine" cmd /c "$script" /user /host "$(winpath "$wide/tessera-host.exe")" /uninstall >/dev/null 2>&1
check "uninstall leaves only the program in that folder" '[ "$(ls "$wide")" = tessera-host.exe ]'
if [ $had_chromium -eq 0 ]; then check "uninstall removes the Chromium key it made" '! key_exists "HKCU\\Software\\Chromium"'; fi
if [ $had_policy -eq 0 ]; then check "uninstall removes the policy keys it made" '! key_exists "HKCU\\Software\\Policies\\Google"'; fi

set +e
"$wine" cmd /c "$script" /host 'C:\nowhere\tessera-host.exe' >/dev/null 2>&1; missing=$?
"$wine" cmd /c "$script" /frobnicate >/dev/null 2>&1; bad=$?
set -e
check "a missing program exits 3" '[ $missing -eq 3 ]'
check "a wrong argument exits 2" '[ $bad -eq 2 ]'

if [ $failures -ne 0 ]; then
  echo "windows installer: $failures check(s) failed"
  exit 1
fi
echo "windows installer: all checks passed"
